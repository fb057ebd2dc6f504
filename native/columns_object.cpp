// sorvane_cli._native.LogColumns, the Python face of log_columns.hpp:
//
//   columns = LogColumns()
//   columns.feed(chunk) -> False once it has declined the log
//   columns.finish(); columns.skip_line(); columns.set_line_limit(bytes)
//   columns.declined() -> None, or (line number, reason)
//   columns.result() -> (decision_ids, salts, chosen_ids: lists of str;
//     t, propensity, reward: float64 bytes; chosen, candidates,
//     model_version: uint64 bytes; inputs: uint32 bytes; outcome: uint8
//     bytes (0 pending, 1 rewarded, 2 expired); distinct inputs: list of
//     bytes; resolved, unmatched)
//
// feed and finish run without the interpreter lock.
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "columns_object.hpp"
#include "log_columns.hpp"
#include "pyref.hpp"
#include "without_gil.hpp"

namespace sorvane::toolkit {

namespace {

using py::Ref;

struct ColumnsObject {
  PyObject_HEAD
  LogColumns* columns;
  bool busy;  // a call runs: another thread may not enter meanwhile
};

ColumnsObject* as_columns(PyObject* self) { return reinterpret_cast<ColumnsObject*>(self); }

template <class Work>
PyObject* guarded(PyObject* self, Work&& work) {
  ColumnsObject* c = as_columns(self);
  if (c->columns == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the object was not initialised");
    return nullptr;
  }
  if (c->busy) {
    PyErr_SetString(PyExc_RuntimeError, "the object is in use by another call");
    return nullptr;
  }
  c->busy = true;
  PyObject* result = nullptr;
  try {
    result = work(*c->columns);
  } catch (const std::bad_alloc&) {
    result = PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  c->busy = false;
  return result;
}

PyObject* columns_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":LogColumns", const_cast<char**>(names))) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  try {
    as_columns(self)->columns = new LogColumns();
  } catch (const std::bad_alloc&) {
    as_columns(self)->columns = nullptr;
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  as_columns(self)->busy = false;
  return self;
}

void columns_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_columns(self)->columns;
  as_columns(self)->columns = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* columns_feed(PyObject* self, PyObject* data) {
  if (!PyBytes_Check(data)) {
    PyErr_SetString(PyExc_TypeError, "feed takes bytes");
    return nullptr;
  }
  return guarded(self, [data](LogColumns& columns) -> PyObject* {
    char* bytes;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(data, &bytes, &size) < 0) return nullptr;
    bool more;
    {
      // The caller holds the bytes object, and bytes do not change.
      WithoutGil unlocked;
      more = columns.feed(std::string_view(bytes, static_cast<size_t>(size)));
    }
    return PyBool_FromLong(more);
  });
}

PyObject* columns_finish(PyObject* self, PyObject*) {
  return guarded(self, [](LogColumns& columns) -> PyObject* {
    {
      WithoutGil unlocked;
      columns.finish();
    }
    Py_RETURN_NONE;
  });
}

PyObject* columns_skip_line(PyObject* self, PyObject*) {
  return guarded(self, [](LogColumns& columns) -> PyObject* {
    columns.skip_line();
    Py_RETURN_NONE;
  });
}

PyObject* columns_set_line_limit(PyObject* self, PyObject* arg) {
  const Py_ssize_t limit = PyLong_AsSsize_t(arg);
  if (limit == -1 && PyErr_Occurred()) return nullptr;
  if (limit < 0) {
    PyErr_SetString(PyExc_ValueError, "the line limit must not be negative");
    return nullptr;
  }
  return guarded(self, [limit](LogColumns& columns) -> PyObject* {
    columns.set_line_limit(static_cast<size_t>(limit));
    Py_RETURN_NONE;
  });
}

PyObject* columns_declined(PyObject* self, PyObject*) {
  return guarded(self, [](LogColumns& columns) -> PyObject* {
    if (!columns.declined()) Py_RETURN_NONE;
    return Py_BuildValue("(Ks)", static_cast<unsigned long long>(columns.declined_line()),
                         columns.decline_reason().c_str());
  });
}

template <class T>
PyObject* packed(const std::vector<T>& values) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                   static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

// A list of str (UTF-8 texts) or of bytes.
PyObject* listed(const std::vector<std::string>& texts, bool as_bytes) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < texts.size(); ++i) {
    const std::string& s = texts[i];
    PyObject* item = as_bytes ? PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()))
                              : PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    if (item == nullptr) return nullptr;
    // PyList_SetItem takes over the item's reference, on failure too.
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) return nullptr;
  }
  return list.release();
}

PyObject* columns_result(PyObject* self, PyObject*) {
  return guarded(self, [](LogColumns& columns) -> PyObject* {
    const DecisionColumns& c = columns.columns();
    Ref ids(listed(c.decision_id, false)), salts(listed(c.salt, false)), chosen_ids(listed(c.chosen_id, false));
    Ref t(packed(c.t)), propensity(packed(c.propensity)), reward(packed(c.reward));
    Ref chosen(packed(c.chosen)), candidates(packed(c.candidates)), versions(packed(c.model_version));
    Ref inputs(packed(c.inputs)), outcome(packed(c.outcome)), distinct(listed(c.distinct_inputs, true));
    Ref resolved(PyLong_FromUnsignedLongLong(c.resolved)), unmatched(PyLong_FromUnsignedLongLong(c.unmatched));
    if (!ids || !salts || !chosen_ids || !t || !propensity || !reward || !chosen || !candidates || !versions ||
        !inputs || !outcome || !distinct || !resolved || !unmatched) {
      return nullptr;
    }
    return PyTuple_Pack(14, ids.get(), salts.get(), chosen_ids.get(), t.get(), propensity.get(), reward.get(),
                        chosen.get(), candidates.get(), versions.get(), inputs.get(), outcome.get(),
                        distinct.get(), resolved.get(), unmatched.get());
  });
}

PyMethodDef columns_methods[] = {
    {"feed", columns_feed, METH_O, "feed(data)\n--\n\nThe next bytes of the log; False once declined."},
    {"finish", columns_finish, METH_NOARGS, "finish()\n--\n\nThe end of the log."},
    {"set_line_limit", columns_set_line_limit, METH_O,
     "set_line_limit(bytes)\n--\n\nLines longer than this, their newline aside, are declined unread."},
    {"skip_line", columns_skip_line, METH_NOARGS,
     "skip_line()\n--\n\nCounts a line the caller read itself (the header)."},
    {"declined", columns_declined, METH_NOARGS,
     "declined()\n--\n\nNone, or the line number and reason the log was declined at."},
    {"result", columns_result, METH_NOARGS, "result()\n--\n\nThe columns read, packed (see the module's notes)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot columns_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(columns_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(columns_dealloc)},
    {Py_tp_methods, columns_methods},
    {Py_tp_doc, const_cast<char*>("The columns of sorvane export, read from an experience log.")},
    {0, nullptr},
};

PyType_Spec columns_spec = {
    "sorvane_cli._native.LogColumns", sizeof(ColumnsObject), 0, Py_TPFLAGS_DEFAULT, columns_slots,
};

}  // namespace

int add_log_columns(PyObject* module) {
  Ref type(PyType_FromSpec(&columns_spec));
  if (!type) return -1;
  if (PyModule_AddObject(module, "LogColumns", type.get()) < 0) return -1;
  type.release();
  return 0;
}

}  // namespace sorvane::toolkit
