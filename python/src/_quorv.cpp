// The two plug-ins for the Python package, through the front library's one
// client (front/client.h) and classification policy (front/policy.h). Nothing
// is trained or classified here: numpy arrays are read where they are (any
// strides) into the plug-ins' arrays, every call runs without the GIL under
// one lock, and the plug-ins' console reaches Python's sys.stdout as it is
// printed. Refusals name the estimator's parameter.
#include "forest_bind.h"
#include "front/client.h"
#include "front/merge.h"
#include "front/oob.h"
#include "front/policy.h"
#include "front/prepared.h"
#include "matrix_view.h"
#include "minihost.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <dlfcn.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// The plug-ins and the host keep process-wide state: one call at a time.
std::mutex call_lock;

// A Python extension and what it links against are loaded with local symbol
// scope, but the plug-ins import the host's functions by name from the global
// scope: promote the already loaded host library to it.
void expose_host()
{
    Dl_info info;
    if (!::dladdr(reinterpret_cast<void *>(&mexPrintf), &info) || !info.dli_fname)
        throw std::runtime_error("quorv: cannot locate the embedded host library");
    if (!::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_GLOBAL)) {
        const char *why = ::dlerror();
        throw std::runtime_error(std::string("quorv: cannot share the embedded host's functions: ") +
                                 (why ? why : "unknown error"));
    }
}

const front::PluginClient &client()
{
    static const front::PluginClient python(front::Wording{
        "parameter",
        {{"vigilance", "vigilance"},
         {"min_size", "min_size"},
         {"learning_rate", "learning_rate"},
         {"epsilon", "epsilon"},
         {"max_list_presentations", "max_presentations"},
         {"trim_option", "trim"},
         {"oflag", "verbose"}},
        false,
        false,
        ""});
    return python;
}

front::MatrixView matrix(const py::array &a, const char *name)
{
    if (a.ndim() != 2 || !py::array_t<double>::check_(a))
        throw py::type_error(std::string(name) + " must be a 2-D float64 array");
    return matrix_view(a);
}

// A float64 vector, seen as a one-column matrix.
front::MatrixView column(const py::array &a, const char *name)
{
    if (a.ndim() != 1 || !py::array_t<double>::check_(a))
        throw py::type_error(std::string(name) + " must be a 1-D float64 array");
    front::MatrixView v;
    v.data = static_cast<const char *>(a.data());
    v.rows = static_cast<size_t>(a.shape(0));
    v.cols = 1;
    v.row_stride = a.strides(0);
    return v;
}

// Scaling ranges: none, or one minimum and one maximum per feature.
front::Scaling scaling(const std::optional<py::array> &lo, const std::optional<py::array> &hi, size_t features)
{
    front::Scaling s;
    s.enabled = lo || hi;
    if (!s.enabled)
        return s;
    if (!lo || !hi)
        throw py::value_error("scaling needs both the minima and the maxima");
    for (const auto &[from, to] : {std::make_pair(&*lo, &s.min), std::make_pair(&*hi, &s.max)}) {
        const front::MatrixView v = column(*from, "lo and hi");
        for (size_t i = 0; i < v.rows; ++i)
            to->push_back(v.at(i, 0));
    }
    if (s.min.size() != features || s.max.size() != features)
        throw py::value_error("scaling needs one minimum and one maximum per feature");
    return s;
}

// The plug-ins' console, passed on to a Python callable as it is printed
// (from inside a call, which runs without the GIL), and what stops a run of
// calls: the callable failing, Ctrl-C, or any signal handler's exception.
struct Console {
    const py::object *write = nullptr;
    std::string failure;       // what the callable raised, if it did
    bool interrupted = false;  // Ctrl-C arrived while it ran
    py::object raised;         // what a signal handler raised between calls

    static void forward(const std::string &text, void *context)
    {
        Console &c = *static_cast<Console *>(context);
        if (!c.failure.empty() || c.interrupted)
            return;
        py::gil_scoped_acquire gil;
        try {
            (*c.write)(text);
        } catch (py::error_already_set &e) {
            if (e.matches(PyExc_KeyboardInterrupt))
                c.interrupted = true;
            else
                c.failure = std::string(e.what()).substr(0, std::string(e.what()).find("\n\nAt:"));
        }
    }
    front::Console plugin() { return write->is_none() ? front::Console() : front::Console{&forward, this}; }
    // After a call, without the GIL: ends the run when anything asked it to.
    void check()
    {
        if (!failure.empty() || interrupted)
            throw Stop();
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) {
            PyObject *type, *value, *trace;
            PyErr_Fetch(&type, &value, &trace);
            PyErr_NormalizeException(&type, &value, &trace);
            Py_XDECREF(type);
            Py_XDECREF(trace);
            raised = py::reinterpret_steal<py::object>(value);
            throw Stop();
        }
    }
    // With the GIL, once the run is over.
    void raise_stop()
    {
        if (raised) {
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(raised.ptr())), raised.ptr());
            throw py::error_already_set();
        }
        if (interrupted) {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
            throw py::error_already_set();
        }
        throw std::runtime_error("writing the plug-in's console failed: " + failure);
    }
    struct Stop {};
};

// Runs `work` (plug-in calls) without the GIL under the lock, with the
// console going to `write`; refusals become ValueError, a plug-in that cannot
// be loaded or gives broken results RuntimeError.
template <class Work>
void run(const py::object &write, Work work)
{
    Console console;
    console.write = &write;
    try {
        py::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> hold(call_lock);
        work(console);
    } catch (const Console::Stop &) {
        console.raise_stop();
    } catch (const front::PluginError &e) {
        throw std::runtime_error(e.what());
    } catch (const front::PluginRefusal &e) {
        throw py::value_error(e.what());
    }
    if (!console.failure.empty() || console.interrupted)
        console.raise_stop();
}

py::array_t<double> numpy_column(const std::vector<double> &v)
{
    py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

// A presentation order: a permutation of the rows.
std::vector<size_t> permutation(const py::array_t<int64_t, py::array::c_style> &order, size_t rows)
{
    if (order.ndim() != 1 || static_cast<size_t>(order.shape(0)) != rows)
        throw py::value_error("the order must be one contiguous int64 index per pattern");
    std::vector<size_t> p(rows);
    std::vector<bool> seen(rows, false);
    for (size_t i = 0; i < rows; ++i) {
        const int64_t k = order.data()[i];
        if (k < 0 || static_cast<size_t>(k) >= rows || seen[static_cast<size_t>(k)])
            throw py::value_error("the order must be a permutation of the patterns");
        seen[static_cast<size_t>(k)] = true;
        p[i] = static_cast<size_t>(k);
    }
    return p;
}

py::tuple train(const std::string &plugin, const py::array &patterns, const py::array &labels,
                const std::optional<py::array_t<int64_t, py::array::c_style>> &order, const std::optional<py::array> &lo,
                const std::optional<py::array> &hi, double vigilance, double min_size, double learning_rate,
                double epsilon, long max_presentations, long trim, long oflag, const py::object &write, bool merge)
{
    front::Patterns x, y;
    x.x = matrix(patterns, "patterns");
    y.x = column(labels, "labels");
    if (y.x.rows != x.x.rows)
        throw py::value_error("one label per pattern is needed");
    std::vector<size_t> rows;
    if (order) {
        rows = permutation(*order, x.x.rows);
        x.rows = y.rows = &rows;
    }
    const front::Scaling s = scaling(lo, hi, x.x.cols);
    x.scaling = &s;
    const front::TrainParams params{vigilance, min_size, learning_rate, epsilon, max_presentations, trim};
    front::Member m;
    front::Merged merged;  // conflicts in the values the plug-in sees (front/merge.h)
    if (merge)
        merged = front::merge_conflicts(x, y);
    const front::Patterns xs = merge ? merged.patterns(x) : x, ys = merge ? merged.label_column() : y;
    run(write, [&](Console &console) { m = client().train(plugin, xs, ys, params, oflag, console.plugin()); });
    const size_t width = 2 * x.x.cols;
    py::array_t<double> templates({m.nodes, width});
    std::copy(m.templates.begin(), m.templates.end(), templates.mutable_data());
    return py::make_tuple(templates, numpy_column(m.labels), m.list_presentations, merged.merged);
}

using Doubles = py::array_t<double, py::array::forcecast>;

// The members' (templates, node codes) and, for a forest, their features, as
// the policy hears them; the arrays stay referenced in `kept`.
struct Members {
    std::vector<front::Nodes> nodes;
    std::vector<std::vector<size_t>> features;  // empty: every feature
    std::vector<py::object> kept;
};

Members members_of(const py::list &members, const std::optional<py::list> &features, size_t columns,
                   front::Voters *voters)
{
    Members out;
    for (size_t k = 0; k < members.size(); ++k) {
        const py::tuple member = members[k].cast<py::tuple>();
        const Doubles templates = member[0].cast<Doubles>(), codes = member[1].cast<Doubles>();
        out.kept.push_back(templates);
        out.kept.push_back(codes);
        front::Nodes n{matrix(templates, "templates"), column(codes, "node codes")};
        if (n.labels.rows != n.templates.rows)
            throw py::value_error("one node code per row of the templates is needed");
        out.nodes.push_back(n);
        std::vector<double> labels(n.labels.rows);
        for (size_t i = 0; i < labels.size(); ++i)
            labels[i] = n.labels.at(i, 0);
        voters->fallback.push_back(front::most_nodes_class(labels, voters->classes));
        out.features.emplace_back();
        if (features)
            for (const int64_t j : (*features)[k].cast<std::vector<int64_t>>()) {
                if (j < 0 || static_cast<size_t>(j) >= columns)
                    throw py::value_error("a member's features must be columns of X");
                out.features.back().push_back(static_cast<size_t>(j));
            }
    }
    if (features && features->size() != members.size())
        throw py::value_error("one list of features per member is needed");
    return out;
}

// A model's members made ready once, and the voters the policy hears (each
// member's fallback worked out once): all that classify needs besides X.
struct Ready {
    std::unique_ptr<front::PreparedMembers> members;
    front::Voters voters;
};

py::tuple decision_tuple(const front::Decision &d, size_t rows, size_t n_classes, bool shares)
{
    py::object share_array = py::none();
    if (shares) {
        py::array_t<double> a({rows, n_classes + 1});
        std::copy(d.shares.begin(), d.shares.end(), a.mutable_data());
        share_array = a;
    }
    return py::make_tuple(numpy_column(d.labels), share_array);
}

// The policy's settings as Python asks: codes 0 .. n - 1, unknown -1.
front::PolicySettings policy_settings(double vigilance, bool nearest, bool shares)
{
    front::PolicySettings settings;
    settings.vigilance = vigilance;
    settings.nearest = nearest;
    settings.unknown = -1.0;
    settings.shares = shares;
    return settings;
}

// (codes, shares or None) of X by the classification policy: class positions
// 0 .. n_classes - 1, -1 for unknown; shares n x (n_classes + 1), unknown last.
py::tuple predict(const std::string &plugin, const py::list &members, const std::optional<py::list> &features,
                  const py::array &X, const std::optional<py::array> &lo, const std::optional<py::array> &hi,
                  size_t n_classes, double vigilance, bool nearest, long oflag, bool shares, const py::object &write,
                  const std::shared_ptr<Ready> &prepared)
{
    front::Voters voters;
    for (size_t k = 0; k < n_classes; ++k)
        voters.classes.push_back(static_cast<double>(k));
    const front::MatrixView x = matrix(X, "X");
    const Members m = members_of(members, features, x.cols, &voters);
    voters.forest = features.has_value();
    voters.features = x.cols;
    const front::Scaling s = scaling(lo, hi, x.cols);
    const front::PolicySettings settings = policy_settings(vigilance, nearest, shares);
    front::Decision d;
    const front::PreparedMembers *ready = prepared ? prepared->members.get() : nullptr;
    if (ready && ready->size() == m.nodes.size() && ready->serves(vigilance, oflag, x.cols)) {
        // Silent: no console, no plug-in; the members' own locks order calls.
        py::gil_scoped_release unlocked;
        d = ready->decide(voters, x, &s, settings);
    } else {
        run(write, [&](Console &console) {
            const auto call = [&](size_t k, const std::vector<size_t> &rows, double v) {
                front::Patterns p{x, &rows, m.features[k].empty() ? nullptr : &m.features[k], &s};
                std::vector<double> labels =
                    client().classify(plugin, m.nodes[k], v, p, -1.0, oflag, console.plugin());
                console.check();
                return labels;
            };
            d = front::decide(voters, x.rows, settings, call);
        });
    }
    return decision_tuple(d, x.rows, n_classes, shares);
}

// (right, covered) of a forest's out-of-bag estimate (front/oob.h) on its
// training patterns X and their class positions `truth`, the members drawn
// again from (sample_rows with replacement, features per member, seed), the
// members as predict takes them, through their prepared models: silent.
py::tuple out_of_bag(const py::list &members, const py::list &features, const py::array &X,
                     const std::optional<py::array> &lo, const std::optional<py::array> &hi, size_t n_classes,
                     double vigilance, bool nearest, const std::vector<double> &truth, size_t sample_rows,
                     size_t member_features, std::int64_t seed)
{
    front::Voters voters;
    for (size_t k = 0; k < n_classes; ++k)
        voters.classes.push_back(static_cast<double>(k));
    const front::MatrixView x = matrix(X, "X");
    const Members m = members_of(members, features, x.cols, &voters);
    voters.forest = true;
    voters.features = x.cols;
    const front::Scaling s = scaling(lo, hi, x.cols);
    if (truth.size() != x.rows || seed < 0)
        throw py::value_error("one class per row of X and a seed >= 0 are needed");
    const front::PolicySettings settings = policy_settings(vigilance, nearest, false);
    front::OutOfBag oob;
    {
        py::gil_scoped_release unlocked;
        front::PreparedMembers prepared(m.nodes, m.features);
        if (!prepared.serves(vigilance, 0, x.cols))
            throw py::value_error("vigilance must be in [0, 1]");
        oob = front::out_of_bag(voters,
                                front::drawn_rows(x.rows, {sample_rows, true}, x.cols, member_features,
                                                  static_cast<std::uint64_t>(seed), m.nodes.size()),
                                truth, settings, prepared.call(x, &s, -1.0, false));
    }
    return py::make_tuple(oob.correct, oob.rows);
}

// The members made ready once, for predict and classify: (templates, node
// codes) and a forest's features, as predict takes them.
std::shared_ptr<Ready> prepare(const py::list &members, const std::optional<py::list> &features, size_t columns,
                               size_t n_classes)
{
    auto ready = std::make_shared<Ready>();
    for (size_t k = 0; k < n_classes; ++k)
        ready->voters.classes.push_back(static_cast<double>(k));
    const Members m = members_of(members, features, columns, &ready->voters);
    ready->voters.forest = features.has_value();
    ready->voters.features = columns;
    py::gil_scoped_release unlocked;
    ready->members = std::make_unique<front::PreparedMembers>(m.nodes, m.features);
    return ready;
}

// predict through `prepared` alone, in one call without the GIL: X of the
// prepared members' columns, a vigilance in [0, 1], no console.
py::tuple classify(const std::shared_ptr<Ready> &prepared, const py::array &X, const std::optional<py::array> &lo,
                   const std::optional<py::array> &hi, double vigilance, bool nearest, bool shares)
{
    if (!prepared)
        throw py::value_error("classify needs the members made ready by prepare");
    const front::MatrixView x = matrix(X, "X");
    if (x.cols != prepared->voters.features)
        throw py::value_error("X must have the " + std::to_string(prepared->voters.features) +
                              " columns the members were prepared for");
    if (!(vigilance >= 0.0 && vigilance <= 1.0))
        throw py::value_error("vigilance must be in [0, 1]");
    const front::Scaling s = scaling(lo, hi, x.cols);
    const front::PolicySettings settings = policy_settings(vigilance, nearest, shares);
    front::Decision d;
    {
        py::gil_scoped_release unlocked;
        d = prepared->members->decide(prepared->voters, x, &s, settings);
    }
    return decision_tuple(d, x.rows, prepared->voters.classes.size(), shares);
}

}  // namespace

// The front library's model file, scaling ranges, vote and draws (_front.cpp).
void bind_front(py::module_ &m);

PYBIND11_MODULE(_quorv, m)
{
    expose_host();
    bind_front(m);
    m.doc() = "The quorv plug-ins run through the embedded host.";
    bind_forest(m);
    m.def("train", &train, py::arg("plugin"), py::arg("patterns"), py::arg("labels"), py::arg("order"),
          py::arg("lo"), py::arg("hi"), py::arg("vigilance"), py::arg("min_size"), py::arg("learning_rate"),
          py::arg("epsilon"), py::arg("max_presentations"), py::arg("trim"), py::arg("oflag"), py::arg("write"),
          py::arg("merge") = false,
          "Runs quorv_train, with conflicts merged first when `merge`; returns (templates, node labels, list "
          "presentations, patterns merged away).");
    m.def("predict", &predict, py::arg("plugin"), py::arg("members"), py::arg("features"), py::arg("X"),
          py::arg("lo"), py::arg("hi"), py::arg("n_classes"), py::arg("vigilance"), py::arg("nearest"),
          py::arg("oflag"), py::arg("shares"), py::arg("write"), py::arg("prepared") = nullptr,
          "Classifies X by the classification policy, through `prepared` (from prepare) where it serves, "
          "else with quorv_perf; returns (codes, shares or None).");
    m.def("out_of_bag", &out_of_bag, py::arg("members"), py::arg("features"), py::arg("X"), py::arg("lo"),
          py::arg("hi"), py::arg("n_classes"), py::arg("vigilance"), py::arg("nearest"), py::arg("truth"),
          py::arg("sample_rows"), py::arg("member_features"), py::arg("seed"),
          "(right, covered): each training row of a bootstrap forest voted on by the members that did not draw it.");
    py::class_<Ready, std::shared_ptr<Ready>>(m, "Prepared", "A model's members made ready once for predict.");
    m.def("prepare", &prepare, py::arg("members"), py::arg("features"), py::arg("columns"), py::arg("n_classes"),
          "The members' nodes and search indexes made once, for predict and classify.");
    m.def("classify", &classify, py::arg("prepared"), py::arg("X"), py::arg("lo"), py::arg("hi"),
          py::arg("vigilance"), py::arg("nearest"), py::arg("shares"),
          "Classifies X through `prepared` alone by the classification policy, in one call without the GIL "
          "(silent, vigilance in [0, 1]); returns (codes, shares or None) as predict does.");
}
