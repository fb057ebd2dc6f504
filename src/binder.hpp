// Argument binding for the module's functions: positional and keyword
// arguments of a vector call are matched against one table per function,
// with the interpreter's own wording for every binding error.
#pragma once

#include "pyref.hpp"

namespace sorvane::py {

inline constexpr Py_ssize_t kMaxParams = 8;

struct Signature {
  const char* name;           // the function's name, as in messages
  const char* params[kMaxParams];
  Py_ssize_t count;           // parameters, all positional-or-keyword
  Py_ssize_t required;        // the first `required` have no default
};

// Fills bound[0..count) with borrowed references, nullptr for an omitted
// optional parameter. On failure sets TypeError and returns false.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** bound);

}  // namespace sorvane::py
