// read_line(line) for the toolkit's extension module: one log line read by
// the native reader, its values as Python objects, so that tests and the
// differential fuzzer can hold them against the Python reader's.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace sorvane::toolkit {

// Adds read_line to the module; -1 with an exception set on failure.
int add_line_reader(PyObject* module);

}  // namespace sorvane::toolkit
