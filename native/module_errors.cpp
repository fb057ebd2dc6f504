// The errors sorvane's input conversion raises, for the copy of that code
// the toolkit's extension links (the joint model's score reads its inputs
// exactly as decide does): the same texts, and sorvane's own PanicException
// and BanditState classes, fetched from the imported module, so that a
// caller catches one class whichever extension raised it. The module does
// not name its PanicException; sorvane_cli.joint_model finds the class by
// provoking one, once, when a conversion first needs it.
#include "handle.hpp"

namespace sorvane::py {

namespace {

// A borrowed-then-owned attribute of the sorvane module, or null with the
// import's error set.
PyObject* sorvane_attribute(const char* name) {
  Ref module(PyImport_ImportModule("sorvane"));
  return module ? PyObject_GetAttrString(module.get(), name) : nullptr;
}

}  // namespace

PyTypeObject* state_type() {
  // The type lives as long as the module, which sys.modules keeps.
  Ref type(sorvane_attribute("BanditState"));
  return reinterpret_cast<PyTypeObject*>(type.get());
}

void raise_panic(const char* message) {
  Ref module(PyImport_ImportModule("sorvane_cli.joint_model"));
  Ref type(module ? PyObject_CallMethod(module.get(), "module_panic_class", nullptr) : nullptr);
  if (type) PyErr_SetString(type.get(), message);
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

}  // namespace sorvane::py
