// text: a new str from the engine's UTF-8 bytes, for both extension modules.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

namespace sorvane::py {

// A new reference, or null with the error set (bytes that are not UTF-8,
// memory). The engine's texts are valid UTF-8, so only memory fails there.
inline PyObject* text(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

}  // namespace sorvane::py
