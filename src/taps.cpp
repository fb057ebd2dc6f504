#include "taps.hpp"

#include "convert.hpp"
#include "pending_error.hpp"
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

constexpr const char* kAbandonNotice = "sorvane: internal fault in a callback; the call was abandoned\n";

// The exception's traceback as the interpreter would print it, or null (no
// error left set) when it cannot be formatted.
Ref format_traceback(PyObject* exception) {
  Ref module(PyImport_ImportModule("traceback"));
  Ref format(module ? PyObject_GetAttrString(module.get(), "format_exception") : nullptr);
  Ref traceback(format ? PyException_GetTraceback(exception) : nullptr);
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  Ref lines(format ? PyObject_CallFunctionObjArgs(format.get(), type, exception,
                                                  traceback ? traceback.get() : Py_None, nullptr)
                   : nullptr);
  Ref empty(lines ? PyUnicode_FromString("") : nullptr);
  Ref text(empty ? PyUnicode_Join(empty.get(), lines.get()) : nullptr);
  if (!text) PyErr_Clear();
  return text;
}

// Writes the notice and the abandoned exception's traceback to standard
// error. This step never raises and never ends the process: sys.excepthook
// is not called (a hook may raise SystemExit, and the exception itself may
// be a SystemExit), every error is cleared, and PySys_FormatStderr falls
// back to the process's stderr when sys.stderr is missing or its write fails.
void write_abandon_notice(PyObject* exception) {
  Ref text(format_traceback(exception));
  if (text)
    PySys_FormatStderr("%s%U", kAbandonNotice, text.get());
  else
    PySys_FormatStderr("%s", kAbandonNotice);
}

}  // namespace

void CallbackErrorSlot::take_pending() {
  Ref exception = std::move(PendingError::take().value);
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
    // arguments, so its message is the same. A subclass may make `args`
    // anything: what is not a tuple is dropped.
    Ref args(PyObject_GetAttrString(panic.get(), "args"));
    if (!args) PyErr_Clear();
    if (args && !PyTuple_Check(args.get())) args.reset();
    write_abandon_notice(panic.get());
    panic.reset();
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
