// Owned: one strong Python reference, released on every path out.
// WithoutGil: the interpreter lock let go for a scope, taken back on every
// path out, exceptions included.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace sorvane::toolkit {

class Owned {
 public:
  Owned() = default;
  explicit Owned(PyObject* owned) : obj_(owned) {}  // takes a new reference (may be null)
  ~Owned() { Py_XDECREF(obj_); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned(Owned&& other) noexcept : obj_(other.release()) {}
  Owned& operator=(Owned&& other) noexcept {
    Owned old(std::exchange(obj_, other.release()));
    return *this;
  }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  PyObject* obj_ = nullptr;
};

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
