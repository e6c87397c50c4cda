// Binds the forest's draws into the extension module.
#ifndef QUORV_PYTHON_FOREST_BIND_H
#define QUORV_PYTHON_FOREST_BIND_H

#include <pybind11/pybind11.h>

void bind_forest(pybind11::module_ &m);

#endif
