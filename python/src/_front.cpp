// The front library (front/) bound for the Python package: the model file,
// the scaling ranges, the vote, the seeded draws and safe output files, so
// that Python runs the tool's own rules instead of copies. Arrays in, arrays
// out; the rules themselves stay in front/.
#include "front/classes.h"
#include "front/draws.h"
#include "front/error.h"
#include "front/files.h"
#include "front/missing.h"
#include "front/model.h"
#include "front/numbers.h"
#include "front/scaling.h"
#include "front/vote.h"
#include "matrix_view.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// A library message as Python text: bytes that are not UTF-8 (a name quoted
// from a damaged file) shown as \xNN escapes.
py::str message_text(const char *what)
{
    PyObject *text = PyUnicode_DecodeUTF8(what, static_cast<Py_ssize_t>(std::strlen(what)), "backslashreplace");
    if (!text)
        throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

py::array_t<double> numpy_of(const std::vector<double> &v)
{
    py::array_t<double> out(static_cast<py::ssize_t>(v.size()));
    if (!v.empty())
        std::memcpy(out.mutable_data(), v.data(), v.size() * sizeof(double));
    return out;
}

std::vector<double> doubles(const py::handle &object)
{
    const auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(object);
    if (!a || a.ndim() > 1)
        throw py::value_error("expected a 1-D array of numbers");
    return std::vector<double>(a.data(), a.data() + a.size());
}

// Names as Python str objects (not fixed-width numpy strings: one long name
// must not widen every other).
py::list str_list(const std::vector<std::string> &names)
{
    py::list out(names.size());
    for (size_t i = 0; i < names.size(); ++i)
        out[i] = py::str(names[i]);
    return out;
}

// A nodes x width array that takes the vector over: a forest's bounds are
// handed to Python without a copy (half the memory, no second pass).
py::array_t<double> numpy_taking(std::vector<double> &&v, size_t nodes, size_t width)
{
    std::unique_ptr<std::vector<double>> owned(new std::vector<double>(std::move(v)));
    const py::capsule free_it(owned.get(), [](void *p) { delete static_cast<std::vector<double> *>(p); });
    const double *data = owned.release()->data();
    return py::array_t<double>({nodes, width}, data, free_it);
}

// The model as the package's dict; the members' bounds are taken from m.
py::dict model_dict(front::Model &m)
{
    py::dict d;
    d["version"] = m.version;
    d["label_name"] = py::str(m.label_name);
    d["scaled"] = m.scaling.enabled;
    d["feature_names"] = str_list(m.feature_names);
    d["feature_min"] = numpy_of(m.scaling.min);
    d["feature_max"] = numpy_of(m.scaling.max);
    d["ignored"] = str_list(m.ignored);
    std::vector<double> codes;
    std::vector<std::string> names;
    for (const front::ClassName &c : m.classes) {
        codes.push_back(c.code);
        names.push_back(c.name);
    }
    d["class_codes"] = numpy_of(codes);
    d["class_names"] = str_list(names);
    d["training_patterns"] = m.training_patterns;
    d["vigilance"] = m.params.vigilance;
    d["min_size"] = m.params.min_size;
    d["learning_rate"] = m.params.learning_rate;
    d["epsilon"] = m.params.epsilon;
    d["max_list_presentations"] = m.params.max_list_presentations;
    d["trim_option"] = m.params.trim_option;
    d["shuffle_seed"] = m.shuffle_seed;
    d["merged_patterns"] = m.merge_conflicts ? m.merged_patterns : 0;  // version 4's "conflicts merge N"
    d["missing_medians"] = m.missing_medians.empty() ? py::object(py::none()) : py::object(numpy_of(m.missing_medians));
    // Version 4's "oob RULE CORRECT ROWS": (nearest, correct, rows), or None when not computed.
    d["oob"] = m.oob.on ? py::object(py::make_tuple(m.oob.nearest, m.oob.correct, m.oob.rows)) : py::object(py::none());
    py::list members;
    for (size_t i = 0; i < m.members.size(); ++i) {
        front::Member &member = m.members[i];
        const py::array_t<double> templates =
            numpy_taking(std::move(member.templates), member.nodes, 2 * m.member_cols(i));
        py::object features = py::none();
        if (m.forest.on) {
            py::array_t<int64_t> used(static_cast<py::ssize_t>(member.features.size()));
            for (size_t j = 0; j < member.features.size(); ++j)
                used.mutable_data()[j] = static_cast<int64_t>(member.features[j]);
            features = used;
        }
        members.append(py::make_tuple(templates, numpy_of(member.labels), member.list_presentations, features));
    }
    d["members"] = members;
    // A forest's draws (front/forest.h); None for any other model.
    d["forest"] = m.forest.on ? py::object(py::dict(py::arg("sample_rows") = m.forest.sample.rows,
                                                    py::arg("bootstrap") = m.forest.sample.bootstrap,
                                                    py::arg("features") = m.forest.features))
                              : py::object(py::none());
    return d;
}

front::Model model_of(const py::dict &d)
{
    front::Model m;
    m.version = d["version"].cast<int>();
    m.label_name = d["label_name"].cast<std::string>();
    m.scaling.enabled = d["scaled"].cast<bool>();
    m.feature_names = d["feature_names"].cast<std::vector<std::string>>();
    m.scaling.min = doubles(d["feature_min"]);
    m.scaling.max = doubles(d["feature_max"]);
    m.ignored = d["ignored"].cast<std::vector<std::string>>();
    const std::vector<double> codes = doubles(d["class_codes"]);
    const auto names = d["class_names"].cast<std::vector<std::string>>();
    if (codes.size() != names.size())
        throw py::value_error("one class code per class name is needed");
    for (size_t c = 0; c < codes.size(); ++c)
        m.classes.push_back({codes[c], names[c]});
    m.training_patterns = d["training_patterns"].cast<long>();
    m.params.vigilance = d["vigilance"].cast<double>();
    m.params.min_size = d["min_size"].cast<double>();
    m.params.learning_rate = d["learning_rate"].cast<double>();
    m.params.epsilon = d["epsilon"].cast<double>();
    m.params.max_list_presentations = d["max_list_presentations"].cast<long>();
    m.params.trim_option = d["trim_option"].cast<long>();
    m.shuffle_seed = d["shuffle_seed"].cast<std::int64_t>();
    m.merged_patterns = d.contains("merged_patterns") ? d["merged_patterns"].cast<long>() : 0;
    m.merge_conflicts = m.merged_patterns > 0;
    if (d.contains("missing_medians") && !d["missing_medians"].is_none()) {
        m.missing_medians = doubles(d["missing_medians"]);
        if (m.missing_medians.size() != m.feature_names.size())
            throw py::value_error("one missing-value median per feature is needed");
    }
    if (d.contains("oob") && !d["oob"].is_none()) {
        const py::tuple oob = d["oob"].cast<py::tuple>();
        if (oob.size() != 3)
            throw py::value_error("oob must be (nearest, correct, rows)");
        m.oob = {true, oob[0].cast<bool>(), oob[1].cast<long>(), oob[2].cast<long>()};
    }
    if (m.feature_names.size() != m.scaling.min.size() || m.feature_names.size() != m.scaling.max.size())
        throw py::value_error("one minimum and one maximum per feature are needed");
    if (d.contains("forest") && !d["forest"].is_none()) {
        const py::dict forest = d["forest"].cast<py::dict>();
        m.forest.on = true;
        m.forest.sample.rows = forest["sample_rows"].cast<size_t>();
        m.forest.sample.bootstrap = forest["bootstrap"].cast<bool>();
        m.forest.features = forest["features"].cast<size_t>();
    }
    for (const py::handle &entry : d["members"]) {
        const py::tuple t = entry.cast<py::tuple>();
        const auto templates =
            py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(t[0]);
        front::Member member;
        member.labels = doubles(t[1]);
        member.list_presentations = t[2].cast<double>();
        member.nodes = member.labels.size();
        if (m.forest.on) {
            if (t.size() < 4 || t[3].is_none())
                throw py::value_error("each member of a forest needs its features");
            member.features = t[3].cast<std::vector<size_t>>();
        }
        const size_t cols = m.forest.on ? member.features.size() : m.cols();
        if (!templates || templates.ndim() != 2 || static_cast<size_t>(templates.shape(0)) != member.nodes ||
            static_cast<size_t>(templates.shape(1)) != 2 * cols)
            throw py::value_error("templates must have one row of 2 * n_features bounds per node label");
        member.templates.assign(templates.data(), templates.data() + templates.size());
        m.members.push_back(std::move(member));
    }
    return m;
}

// A path as open() takes it: a NUL would cut the name the system sees.
const std::string &checked_path(const std::string &path)
{
    if (path.find('\0') != std::string::npos)
        throw py::value_error("embedded null byte");
    return path;
}

py::dict read_model(const std::string &path)
{
    checked_path(path);
    front::Model m;
    {
        py::gil_scoped_release unlocked;
        m = front::read_model(path);
    }
    return model_dict(m);
}

void save_model(const std::string &path, const py::dict &d)
{
    checked_path(path);
    const front::Model m = model_of(d);
    py::gil_scoped_release unlocked;
    const std::string text = front::model_file_bytes(m, path);
    front::OutputFile out(path, {});
    out.write(text);
    out.commit();
}

py::tuple fit_scaling(const py::array_t<double, 0> &x)
{
    if (x.ndim() != 2)
        throw py::value_error("X must be a 2-D float64 array");
    const front::MatrixView v = matrix_view(x);
    front::Scaling s;
    {
        py::gil_scoped_release unlocked;
        s = front::fit_scaling(v, true);
    }
    const size_t wide = front::unscalable_feature(s);
    return py::make_tuple(numpy_of(s.min), numpy_of(s.max),
                          wide == std::string::npos ? py::object(py::none()) : py::object(py::int_(wide)));
}

// The training medians of X's columns (NaN: missing), the tool's own rule.
py::array_t<double> feature_medians(const py::array_t<double, 0> &x)
{
    if (x.ndim() != 2)
        throw py::value_error("X must be a 2-D float64 array");
    const front::MatrixView v = matrix_view(x);
    std::vector<double> medians;
    {
        py::gil_scoped_release unlocked;
        medians = front::feature_medians(v);
    }
    return numpy_of(medians);
}

// A copy of X with each NaN replaced by its column's median.
py::array_t<double> fill_missing(const std::vector<double> &medians,
                                 const py::array_t<double, py::array::c_style | py::array::forcecast> &x)
{
    if (x.ndim() != 2 || static_cast<size_t>(x.shape(1)) != medians.size())
        throw py::value_error("X must be a 2-D array with one column per median");
    py::array_t<double> out({x.shape(0), x.shape(1)});
    if (x.size())
        std::memcpy(out.mutable_data(), x.data(), static_cast<size_t>(x.size()) * sizeof(double));
    front::fill_missing(medians, out.mutable_data(), static_cast<size_t>(x.shape(0)));
    return out;
}

py::array_t<double> vote(const std::vector<std::vector<double>> &answers, double unknown)
{
    for (const auto &a : answers)
        if (a.size() != answers.at(0).size())
            throw py::value_error("every member must answer for every pattern");
    return numpy_of(front::vote_all(answers, unknown));
}

py::array_t<int64_t> shuffled_rows(size_t n, std::int64_t seed)
{
    if (seed < 0 || seed > front::kMaxSeed)
        throw py::value_error("the seed must be a whole number from 0 to " + std::to_string(front::kMaxSeed));
    const std::vector<size_t> rows = front::shuffled_rows(n, static_cast<std::uint64_t>(seed));
    py::array_t<int64_t> out(static_cast<py::ssize_t>(n));
    for (size_t i = 0; i < n; ++i)
        out.mutable_data()[i] = static_cast<int64_t>(rows[i]);
    return out;
}

// (name, message) of the first parameter out of range, or None.
py::object check_params(double vigilance, double min_size, double learning_rate, double epsilon,
                        long max_list_presentations, long trim_option, size_t features)
{
    const front::ParamFault fault = front::check_params(
        {vigilance, min_size, learning_rate, epsilon, max_list_presentations, trim_option}, features);
    if (fault.message.empty())
        return py::none();
    return py::make_tuple(fault.name, fault.message);
}

}  // namespace

void bind_front(py::module_ &m)
{
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p)
                std::rethrow_exception(p);
        } catch (const front::Error &e) {
            PyErr_SetObject(PyExc_ValueError, message_text(e.what()).ptr());
        }
    });
    m.def("read_model", &read_model, py::arg("path"),
          "A model file's content as a dict (names as str, bounds as float64 arrays).");
    m.def("save_model", &save_model, py::arg("path"), py::arg("model"),
          "Writes a model dict as the tool writes model files (temporary, mode, links, FIFOs kept).");
    m.def("model_text", [](const py::dict &d) { return front::model_text(model_of(d)); }, py::arg("model"));
    m.def("fit_scaling", &fit_scaling, py::arg("X"),
          "(min, max, first feature too wide to scale or None) of each column of X.");
    m.def("feature_medians", &feature_medians, py::arg("X"),
          "Each column's median over its values that are not NaN (NaN for a column without any).");
    m.def("fill_missing", &fill_missing, py::arg("medians"), py::arg("X"),
          "A copy of X with each NaN replaced by its column's median.");
    m.def("vote", &vote, py::arg("answers"), py::arg("unknown"), "The members' answers voted.");
    m.attr("MAX_SEED") = front::kMaxSeed;  // the one limit of seeds, as the model file and the tool take them
    m.def("shuffled_rows", &shuffled_rows, py::arg("n"), py::arg("seed"),
          "The training order of a shuffle with this seed, as the tool's --shuffle --seed.");
    m.def("check_params", &check_params, py::arg("vigilance"), py::arg("min_size"), py::arg("learning_rate"),
          py::arg("epsilon"), py::arg("max_list_presentations"), py::arg("trim_option"), py::arg("features"));
    m.def("format_double", &front::format_double, py::arg("value"));
    m.def("free_unknown_label", py::overload_cast<const std::vector<double> &, const std::vector<std::string> &>(
                                    &front::free_unknown_label),
          py::arg("codes"), py::arg("names"),
          "-1, or the first whole number below it that is no class's code nor, as text, its name.");
}
