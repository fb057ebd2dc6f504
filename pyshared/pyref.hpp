// Ref: owns one strong Python reference and releases it on every path out.
// Both extension modules (sorvane and sorvane_cli._native) hold every
// reference they own through it, so that an early return cannot leak and a
// missing increment is visible in review.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace sorvane::py {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (which may be null).
  explicit Ref(PyObject* owned) : obj_(owned) {}
  static Ref borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }
  ~Ref() { Py_XDECREF(obj_); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    reset(other.release());
    return *this;
  }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(obj_, nullptr); }
  // Releases the old reference only after the new one is in place: the old
  // object's finaliser may run code that reads this holder.
  void reset(PyObject* owned = nullptr) {
    PyObject* old = std::exchange(obj_, owned);
    Py_XDECREF(old);
  }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace sorvane::py
