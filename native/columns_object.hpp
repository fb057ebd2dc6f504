// LogColumns for the toolkit's extension module: the columns of `sorvane
// export` (log_columns.hpp) read from a log fed in pieces, handed to Python
// packed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace sorvane::toolkit {

// Adds the LogColumns type to the module; -1 with an exception set on failure.
int add_log_columns(PyObject* module);

}  // namespace sorvane::toolkit
