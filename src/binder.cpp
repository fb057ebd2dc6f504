#include "binder.hpp"

#include <string>

namespace sorvane::py {

namespace {

std::string quoted(const char* name) { return std::string("'") + name + "'"; }

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's own list form.
std::string name_list(const char* const* names, Py_ssize_t n) {
  if (n == 1) return quoted(names[0]);
  if (n == 2) return quoted(names[0]) + " and " + quoted(names[1]);
  std::string out;
  for (Py_ssize_t i = 0; i < n; ++i) {
    out += quoted(names[i]);
    out += i + 2 < n ? ", " : (i + 2 == n ? ", and " : "");
  }
  return out;
}

void too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required < sig.count) {
    PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given",
                 sig.name, sig.required, sig.count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given", sig.name,
                 sig.count, given, verb);
  }
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** bound) {
  // METH_FASTCALL functions receive the plain positional count.
  const Py_ssize_t npos = nargsf;
  if (npos > sig.count) {
    too_many_positional(sig, npos);
    return false;
  }
  for (Py_ssize_t i = 0; i < sig.count; ++i) bound[i] = i < npos ? args[i] : nullptr;

  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GetItem(kwnames, k);
    Py_ssize_t slot = -1;
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
        slot = i;
        break;
      }
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
      return false;
    }
    if (bound[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                   sig.params[slot]);
      return false;
    }
    bound[slot] = args[npos + k];
  }

  const char* missing[kMaxParams];
  Py_ssize_t nmissing = 0;
  for (Py_ssize_t i = 0; i < sig.required; ++i)
    if (bound[i] == nullptr) missing[nmissing++] = sig.params[i];
  if (nmissing > 0) {
    const std::string names = name_list(missing, nmissing);
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", sig.name,
                 nmissing, nmissing == 1 ? "" : "s", names.c_str());
    return false;
  }
  return true;
}

}  // namespace sorvane::py
