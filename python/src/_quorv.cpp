// The two plug-ins called through the embedded host, for the Python package.
// Nothing is trained or classified here: numpy arrays go into host arrays (one
// copy, scaled on the way when asked), the plug-in runs without the GIL, and
// its results come back as numpy arrays. Its console reaches Python's
// sys.stdout as it is printed.
#include "forest_bind.h"
#include "front/scaling.h"
#include "minihost.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <dlfcn.h>

#include <cstdint>

#include <map>
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

// A float64 matrix of any strides, seen without the GIL.
struct Matrix {
    const char *data;
    size_t rows, cols;
    ptrdiff_t row_stride, col_stride;  // bytes
    const int64_t *order = nullptr;    // row i is row order[i] of the data, when given

    double at(size_t i, size_t j) const
    {
        const ptrdiff_t row = static_cast<ptrdiff_t>(order ? static_cast<size_t>(order[i]) : i);
        return *reinterpret_cast<const double *>(data + row * row_stride + static_cast<ptrdiff_t>(j) * col_stride);
    }
};

Matrix matrix(const py::array &a, const char *name)
{
    if (a.ndim() != 2 || !py::array_t<double>::check_(a))
        throw py::type_error(std::string(name) + " must be a 2-D float64 array");
    return {static_cast<const char *>(a.data()), static_cast<size_t>(a.shape(0)), static_cast<size_t>(a.shape(1)),
            a.strides(0), a.strides(1)};
}

// A float64 vector, seen as a one-column matrix.
Matrix column(const py::array &a, const char *name)
{
    if (a.ndim() != 1 || !py::array_t<double>::check_(a))
        throw py::type_error(std::string(name) + " must be a 1-D float64 array");
    return {static_cast<const char *>(a.data()), static_cast<size_t>(a.shape(0)), 1, a.strides(0), 0};
}

std::vector<double> values(const Matrix &m)
{
    std::vector<double> out(m.rows);
    for (size_t i = 0; i < m.rows; ++i)
        out[i] = m.at(i, 0);
    return out;
}

// Scaling ranges: none, or one minimum and one maximum per feature.
struct Scaling {
    bool on = false;
    std::vector<double> lo, hi;
};

Scaling scaling(const std::optional<py::array> &lo, const std::optional<py::array> &hi, size_t features)
{
    Scaling s;
    if (!lo && !hi)
        return s;
    if (!lo || !hi)
        throw py::value_error("scaling needs both the minima and the maxima");
    s.on = true;
    s.lo = values(column(*lo, "lo"));
    s.hi = values(column(*hi, "hi"));
    if (s.lo.size() != features || s.hi.size() != features)
        throw py::value_error("scaling needs one minimum and one maximum per feature");
    return s;
}

// The matrix as a host array (column-major), in one pass; when scaling is on,
// each feature is scaled by the front library's rule, as the tool scales it.
minihost::Array host_matrix(const Matrix &m, const Scaling &s = Scaling())
{
    minihost::Array a = minihost::make_double(m.rows, m.cols);
    double *out = mxGetPr(a.get());
    for (size_t j = 0; j < m.cols; ++j) {
        double *column = out + j * m.rows;
        if (s.on) {
            const double l = s.lo[j], h = s.hi[j];
            for (size_t i = 0; i < m.rows; ++i)
                column[i] = front::scale_value(m.at(i, j), l, h);
        } else {
            for (size_t i = 0; i < m.rows; ++i)
                column[i] = m.at(i, j);
        }
    }
    return a;
}

// The plug-in's console, passed on to a Python callable as it is printed
// (from inside the call, which runs without the GIL).
struct Console {
    const py::object *write = nullptr;
    std::string failure;       // what the callable raised, if it did
    bool interrupted = false;  // Ctrl-C arrived while it ran

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
};

// What a call gave back, copied out of the host's arrays.
struct Reply {
    std::string load_error;  // the plug-in could not be loaded
    bool ok = false;
    Console console;
    std::string error;
    std::vector<std::vector<size_t>> dims;  // per output; empty for a slot left empty
    std::vector<std::vector<double>> values;  // per output, column-major
};

// The plug-ins, loaded, checked and tried once and kept for the life of the
// process, as a real host keeps them: loaded again only when the file at the
// path is no longer the one loaded (another file, size or modification time).
// Their running totals go on across calls. Called under call_lock.
minihost::Plugin *loaded_plugin(const std::string &path, const std::string &name, std::string *why)
{
    // Never released: the plug-ins stay loaded until the process ends.
    static auto *kept = new std::map<std::string, std::unique_ptr<minihost::Plugin>>;
    std::unique_ptr<minihost::Plugin> &slot = (*kept)[path];
    if (slot && slot->unchanged())
        return slot.get();
    slot.reset();  // unloaded first, so that a new file starts its state anew
    slot = minihost::Plugin::load(path, why, name);
    return slot.get();
}

// The name a plug-in's stamp must give: its file name without the ending.
std::string plugin_name(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

// Builds the inputs, loads the plug-in and calls it, its console going to
// `write` (unless None) as it is printed. Everything that touches
// the host happens under the lock, since the host's bookkeeping is
// process-wide as well: every host array is made and released in here.
template <class Inputs>
Reply run(const std::string &path, int nlhs, const py::object &write, Inputs make_inputs)
{
    Reply reply;
    reply.console.write = &write;
    std::lock_guard<std::mutex> hold(call_lock);
    const std::vector<minihost::Array> inputs = make_inputs();
    std::vector<const mxArray *> in;
    for (const auto &a : inputs)
        in.push_back(a.get());
    std::string why;
    minihost::Plugin *plugin = loaded_plugin(path, plugin_name(path), &why);
    if (!plugin) {
        reply.load_error = "cannot load the plug-in " + path + ": " + why;
        return reply;
    }
    const bool listen = !write.is_none();
    if (listen)
        minihost::set_console_listener(&Console::forward, &reply.console);
    minihost::CallResult result = plugin->call(nlhs, in);
    if (listen)
        minihost::set_console_listener(nullptr, nullptr);
    reply.ok = result.ok;
    reply.error = std::move(result.error);
    for (const auto &a : result.outputs) {
        reply.dims.push_back(a ? minihost::dims(a.get()) : std::vector<size_t>());
        reply.values.push_back(minihost::values(a.get()));
    }
    return reply;
}

// Turns a refusal into ValueError (and a failure of the console into its own), and checks
// that each output has the shape asked for (0 where any size goes).
void finish(const Reply &r, const std::vector<std::pair<size_t, size_t>> &shapes, const char *what)
{
    if (!r.load_error.empty())
        throw std::runtime_error(r.load_error);
    if (r.console.interrupted) {
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }
    if (!r.console.failure.empty())
        throw std::runtime_error("writing the plug-in's console failed: " + r.console.failure);
    if (!r.ok)
        throw py::value_error(r.error);
    for (size_t i = 0; i < shapes.size(); ++i) {
        const auto &d = i < r.dims.size() ? r.dims[i] : std::vector<size_t>();
        if (d.size() != 2 || (shapes[i].first && d[0] != shapes[i].first) ||
            (shapes[i].second && d[1] != shapes[i].second))
            throw std::runtime_error(std::string("the ") + what + " plug-in returned arrays of unexpected shapes");
    }
}

py::array_t<double> numpy_column(const std::vector<double> &v)
{
    py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

// A presentation order: a permutation of the rows, checked, since the rows are
// read through it without the GIL.
const int64_t *permutation(const std::optional<py::array_t<int64_t, 0>> &order, size_t rows)
{
    if (!order)
        return nullptr;
    if (order->ndim() != 1 || static_cast<size_t>(order->shape(0)) != rows || !(order->flags() & py::array::c_style))
        throw py::value_error("the order must be one contiguous int64 index per pattern");
    const int64_t *p = order->data();
    std::vector<bool> seen(rows, false);
    for (size_t i = 0; i < rows; ++i) {
        if (p[i] < 0 || static_cast<size_t>(p[i]) >= rows || seen[static_cast<size_t>(p[i])])
            throw py::value_error("the order must be a permutation of the patterns");
        seen[static_cast<size_t>(p[i])] = true;
    }
    return p;
}

py::tuple train(const std::string &plugin, const py::array &patterns, const py::array &labels,
                std::optional<py::array_t<int64_t, 0>> order, std::optional<py::array> lo,
                std::optional<py::array> hi, double vigilance, double min_size, double learning_rate,
                double epsilon, double max_presentations, double trim, double oflag, const py::object &write)
{
    Matrix x = matrix(patterns, "patterns"), y = column(labels, "labels");
    if (y.rows != x.rows)
        throw py::value_error("one label per pattern is needed");
    x.order = y.order = permutation(order, x.rows);
    const Scaling s = scaling(lo, hi, x.cols);
    Reply r;
    {
        py::gil_scoped_release unlocked;
        r = run(plugin, 3, write, [&] {
            std::vector<minihost::Array> in;
            in.push_back(host_matrix(x, s));
            in.push_back(host_matrix(y));
            for (double scalar : {vigilance, min_size, learning_rate, epsilon, max_presentations, trim, oflag})
                in.push_back(minihost::make_scalar(scalar));
            return in;
        });
    }
    finish(r, {{0, 2 * x.cols}, {0, 1}, {1, 1}}, "training");
    const size_t nodes = r.dims[0][0], width = r.dims[0][1];
    if (r.dims[1][0] != nodes)
        throw std::runtime_error("the training plug-in returned arrays of unexpected shapes");
    py::array_t<double> rows({nodes, width});
    double *dst = rows.mutable_data();
    for (size_t k = 0; k < nodes; ++k)
        for (size_t j = 0; j < width; ++j)
            dst[k * width + j] = r.values[0][j * nodes + k];
    return py::make_tuple(rows, numpy_column(r.values[1]), r.values[2][0]);
}

py::array_t<double> classify(const std::string &plugin, const py::array &templates, const py::array &node_labels,
                             double vigilance, const py::array &patterns, std::optional<py::array> lo,
                             std::optional<py::array> hi, double unknown_label, double oflag,
                             const py::object &write)
{
    const Matrix t = matrix(templates, "templates"), labels = column(node_labels, "node_labels"),
                 x = matrix(patterns, "patterns");
    const Scaling s = scaling(lo, hi, x.cols);
    Reply r;
    {
        py::gil_scoped_release unlocked;
        r = run(plugin, 1, write, [&] {
            std::vector<minihost::Array> in;
            in.push_back(host_matrix(t));
            in.push_back(host_matrix(labels));
            in.push_back(minihost::make_scalar(vigilance));
            in.push_back(host_matrix(x, s));
            in.push_back(minihost::make_scalar(unknown_label));
            in.push_back(minihost::make_scalar(oflag));
            return in;
        });
    }
    finish(r, {{x.rows, 1}}, "classification");
    return numpy_column(r.values[0]);
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
          py::arg("lo"),
          py::arg("hi"), py::arg("vigilance"), py::arg("min_size"), py::arg("learning_rate"), py::arg("epsilon"),
          py::arg("max_presentations"), py::arg("trim"), py::arg("oflag"), py::arg("write"),
          "Runs quorv_train; returns (templates, node labels, list presentations).");
    m.def("classify", &classify, py::arg("plugin"), py::arg("templates"), py::arg("node_labels"),
          py::arg("vigilance"), py::arg("patterns"), py::arg("lo"), py::arg("hi"), py::arg("unknown_label"),
          py::arg("oflag"), py::arg("write"), "Runs quorv_perf; returns one label per pattern.");
}
