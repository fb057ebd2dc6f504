#include "json_value.hpp"

namespace sorvane::py {

JsonValueWriter::~JsonValueWriter() {
  for (int i = depth_ + reserved_; i > 0; --i) Py_LeaveRecursiveCall();
}

bool JsonValueWriter::reserve_levels(int n) {
  for (int i = 0; i < n; ++i) {
    if (Py_EnterRecursiveCall("") != 0) {
      PyErr_Clear();
      return false;
    }
    ++reserved_;
  }
  return true;
}

// json.dumps takes one level of the recursion allowance per container.
bool JsonValueWriter::enter() {
  if (depth_ >= kMaxDepth) return false;
  if (Py_EnterRecursiveCall("") != 0) {
    PyErr_Clear();
    return false;
  }
  ++depth_;
  return true;
}

void JsonValueWriter::leave() {
  --depth_;
  Py_LeaveRecursiveCall();
}

bool JsonValueWriter::value(PyObject* obj) {
  if (obj == Py_None) {
    out_.raw("null");
    return true;
  }
  if (obj == Py_True) {
    out_.raw("true");
    return true;
  }
  if (obj == Py_False) {
    out_.raw("false");
    return true;
  }
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyUnicode_Type) return text(obj);
  if (type == &PyLong_Type) return integer(obj);
  if (type == &PyFloat_Type) {
    out_.f64(PyFloat_AsDouble(obj));
    return true;
  }
  if (type == &PyList_Type) return array(obj, true);
  if (type == &PyTuple_Type) return array(obj, false);
  if (type == &PyDict_Type) return object(obj);
  return false;
}

// A key that is not a str is written as its JSON text, quoted.
bool JsonValueWriter::key(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyUnicode_Type) return text(obj);
  if (obj == Py_True) {
    out_.raw("\"true\"");
    return true;
  }
  if (obj == Py_False) {
    out_.raw("\"false\"");
    return true;
  }
  if (obj == Py_None) {
    out_.raw("\"null\"");
    return true;
  }
  if (type == &PyFloat_Type) {
    out_.raw('"');
    out_.f64(PyFloat_AsDouble(obj));
    out_.raw('"');
    return true;
  }
  if (type != &PyLong_Type) return false;
  out_.raw('"');
  if (!integer(obj)) return false;
  out_.raw('"');
  return true;
}

bool JsonValueWriter::integer(PyObject* obj) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow == 0) {
    if (v == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    out_.i64(v);
    return true;
  }
  // Beyond 64 bits: the int's own repr, which is what json.dumps writes (and
  // which raises, for dumps to raise again, past the digit limit).
  Ref digits(PyObject_Repr(obj));
  Py_ssize_t n = 0;
  const char* s = digits ? PyUnicode_AsUTF8AndSize(digits.get(), &n) : nullptr;
  if (s == nullptr) {
    PyErr_Clear();
    return false;
  }
  out_.raw(std::string_view(s, static_cast<size_t>(n)));
  return true;
}

bool JsonValueWriter::text(PyObject* obj) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (s == nullptr) {
    PyErr_Clear();
    return false;
  }
  return out_.string(std::string_view(s, static_cast<size_t>(n)));
}

bool JsonValueWriter::array(PyObject* obj, bool is_list) {
  if (!enter()) return false;
  const Py_ssize_t n = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
  out_.raw('[');
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i > 0) out_.raw(',');
    if (!value(is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i))) return false;
  }
  out_.raw(']');
  leave();
  return true;
}

bool JsonValueWriter::object(PyObject* obj) {
  if (!enter()) return false;
  out_.raw('{');
  Py_ssize_t pos = 0;
  PyObject* k = nullptr;
  PyObject* v = nullptr;
  bool first = true;
  while (PyDict_Next(obj, &pos, &k, &v)) {
    if (!first) out_.raw(',');
    first = false;
    if (!key(k)) return false;
    out_.raw(':');
    if (!value(v)) return false;
  }
  out_.raw('}');
  leave();
  return true;
}

}  // namespace sorvane::py
