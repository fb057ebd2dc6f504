// The extension module sorvane_cli._native: the toolkit's replay of the
// experience log through the engine, with no Python object made per line.
//
//   replay = LogReplay(horizon, default_reward, epsilon, forgetfulness, state_text)
//   replay.feed(chunk) -> False once the replay has declined the log
//   replay.finish()
//   replay.declined() -> None, or (line number, reason)
//   replay.counts() -> (lines, decisions, resolutions, pending)
//   replay.state_text() -> the serialize text of the state, or None
#include <new>
#include <optional>
#include <stdexcept>

#include "log_replay.hpp"
#include "py_owned.hpp"

namespace sorvane::toolkit {

namespace {

struct ReplayObject {
  PyObject_HEAD
  LogReplay* replay;
  // Set while a call runs: another thread may not enter meanwhile.
  bool busy;
};

ReplayObject* as_replay(PyObject* self) { return reinterpret_cast<ReplayObject*>(self); }

// Runs work inside a method: C++ exceptions become Python ones, and a
// second caller while the first runs is refused.
template <class Work>
PyObject* guarded(PyObject* self, Work&& work) {
  ReplayObject* r = as_replay(self);
  if (r->replay == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "LogReplay was not initialised");
    return nullptr;
  }
  if (r->busy) {
    PyErr_SetString(PyExc_RuntimeError, "LogReplay is in use by another call");
    return nullptr;
  }
  r->busy = true;
  PyObject* result = nullptr;
  try {
    result = work(*r->replay);
  } catch (const std::bad_alloc&) {
    result = PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    result = nullptr;
  }
  r->busy = false;
  return result;
}

PyObject* replay_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"horizon", "default_reward", "epsilon", "forgetfulness", "state_text",
                                nullptr};
  ReplayConfig config;
  PyObject* state_text = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ddddO:LogReplay", const_cast<char**>(names),
                                   &config.horizon, &config.default_reward, &config.epsilon,
                                   &config.forgetfulness, &state_text)) {
    return nullptr;
  }
  if (state_text != Py_None) {
    if (!PyUnicode_Check(state_text)) {
      PyErr_SetString(PyExc_TypeError, "state_text must be a str or None");
      return nullptr;
    }
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(state_text, &size);
    if (data == nullptr) return nullptr;
    try {
      config.state_text.emplace(data, static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  Owned self(alloc(type, 0));
  if (!self) return nullptr;
  try {
    as_replay(self.get())->replay = new LogReplay(std::move(config));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  as_replay(self.get())->busy = false;
  return self.release();
}

void replay_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_replay(self)->replay;
  as_replay(self)->replay = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* replay_feed(PyObject* self, PyObject* data) {
  if (!PyBytes_Check(data)) {
    PyErr_SetString(PyExc_TypeError, "feed takes bytes");
    return nullptr;
  }
  return guarded(self, [data](LogReplay& replay) {
    char* bytes;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(data, &bytes, &size) < 0) return static_cast<PyObject*>(nullptr);
    return PyBool_FromLong(replay.feed(std::string_view(bytes, static_cast<size_t>(size))));
  });
}

PyObject* replay_finish(PyObject* self, PyObject*) {
  return guarded(self, [](LogReplay& replay) {
    replay.finish();
    Py_RETURN_NONE;
  });
}

PyObject* replay_declined(PyObject* self, PyObject*) {
  return guarded(self, [](LogReplay& replay) -> PyObject* {
    if (!replay.declined()) Py_RETURN_NONE;
    return Py_BuildValue("(Ks)", static_cast<unsigned long long>(replay.declined_line()),
                         replay.decline_reason().c_str());
  });
}

PyObject* replay_counts(PyObject* self, PyObject*) {
  return guarded(self, [](LogReplay& replay) {
    return Py_BuildValue("(KKKK)", static_cast<unsigned long long>(replay.lines()),
                         static_cast<unsigned long long>(replay.decisions()),
                         static_cast<unsigned long long>(replay.resolutions()),
                         static_cast<unsigned long long>(replay.pending()));
  });
}

PyObject* replay_state_text(PyObject* self, PyObject*) {
  return guarded(self, [](LogReplay& replay) -> PyObject* {
    std::optional<std::string> text = replay.state_text();
    if (!text) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
  });
}

PyMethodDef replay_methods[] = {
    {"feed", replay_feed, METH_O, "feed(data)\n--\n\nThe next bytes of the log; False once declined."},
    {"finish", replay_finish, METH_NOARGS, "finish()\n--\n\nThe end of the log."},
    {"declined", replay_declined, METH_NOARGS,
     "declined()\n--\n\nNone, or the line number and reason the log was declined at."},
    {"counts", replay_counts, METH_NOARGS,
     "counts()\n--\n\n(lines, decisions, resolutions, pending) so far."},
    {"state_text", replay_state_text, METH_NOARGS,
     "state_text()\n--\n\nThe serialize text of the replayed state, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot replay_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(replay_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(replay_dealloc)},
    {Py_tp_methods, replay_methods},
    {Py_tp_doc, const_cast<char*>("A replay of an experience log through the engine.")},
    {0, nullptr},
};

PyType_Spec replay_spec = {
    "sorvane_cli._native.LogReplay", sizeof(ReplayObject), 0, Py_TPFLAGS_DEFAULT, replay_slots,
};

int module_exec(PyObject* module) {
  Owned type(PyType_FromSpec(&replay_spec));
  if (!type) return -1;
  if (PyModule_AddObject(module, "LogReplay", type.get()) < 0) return -1;
  type.release();
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native", "The toolkit's native replay of the experience log.", 0, nullptr,
    module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace sorvane::toolkit

extern "C" PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&sorvane::toolkit::module_def); }
