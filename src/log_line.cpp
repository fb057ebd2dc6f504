#include "log_line.hpp"

#include "records.hpp"

namespace sorvane::py {

const char* const kLogLineDoc =
    "One canonical experience-log line for a decision record\n"
    "or resolution \xe2\x80\x94 append it to your log verbatim; it is exactly what\n"
    "the `sorvane` CLI's verify/eval/replay consume. Decision records must\n"
    "be the ones `decide` returned (they carry the inputs; a `train`\n"
    "callback's record does not \xe2\x80\x94 its inputs are already in your log).";

namespace {

bool put(PyObject* dict, const char* key, PyObject* value) {
  Ref owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* text(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* record_object(const sorvane::DecisionRecord& r) {
  Ref out(PyDict_New());
  if (!out) return nullptr;
  if (!put(out.get(), "decision_id", text(r.decision_id)) ||
      !put(out.get(), "t", PyFloat_FromDouble(r.t)) ||
      !put(out.get(), "candidate_hash", PyLong_FromUnsignedLongLong(r.candidate_hash)) ||
      !put(out.get(), "chosen", PyLong_FromUnsignedLongLong(r.chosen)) ||
      !put(out.get(), "features", features_list(r.features)) ||
      !put(out.get(), "propensity", PyFloat_FromDouble(r.propensity)) ||
      !put(out.get(), "model_version", PyLong_FromUnsignedLongLong(r.model_version)) ||
      !put(out.get(), "salt", text(r.salt)))
    return nullptr;
  return out.release();
}

// The line object json.dumps renders, built fresh for each call.
PyObject* line_object(PyObject* item) {
  Ref line(PyDict_New());
  if (!line) return nullptr;
  if (PyObject_TypeCheck(item, record_type())) {
    auto* r = reinterpret_cast<RecordObject*>(item);
    if (!r->has_inputs || r->context == nullptr || r->candidates == nullptr) {
      PyErr_SetString(PyExc_ValueError,
                      "log_line needs the record decide returned (it carries the inputs)");
      return nullptr;
    }
    if (!put(line.get(), "event", PyUnicode_FromString("decision")) ||
        !put(line.get(), "bits", PyLong_FromUnsignedLong(r->bits)) ||
        PyDict_SetItemString(line.get(), "context", r->context) != 0 ||
        PyDict_SetItemString(line.get(), "candidates", r->candidates) != 0 ||
        !put(line.get(), "record", record_object(r->record)))
      return nullptr;
    return line.release();
  }
  if (PyObject_TypeCheck(item, resolution_type())) {
    auto* r = reinterpret_cast<ResolutionObject*>(item);
    PyObject* reward = r->has_reward ? PyFloat_FromDouble(r->resolution.reward) : Py_NewRef(Py_None);
    if (!put(line.get(), "event", PyUnicode_FromString("resolution")) ||
        !put(line.get(), "decision_id", text(r->resolution.decision_id)) ||
        !put(line.get(), "kind", kind_text(r->resolution.kind)) || !put(line.get(), "reward", reward))
      return nullptr;
    return line.release();
  }
  PyErr_SetString(PyExc_ValueError, "log_line takes a DecisionRecord or Resolution");
  return nullptr;
}

}  // namespace

PyObject* log_line(PyObject* item) {
  Ref json(PyImport_ImportModule("json"));
  if (!json) return nullptr;
  Ref kwargs(Py_BuildValue("{s:(ss)}", "separators", ",", ":"));
  if (!kwargs) return nullptr;
  if (record_type() == nullptr || resolution_type() == nullptr) return nullptr;
  Ref line(line_object(item));
  if (!line) return nullptr;
  Ref dumps(PyObject_GetAttrString(json.get(), "dumps"));
  if (!dumps) return nullptr;
  Ref args(PyTuple_Pack(1, line.get()));
  if (!args) return nullptr;
  Ref result(PyObject_Call(dumps.get(), args.get(), kwargs.get()));
  if (!result) return nullptr;
  if (!PyUnicode_Check(result.get())) {
    PyErr_SetString(PyExc_TypeError, "json.dumps did not return a str");
    return nullptr;
  }
  return result.release();
}

}  // namespace sorvane::py
