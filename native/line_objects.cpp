// read_line(line) -> one of
//   ("declined", why)
//   ("decision", bits, context, candidates, record)
//     context: [(name, value)], value None, a float or a str, in the order
//     the engine gets them; candidates: [(id, [(name, value)])];
//     record: (decision_id, t, candidate_hash, chosen, [(index, value)],
//     propensity, model_version, salt)
//   ("resolution", decision_id, kind, reward)
#include "line_objects.hpp"

#include <new>
#include <string_view>

#include "log_reader.hpp"
#include "pyref.hpp"
#include "pytext.hpp"

namespace sorvane::toolkit {

namespace {

using py::Ref;
using py::text;

PyObject* value(const FeatureValue& v) {
  switch (v.kind) {
    case FeatureKind::absent:
      Py_INCREF(Py_None);
      return Py_None;
    case FeatureKind::number:
      return PyFloat_FromDouble(v.number);
    case FeatureKind::text:
      return text(v.text);
  }
  return nullptr;
}

PyObject* features(std::span<const NamedFeature> list) {
  Ref out(PyList_New(static_cast<Py_ssize_t>(list.size())));
  if (!out) return nullptr;
  for (size_t i = 0; i < list.size(); ++i) {
    Ref name(text(list[i].name));
    Ref v(name ? value(list[i].value) : nullptr);
    if (!v) return nullptr;
    PyObject* pair = PyTuple_Pack(2, name.get(), v.get());
    if (pair == nullptr) return nullptr;
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return out.release();
}

PyObject* decision(const DecisionLine& d) {
  Ref candidates(PyList_New(static_cast<Py_ssize_t>(d.candidates.size())));
  if (!candidates) return nullptr;
  for (size_t i = 0; i < d.candidates.size(); ++i) {
    Ref id(text(d.candidates[i].id));
    Ref list(id ? features(d.candidates[i].features) : nullptr);
    if (!list) return nullptr;
    PyObject* pair = PyTuple_Pack(2, id.get(), list.get());
    if (pair == nullptr) return nullptr;
    PyList_SetItem(candidates.get(), static_cast<Py_ssize_t>(i), pair);
  }
  const LoggedRecord& r = d.record;
  Ref pairs(PyList_New(static_cast<Py_ssize_t>(r.features.size())));
  if (!pairs) return nullptr;
  for (size_t i = 0; i < r.features.size(); ++i) {
    PyObject* pair = Py_BuildValue("(Kd)", static_cast<unsigned long long>(r.features[i].index), r.features[i].value);
    if (pair == nullptr) return nullptr;
    PyList_SetItem(pairs.get(), static_cast<Py_ssize_t>(i), pair);
  }
  Ref context(features(d.context()));
  if (!context) return nullptr;
  return Py_BuildValue("(sIOO(s#dKKOdKs#))", "decision", static_cast<unsigned>(d.bits), context.get(),
                       candidates.get(), r.decision_id.data(), static_cast<Py_ssize_t>(r.decision_id.size()),
                       r.t, static_cast<unsigned long long>(r.candidate_hash),
                       static_cast<unsigned long long>(r.chosen), pairs.get(), r.propensity,
                       static_cast<unsigned long long>(r.model_version), r.salt.data(),
                       static_cast<Py_ssize_t>(r.salt.size()));
}

PyObject* read_line(PyObject*, PyObject* line) {
  if (!PyBytes_Check(line)) {
    PyErr_SetString(PyExc_TypeError, "read_line takes bytes");
    return nullptr;
  }
  char* bytes;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(line, &bytes, &size) < 0) return nullptr;
  try {
    LogReader reader;
    switch (reader.read(std::string_view(bytes, static_cast<size_t>(size)))) {
      case LineKind::decision:
        return decision(reader.decision());
      case LineKind::resolution: {
        const ResolutionLine& r = reader.resolution();
        return Py_BuildValue("(ss#sd)", "resolution", r.decision_id.data(),
                             static_cast<Py_ssize_t>(r.decision_id.size()),
                             r.kind == ResolutionKind::rewarded ? "rewarded" : "expired", r.reward);
      }
      case LineKind::declined:
        return Py_BuildValue("(ss)", "declined", reader.why());
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  return nullptr;
}

PyMethodDef line_methods[] = {
    {"read_line", read_line, METH_O,
     "read_line(line)\n--\n\nOne log line (bytes) as the native reader reads it: (\"declined\", why), "
     "(\"decision\", bits, context, candidates, record) or (\"resolution\", decision_id, kind, reward)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_line_reader(PyObject* module) { return PyModule_AddFunctions(module, line_methods); }

}  // namespace sorvane::toolkit
