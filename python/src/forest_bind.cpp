// The forest's draws, bound from the front-end library so that Python draws
// each member's rows and features exactly as the command-line tool does (the
// same forest from the same seed, bit for bit). The vote is the policy's
// (_quorv.predict).
#include "forest_bind.h"

#include "front/error.h"
#include "front/forest.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstdint>

namespace py = pybind11;

namespace {

py::array_t<int64_t> indices(const std::vector<size_t> &v)
{
    py::array_t<int64_t> out(static_cast<py::ssize_t>(v.size()));
    int64_t *p = out.mutable_data();
    for (size_t i = 0; i < v.size(); ++i)
        p[i] = static_cast<int64_t>(v[i]);
    return out;
}

// front::Error is a ValueError to Python, with its own message.
template <class F>
auto guarded(F f) -> decltype(f())
{
    try {
        return f();
    } catch (const front::Error &e) {
        throw py::value_error(e.what());
    }
}

py::tuple draw_member(size_t total_rows, size_t sample_rows, bool bootstrap, size_t total_features, size_t features,
                      std::uint64_t seed, size_t member)
{
    const front::MemberDraw d = guarded([&] {
        return front::draw_member(total_rows, {sample_rows, bootstrap}, total_features, features, seed, member);
    });
    return py::make_tuple(indices(d.rows), indices(d.features));
}

// `rule`: "fraction" or "count" with `value`, or the names "sqrt" and "log2".
size_t amount_of(const std::string &rule, double value, size_t total, const std::string &what,
                 const std::string &things)
{
    return guarded([&] {
        front::Amount a;
        if (rule == "fraction" || rule == "count") {
            a.kind = rule == "count" ? front::Amount::Kind::count : front::Amount::Kind::fraction;
            a.value = value;
        } else {
            a = front::parse_amount(rule, what, true);
        }
        return things == "features" ? front::member_feature_count(a, total, what) : a.of(total, what, things);
    });
}

}  // namespace

void bind_forest(py::module_ &m)
{
    m.def("draw_member", &draw_member, py::arg("total_rows"), py::arg("sample_rows"), py::arg("bootstrap"),
          py::arg("total_features"), py::arg("features"), py::arg("seed"), py::arg("member"),
          "A forest member's training rows (in the order drawn) and features (ascending).");
    m.def("forest_draws_fault", &front::forest_draws_fault, py::arg("members"), py::arg("features"),
          py::arg("total_features"), "Why a forest this large is refused (reading it back draws too much), or ''.");
    m.def(
        "training_defaults",
        [](bool forest) {
            const front::TrainingDefaults d = front::training_defaults(forest);
            return py::make_tuple(d.max_list_presentations, d.trim_option);
        },
        py::arg("forest"), "(max_list_presentations, trim_option) of a forest's members or of other models.");
    m.def("amount_of", &amount_of, py::arg("rule"), py::arg("value"), py::arg("total"), py::arg("what"),
          py::arg("things"), "The count a fraction, a count or a rule (sqrt, log2) of `total` gives.");
}
