// The forest's draws and vote, bound from the front-end library so that
// Python draws each member's rows and features, and votes, exactly as the
// command-line tool does (the same forest from the same seed, bit for bit).
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
        return a.of(total, what, things);
    });
}

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Patterns per member; refuses what is not members x patterns and one code per class.
size_t check_answers(const Doubles &answers, const Doubles &classes)
{
    if (answers.ndim() != 2 || classes.ndim() != 1)
        throw py::value_error("answers must be members x patterns, classes one code per class");
    return static_cast<size_t>(answers.shape(1));
}

std::vector<std::vector<double>> member_columns(const Doubles &answers, size_t n)
{
    std::vector<std::vector<double>> columns(static_cast<size_t>(answers.shape(0)));
    for (size_t m = 0; m < columns.size(); ++m)
        columns[m].assign(answers.data() + m * n, answers.data() + (m + 1) * n);
    return columns;
}

py::tuple forest_vote(const Doubles &answers, const Doubles &classes, double unknown)
{
    const size_t n = check_answers(answers, classes);
    const std::vector<std::vector<double>> columns = member_columns(answers, n);
    const std::vector<double> codes(classes.data(), classes.data() + classes.shape(0));
    front::ForestVote v;
    {
        py::gil_scoped_release unlocked;
        v = front::forest_vote(columns, codes, unknown);
    }
    py::array_t<double> labels(static_cast<py::ssize_t>(n));
    std::copy(v.labels.begin(), v.labels.end(), labels.mutable_data());
    py::array_t<double> shares({n, codes.size() + 1});
    std::copy(v.shares.begin(), v.shares.end(), shares.mutable_data());
    return py::make_tuple(labels, shares);
}

py::array_t<double> answered_shares(const Doubles &answers, const Doubles &classes)
{
    const size_t n = check_answers(answers, classes);
    const std::vector<std::vector<double>> columns = member_columns(answers, n);
    const std::vector<double> codes(classes.data(), classes.data() + classes.shape(0));
    const std::vector<double> shares = front::answered_shares(columns, codes);
    py::array_t<double> out({n, codes.size() + 1});
    std::copy(shares.begin(), shares.end(), out.mutable_data());
    return out;
}

double most_nodes_class(const Doubles &node_labels, const Doubles &classes)
{
    if (node_labels.ndim() != 1 || classes.ndim() != 1)
        throw py::value_error("node_labels and classes must be 1-D");
    const std::vector<double> labels(node_labels.data(), node_labels.data() + node_labels.shape(0));
    const std::vector<double> codes(classes.data(), classes.data() + classes.shape(0));
    return guarded([&] { return front::most_nodes_class(labels, codes); });
}

}  // namespace

void bind_forest(py::module_ &m)
{
    m.def("draw_member", &draw_member, py::arg("total_rows"), py::arg("sample_rows"), py::arg("bootstrap"),
          py::arg("total_features"), py::arg("features"), py::arg("seed"), py::arg("member"),
          "A forest member's training rows (in the order drawn) and features (ascending).");
    m.def("amount_of", &amount_of, py::arg("rule"), py::arg("value"), py::arg("total"), py::arg("what"),
          py::arg("things"), "The count a fraction, a count or a rule (sqrt, log2) of `total` gives.");
    m.def("forest_vote", &forest_vote, py::arg("answers"), py::arg("classes"), py::arg("unknown"),
          "The forest's labels and its shares per class (and unknown, last) for each pattern.");
    m.def("answered_shares", &answered_shares, py::arg("answers"), py::arg("classes"),
          "Shares among the answers that are not unknown, as members voting over shuffles vote.");
    m.def("most_nodes_class", &most_nodes_class, py::arg("node_labels"), py::arg("classes"),
          "The class with the most nodes, the lowest of equals: a member's answer where even its nearest "
          "box leaves a pattern out.");
}
