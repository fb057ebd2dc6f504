// The BanditState class: an opaque handle on one engine state, with the
// in-use marker that refuses a second call on the state while a callback of
// a running call is inside Python code. Also the internal-fault exception.
#pragma once

#include <atomic>
#include <cstdint>

#include "api.hpp"
#include "pyref.hpp"

namespace sorvane::py {

struct StateObject {
  PyObject_HEAD
  sorvane::BanditState state;
  // The buffers decide reuses; the engine's own, opaque here.
  sorvane::DecideScratch scratch;
  // 0 free, n > 0 while n calls read the state, -1 while one call changes it.
  std::atomic<int64_t> in_use;
};

// Creates the class once per process; returns a borrowed reference.
PyTypeObject* state_type();
// Wraps an engine state in a new BanditState with the marker free.
PyObject* new_state_object(sorvane::BanditState&& state);

// PanicException, derived from BaseException, created on first use.
PyObject* panic_type();
void raise_panic(const char* message);
bool is_panic(PyObject* exception_type);

// TypeError "'T' object is not an instance of 'target'" ("'None' is not an
// instance of 'target'" for None), T being the __qualname__ of obj's type.
void raise_not_instance(PyObject* obj, const char* target);

// Shared use for the life of the guard; ok() is false (PanicException set)
// when the state is in exclusive use.
class SharedUse {
 public:
  explicit SharedUse(StateObject* s);
  ~SharedUse();
  bool ok() const { return state_ != nullptr; }
  SharedUse(const SharedUse&) = delete;
  SharedUse& operator=(const SharedUse&) = delete;

 private:
  StateObject* state_;
};

// Exclusive use for the life of the guard; ok() is false (PanicException
// set) when the state is in any use.
class ExclusiveUse {
 public:
  explicit ExclusiveUse(StateObject* s);
  ~ExclusiveUse();
  bool ok() const { return state_ != nullptr; }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;

 private:
  StateObject* state_;
};

}  // namespace sorvane::py
