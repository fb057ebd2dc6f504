// WithoutGil: the interpreter lock let go for a scope, taken back on every
// path out, exceptions included.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace sorvane::toolkit {

class WithoutGil {
 public:
  WithoutGil() : saved_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(saved_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* saved_;
};

}  // namespace sorvane::toolkit
