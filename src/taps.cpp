#include "taps.hpp"

#include "convert.hpp"
#include "handle.hpp"
#include "records.hpp"

namespace sorvane::py {

namespace {

sorvane::EngineError callback_raised(const char* tap, CallbackErrorSlot& slot) {
  slot.take_pending();
  return sorvane::EngineError{std::string(tap) + " callback raised"};
}

PyObject* call2(PyObject* callable, PyObject* a, PyObject* b) {
  return PyObject_CallFunctionObjArgs(callable, a, b, nullptr);
}

}  // namespace

void CallbackErrorSlot::take_pending() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  Ref exception(value);
  if (exception && is_panic(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())))) {
    panic_ = std::move(exception);
  } else {
    value_ = std::move(exception);
  }
}

PyObject* CallbackErrorSlot::raise() {
  if (panic_) {
    Ref panic = std::move(panic_);
    value_.reset();
    // The outer call raises a new PanicException with the abandoned one's
    // arguments, so its message is the same.
    Ref args(PyObject_GetAttrString(panic.get(), "args"));
    if (!args) PyErr_Clear();
    PySys_WriteStderr("sorvane: internal fault in a callback; the call was abandoned\n");
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(panic.get()));
    Py_INCREF(type);
    // The traceback goes back in with the exception: printing resets the
    // exception's traceback to the one it is handed.
    PyObject* traceback = PyException_GetTraceback(panic.get());
    PyErr_Restore(type, panic.release(), traceback);
    PyErr_PrintEx(0);
    Ref fresh(args ? PyObject_CallObject(panic_type(), args.get()) : PyObject_CallNoArgs(panic_type()));
    if (!fresh) return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(fresh.get())), fresh.get());
    return nullptr;
  }
  PyObject* value = value_.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
  return nullptr;
}

sorvane::Status PyScoreTap::score(const sorvane::CandidateVectors&, std::vector<double>& estimates) {
  Ref result(call2(callable_, context_, candidates_));
  if (!result) return callback_raised("score", slot_);
  if (!to_double_list(result.get(), estimates))
    return sorvane::fail(sorvane::msg::kScore);
  return sorvane::Ok{};
}

sorvane::Status PyExploreTap::explore(std::span<const double> estimates, double epsilon,
                                      std::vector<double>& probabilities) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(estimates.size())));
  if (!list) return callback_raised("explore", slot_);
  for (size_t i = 0; i < estimates.size(); ++i) {
    PyObject* value = PyFloat_FromDouble(estimates[i]);
    if (value == nullptr) return callback_raised("explore", slot_);
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), value);
  }
  Ref eps(PyFloat_FromDouble(epsilon));
  if (!eps) return callback_raised("explore", slot_);
  Ref result(call2(callable_, list.get(), eps.get()));
  if (!result) return callback_raised("explore", slot_);
  if (!to_double_list(result.get(), probabilities))
    return sorvane::fail(sorvane::msg::kExploreCount);
  return sorvane::Ok{};
}

sorvane::Status PyTrainTap::train(const sorvane::DecisionRecord& record, double reward) {
  Ref py_record(new_compact_record(record));
  if (!py_record) return callback_raised("train", slot_);
  Ref py_reward(PyFloat_FromDouble(reward));
  if (!py_reward) return callback_raised("train", slot_);
  Ref result(call2(callable_, py_record.get(), py_reward.get()));
  if (!result) return callback_raised("train", slot_);
  return sorvane::Ok{};
}

}  // namespace sorvane::py
