// The module quorv._classes: the front ends' class coding (front/classes.h)
// bound for the Python package, so that a model saved from Python codes its
// classes as the tool codes the same labels.
#include "front/classes.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// (codes, one per label; names, one per label), the labels' order kept.
py::tuple per_label(const front::LabelCodes &coded)
{
    py::array_t<double> codes(static_cast<py::ssize_t>(coded.codes.size()));
    std::copy(coded.codes.begin(), coded.codes.end(), codes.mutable_data());
    py::list names;
    for (double code : coded.codes)
        names.append(py::str(front::class_name_of(coded.classes, code)));
    return py::make_tuple(codes, names);
}

py::object code_numbers(const Doubles &labels)
{
    if (labels.ndim() != 1)
        throw py::value_error("labels must be a 1-D array of numbers");
    front::LabelCodes coded;
    if (!front::code_numbers(std::vector<double>(labels.data(), labels.data() + labels.size()), &coded))
        return py::none();
    return per_label(coded);
}

bool numbered(const Doubles &codes, const std::vector<std::string> &names)
{
    if (codes.ndim() != 1 || static_cast<size_t>(codes.size()) != names.size())
        throw py::value_error("one class code per class name is needed");
    std::vector<front::ClassName> classes;
    for (size_t c = 0; c < names.size(); ++c)
        classes.push_back({codes.data()[c], names[c]});
    return front::numbered(classes);
}

}  // namespace

PYBIND11_MODULE(_classes, m)
{
    m.doc() = "Class codes of training labels, by the rule the command-line tool codes them.";
    m.def("code_numbers", &code_numbers, py::arg("labels"),
          "(codes, names) of labels that are all whole numbers in the int range (their own codes), else None.");
    m.def("code_names", [](const std::vector<std::string> &labels) { return per_label(front::code_names(labels)); },
          py::arg("labels"), "(codes, names) of text labels: 1, 2, ... in the byte order of the names.");
    m.def("numbered", &numbered, py::arg("codes"), py::arg("names"),
          "True when every class is named by its code's text: a model file gives such classes back as numbers.");
}
