#include "log_line.hpp"

#include "json_text.hpp"
#include "json_value.hpp"
#include "pytext.hpp"
#include "records.hpp"

namespace sorvane::py {

namespace {

constexpr const char* kNotAnItem = "log_line takes a DecisionRecord or Resolution";
constexpr const char* kNeedsInputs =
    "log_line needs the record decide returned (it carries the inputs)";

PyObject* raise_value_error(const char* message) {
  PyErr_SetString(PyExc_ValueError, message);
  return nullptr;
}

bool put(PyObject* dict, const char* key, PyObject* value) {
  Ref owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
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
    if (!r->has_inputs || r->context == nullptr || r->candidates == nullptr)
      return raise_value_error(kNeedsInputs);
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
  return raise_value_error(kNotAnItem);
}

// json.dumps's own frames and the line object around the caller's values
// take this many levels of the interpreter's recursion allowance, beyond
// one per container inside the caller's values; taken generously, since
// too many only means the line goes to json.dumps.
constexpr int kDumpsLevels = 10;

bool write_decision(JsonText& out, const RecordObject& r) {
  JsonValueWriter values(out);
  if (!values.reserve_levels(kDumpsLevels)) return false;
  const sorvane::DecisionRecord& rec = r.record;
  out.raw(R"({"event":"decision","bits":)");
  out.u64(r.bits);
  out.raw(R"(,"context":)");
  if (!values.value(r.context)) return false;
  out.raw(R"(,"candidates":)");
  if (!values.value(r.candidates)) return false;
  out.raw(R"(,"record":{"decision_id":)");
  if (!out.string(rec.decision_id)) return false;
  out.raw(R"(,"t":)");
  out.f64(rec.t);
  out.raw(R"(,"candidate_hash":)");
  out.u64(rec.candidate_hash);
  out.raw(R"(,"chosen":)");
  out.u64(rec.chosen);
  out.raw(R"(,"features":[)");
  for (size_t i = 0; i < rec.features.size(); ++i) {
    out.raw(i == 0 ? std::string_view("[") : std::string_view(",["));
    out.u64(rec.features[i].index);
    out.raw(',');
    out.f64(rec.features[i].value);
    out.raw(']');
  }
  out.raw(R"(],"propensity":)");
  out.f64(rec.propensity);
  out.raw(R"(,"model_version":)");
  out.u64(rec.model_version);
  out.raw(R"(,"salt":)");
  if (!out.string(rec.salt)) return false;
  out.raw("}}");
  return true;
}

bool write_resolution(JsonText& out, const ResolutionObject& r) {
  // No caller values here, but json.dumps would still take its levels.
  JsonValueWriter levels(out);
  if (!levels.reserve_levels(kDumpsLevels)) return false;
  out.raw(R"({"event":"resolution","decision_id":)");
  if (!out.string(r.resolution.decision_id)) return false;
  out.raw(r.resolution.kind == sorvane::ResolutionKind::rewarded ? R"(,"kind":"rewarded","reward":)"
                                                                 : R"(,"kind":"expired","reward":)");
  if (r.has_reward) {
    out.f64(r.resolution.reward);
  } else {
    out.raw("null");
  }
  out.raw('}');
  return true;
}

// The line as json.dumps renders it: the whole line goes through dumps
// whenever the module's own writer declined any part of it.
PyObject* dumps_line(PyObject* json, PyObject* item) {
  Ref kwargs(Py_BuildValue("{s:(ss)}", "separators", ",", ":"));
  if (!kwargs) return nullptr;
  Ref line(line_object(item));
  if (!line) return nullptr;
  Ref dumps(PyObject_GetAttrString(json, "dumps"));
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

// Every call starts by importing json. While sys.modules holds the module,
// that import would only hand it back, and the module's own writer needs
// nothing from it, so a look-up stands in for it; the full import runs
// when the module is absent (and raises if json cannot be imported), and
// again before json.dumps is used.
bool json_importable() {
  PyObject* json = PyDict_GetItemString(PyImport_GetModuleDict(), "json");
  if (json != nullptr && json != Py_None) return true;
  return static_cast<bool>(Ref(PyImport_ImportModule("json")));
}

}  // namespace

PyObject* log_line(PyObject* item) {
  if (!json_importable()) return nullptr;
  PyTypeObject* records = record_type();
  PyTypeObject* resolutions = resolution_type();
  if (records == nullptr || resolutions == nullptr) return nullptr;
  JsonText out;
  if (PyObject_TypeCheck(item, records)) {
    auto* r = reinterpret_cast<RecordObject*>(item);
    if (!r->has_inputs || r->context == nullptr || r->candidates == nullptr)
      return raise_value_error(kNeedsInputs);
    if (write_decision(out, *r)) return out.to_str();
  } else if (PyObject_TypeCheck(item, resolutions)) {
    if (write_resolution(out, *reinterpret_cast<ResolutionObject*>(item))) return out.to_str();
  } else {
    return raise_value_error(kNotAnItem);
  }
  Ref json(PyImport_ImportModule("json"));
  if (!json) return nullptr;
  return dumps_line(json.get(), item);
}

}  // namespace sorvane::py
