#include "handle.hpp"

#include <new>

namespace sorvane::py {

namespace {

constexpr const char* kStateDoc =
    "The bandit's state: an opaque handle. Treat it linearly \xe2\x80\x94 always rebind\n"
    "the returned state \xe2\x80\x94 and persist it with serialize/deserialize.";

// The module keeps no state of its own (its definition asks for none), so
// its classes are made once per process, on first use, and shared by every
// module object the interpreter makes from this library: a state made
// through one import is accepted by another, and PanicException is one
// class, whichever import raised it. The same holds for the result classes
// (records.cpp).
PyTypeObject* g_state_type = nullptr;
PyObject* g_panic = nullptr;

void state_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* s = reinterpret_cast<StateObject*>(self);
  s->state.~BanditState();
  s->scratch.~DecideScratch();
  s->in_use.~atomic();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyType_Slot state_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(state_dealloc)},
    {Py_tp_doc, const_cast<char*>(kStateDoc)},
    {0, nullptr},
};

PyType_Spec state_spec = {
    "sorvane.BanditState",
    static_cast<int>(sizeof(StateObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    state_slots,
};

}  // namespace

PyTypeObject* state_type() {
  if (g_state_type == nullptr)
    g_state_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&state_spec));
  return g_state_type;
}

PyObject* new_state_object(sorvane::BanditState&& state) {
  PyTypeObject* type = state_type();
  if (type == nullptr) return nullptr;
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* s = reinterpret_cast<StateObject*>(self);
  new (&s->state) sorvane::BanditState(std::move(state));
  new (&s->scratch) sorvane::DecideScratch();
  new (&s->in_use) std::atomic<int64_t>(0);
  return self;
}

PyObject* panic_type() {
  if (g_panic == nullptr) {
    g_panic = PyErr_NewExceptionWithDoc(
        "sorvane.PanicException",
        "An internal fault: the call was abandoned. Raised when a state is used\n"
        "while a callback of another call on it is running.",
        PyExc_BaseException, nullptr);
  }
  return g_panic;
}

void raise_panic(const char* message) {
  PyObject* type = panic_type();
  if (type != nullptr) PyErr_SetString(type, message);
}

bool is_panic(PyObject* exception_type) {
  return g_panic != nullptr && exception_type != nullptr &&
         PyErr_GivenExceptionMatches(exception_type, g_panic);
}

void raise_not_instance(PyObject* obj, const char* target) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", target);
    return;
  }
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%S' object is not an instance of '%s'", name.get(), target);
}

SharedUse::SharedUse(StateObject* s) : state_(s) {
  int64_t seen = s->in_use.load();
  while (true) {
    if (seen == -1) {
      state_ = nullptr;
      raise_panic("Already mutably borrowed: PyBorrowError");
      return;
    }
    if (s->in_use.compare_exchange_weak(seen, seen + 1)) return;
  }
}

SharedUse::~SharedUse() {
  if (state_ != nullptr) state_->in_use.fetch_sub(1);
}

ExclusiveUse::ExclusiveUse(StateObject* s) : state_(s) {
  int64_t expected = 0;
  if (!s->in_use.compare_exchange_strong(expected, -1)) {
    state_ = nullptr;
    raise_panic("Already borrowed: PyBorrowMutError");
  }
}

ExclusiveUse::~ExclusiveUse() {
  if (state_ != nullptr) state_->in_use.store(0);
}

}  // namespace sorvane::py
