// PendingError: the exception pending in this thread, taken out of the
// interpreter normalised and with its traceback attached to the exception
// object, so that the object alone carries everything raising it again, or
// adding a note to it, needs.
#pragma once

#include "pyref.hpp"

namespace sorvane::py {

struct PendingError {
  Ref type;
  Ref value;  // the exception object, null when nothing was pending
  Ref traceback;

  // Takes the pending exception; the interpreter has none set afterwards.
  static PendingError take() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    return {Ref(type), Ref(value), Ref(traceback)};
  }

  // Sets it pending again, as it was taken; this holder is left empty.
  void restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

}  // namespace sorvane::py
