// The two plug-ins called through the embedded host, for the Python package.
// Nothing is trained or classified here: numpy arrays go into host arrays (one
// copy, scaled on the way when asked), the plug-in runs without the GIL, and
// its results come back as numpy arrays.
#include "minihost.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <dlfcn.h>

#include <cstdint>

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
void ranges(const std::optional<py::array> &lo, const std::optional<py::array> &hi, size_t features,
            std::vector<double> *low, std::vector<double> *high)
{
    if (!lo && !hi)
        return;
    if (!lo || !hi)
        throw py::value_error("scaling needs both the minima and the maxima");
    *low = values(column(*lo, "lo"));
    *high = values(column(*hi, "hi"));
    if (low->size() != features || high->size() != features)
        throw py::value_error("scaling needs one minimum and one maximum per feature");
}

// The matrix as a host array (column-major), in one pass; with ranges given,
// each feature is scaled as the command-line tool scales it.
minihost::Array host_matrix(const Matrix &m, const std::vector<double> *lo, const std::vector<double> *hi)
{
    minihost::Array a = minihost::make_double(m.rows, m.cols);
    double *out = mxGetPr(a.get());
    for (size_t j = 0; j < m.cols; ++j) {
        double *column = out + j * m.rows;
        if (lo) {
            const double l = (*lo)[j], h = (*hi)[j];
            for (size_t i = 0; i < m.rows; ++i)
                column[i] = h > l ? (m.at(i, j) - l) / (h - l) : 0.0;
        } else {
            for (size_t i = 0; i < m.rows; ++i)
                column[i] = m.at(i, j);
        }
    }
    return a;
}

// What a call gives back, gathered before the GIL is taken again.
struct Outcome {
    std::string load_error;  // the plug-in could not be loaded
    minihost::CallResult result;
};

Outcome run(const std::string &path, int nlhs, const std::vector<const mxArray *> &inputs)
{
    Outcome out;
    std::lock_guard<std::mutex> hold(call_lock);
    // Loaded afresh for each call, as the command-line tool does, so that the
    // running totals in its summary cover this call alone.
    std::string why;
    auto plugin = minihost::Plugin::load(path, &why);
    if (!plugin) {
        out.load_error = "cannot load the plug-in " + path + ": " + why;
        return out;
    }
    out.result = plugin->call(nlhs, inputs);
    return out;
}

// Prints the plug-in's console, then turns a refusal into ValueError.
void finish(const Outcome &out, const py::object &write)
{
    if (!out.load_error.empty())
        throw std::runtime_error(out.load_error);
    if (!write.is_none() && !out.result.console.empty())
        write(out.result.console);
    if (!out.result.ok)
        throw py::value_error(out.result.error);
}

const mxArray *output(const minihost::CallResult &r, size_t i)
{
    if (i >= r.outputs.size() || !r.outputs[i])
        throw std::runtime_error("a plug-in returned fewer results than it should");
    return r.outputs[i].get();
}

py::array_t<double> column_values(const mxArray *a)
{
    const size_t n = mxGetNumberOfElements(a);
    py::array_t<double> out(static_cast<py::ssize_t>(n));
    std::copy(mxGetPr(a), mxGetPr(a) + n, out.mutable_data());
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
    std::vector<double> low, high;
    ranges(lo, hi, x.cols, &low, &high);
    const bool scaled = lo.has_value();
    Outcome out;
    {
        py::gil_scoped_release unlocked;
        std::vector<minihost::Array> inputs;
        inputs.push_back(host_matrix(x, scaled ? &low : nullptr, scaled ? &high : nullptr));
        inputs.push_back(host_matrix(y, nullptr, nullptr));
        for (double scalar : {vigilance, min_size, learning_rate, epsilon, max_presentations, trim, oflag})
            inputs.push_back(minihost::make_scalar(scalar));
        std::vector<const mxArray *> in;
        for (const auto &a : inputs)
            in.push_back(a.get());
        out = run(plugin, 3, in);
    }
    finish(out, write);

    const mxArray *templates = output(out.result, 0), *node_labels = output(out.result, 1),
                  *count = output(out.result, 2);
    const std::vector<size_t> dims = minihost::dims(templates);
    if (dims.size() != 2 || dims[1] != 2 * x.cols || mxGetNumberOfElements(node_labels) != dims[0] ||
        mxGetNumberOfElements(count) != 1)
        throw std::runtime_error("the training plug-in returned arrays of unexpected shapes");
    const size_t nodes = dims[0], width = dims[1];
    py::array_t<double> rows({nodes, width});
    double *dst = rows.mutable_data();
    const double *src = mxGetPr(templates);
    for (size_t k = 0; k < nodes; ++k)
        for (size_t j = 0; j < width; ++j)
            dst[k * width + j] = src[j * nodes + k];
    return py::make_tuple(rows, column_values(node_labels), mxGetScalar(count));
}

py::array_t<double> classify(const std::string &plugin, const py::array &templates, const py::array &node_labels,
                             double vigilance, const py::array &patterns, std::optional<py::array> lo,
                             std::optional<py::array> hi, double unknown_label, double oflag,
                             const py::object &write)
{
    const Matrix t = matrix(templates, "templates"), labels = column(node_labels, "node_labels"),
                 x = matrix(patterns, "patterns");
    std::vector<double> low, high;
    ranges(lo, hi, x.cols, &low, &high);
    const bool scaled = lo.has_value();
    Outcome out;
    {
        py::gil_scoped_release unlocked;
        std::vector<minihost::Array> inputs;
        inputs.push_back(host_matrix(t, nullptr, nullptr));
        inputs.push_back(host_matrix(labels, nullptr, nullptr));
        inputs.push_back(minihost::make_scalar(vigilance));
        inputs.push_back(host_matrix(x, scaled ? &low : nullptr, scaled ? &high : nullptr));
        inputs.push_back(minihost::make_scalar(unknown_label));
        inputs.push_back(minihost::make_scalar(oflag));
        std::vector<const mxArray *> in;
        for (const auto &a : inputs)
            in.push_back(a.get());
        out = run(plugin, 1, in);
    }
    finish(out, write);
    const mxArray *predicted = output(out.result, 0);
    if (mxGetNumberOfElements(predicted) != x.rows)
        throw std::runtime_error("the classification plug-in returned " +
                                 std::to_string(mxGetNumberOfElements(predicted)) + " labels for " +
                                 std::to_string(x.rows) + " patterns");
    return column_values(predicted);
}

}  // namespace

PYBIND11_MODULE(_quorv, m)
{
    expose_host();
    m.doc() = "The quorv plug-ins run through the embedded host.";
    m.def("train", &train, py::arg("plugin"), py::arg("patterns"), py::arg("labels"), py::arg("order"),
          py::arg("lo"),
          py::arg("hi"), py::arg("vigilance"), py::arg("min_size"), py::arg("learning_rate"), py::arg("epsilon"),
          py::arg("max_presentations"), py::arg("trim"), py::arg("oflag"), py::arg("write"),
          "Runs quorv_train; returns (templates, node labels, list presentations).");
    m.def("classify", &classify, py::arg("plugin"), py::arg("templates"), py::arg("node_labels"),
          py::arg("vigilance"), py::arg("patterns"), py::arg("lo"), py::arg("hi"), py::arg("unknown_label"),
          py::arg("oflag"), py::arg("write"), "Runs quorv_perf; returns one label per pattern.");
}
