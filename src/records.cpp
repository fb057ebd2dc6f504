#include "records.hpp"

#include <new>

#include "pytext.hpp"

namespace sorvane::py {

namespace {

constexpr const char* kRecordDoc =
    "One decision, self-contained: what was chosen, with what probability,\n"
    "under which id \xe2\x80\x94 everything outcome reporting and offline evaluation\n"
    "need. Records returned by `decide` additionally carry the inputs the\n"
    "decision was made over (`bits`, `context`, `candidates` \xe2\x80\x94 the\n"
    "caller's own objects), so they log as-is via `log_line`; records that\n"
    "crossed the state boundary (a `train` callback's) carry None there \xe2\x80\x94\n"
    "the ledger keeps only the compact record.";

constexpr const char* kResolutionDoc =
    "One resolution event: how a decision left the ledger. `reward` is what\n"
    "the model trained with.";

// Made once per process, like BanditState (handle.cpp).
PyTypeObject* g_record_type = nullptr;
PyTypeObject* g_resolution_type = nullptr;

RecordObject* as_record(PyObject* self) { return reinterpret_cast<RecordObject*>(self); }
const sorvane::DecisionRecord& rec(PyObject* self) { return as_record(self)->record; }

PyObject* get_decision_id(PyObject* self, void*) { return text(rec(self).decision_id); }
PyObject* get_t(PyObject* self, void*) { return PyFloat_FromDouble(rec(self).t); }
PyObject* get_candidate_hash(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(rec(self).candidate_hash);
}
PyObject* get_chosen(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(rec(self).chosen); }
PyObject* get_features(PyObject* self, void*) { return features_list(rec(self).features); }
PyObject* get_propensity(PyObject* self, void*) { return PyFloat_FromDouble(rec(self).propensity); }
PyObject* get_model_version(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(rec(self).model_version);
}
PyObject* get_salt(PyObject* self, void*) { return text(rec(self).salt); }
PyObject* get_bits(PyObject* self, void*) {
  if (!as_record(self)->has_inputs) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(as_record(self)->bits);
}
PyObject* input_or_none(PyObject* obj) {
  PyObject* out = obj == nullptr ? Py_None : obj;
  Py_INCREF(out);
  return out;
}
PyObject* get_context(PyObject* self, void*) { return input_or_none(as_record(self)->context); }
PyObject* get_candidates(PyObject* self, void*) {
  return input_or_none(as_record(self)->candidates);
}

PyGetSetDef record_getset[] = {
    {"decision_id", get_decision_id, nullptr, nullptr, nullptr},
    {"t", get_t, nullptr, nullptr, nullptr},
    {"candidate_hash", get_candidate_hash, nullptr, nullptr, nullptr},
    {"chosen", get_chosen, nullptr, nullptr, nullptr},
    {"features", get_features, nullptr, nullptr, nullptr},
    {"propensity", get_propensity, nullptr, nullptr, nullptr},
    {"model_version", get_model_version, nullptr, nullptr, nullptr},
    {"salt", get_salt, nullptr, nullptr, nullptr},
    {"bits", get_bits, nullptr, nullptr, nullptr},
    {"context", get_context, nullptr, nullptr, nullptr},
    {"candidates", get_candidates, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A record holds the caller's objects, which may come to hold the record:
// the class takes part in garbage collection so such a cycle is freed.
int record_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_record(self)->context);
  Py_VISIT(as_record(self)->candidates);
  return 0;
}

int record_clear(PyObject* self) {
  Py_CLEAR(as_record(self)->context);
  Py_CLEAR(as_record(self)->candidates);
  return 0;
}

void record_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  record_clear(self);
  as_record(self)->record.~DecisionRecord();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyType_Slot record_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(record_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(record_clear)},
    {Py_tp_getset, record_getset},
    {Py_tp_doc, const_cast<char*>(kRecordDoc)},
    {0, nullptr},
};

PyType_Spec record_spec = {
    "sorvane.DecisionRecord",
    static_cast<int>(sizeof(RecordObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_HAVE_GC,
    record_slots,
};

ResolutionObject* as_resolution(PyObject* self) { return reinterpret_cast<ResolutionObject*>(self); }

PyObject* get_resolution_id(PyObject* self, void*) {
  return text(as_resolution(self)->resolution.decision_id);
}
PyObject* get_kind(PyObject* self, void*) { return kind_text(as_resolution(self)->resolution.kind); }
PyObject* get_reward(PyObject* self, void*) {
  if (!as_resolution(self)->has_reward) Py_RETURN_NONE;
  return PyFloat_FromDouble(as_resolution(self)->resolution.reward);
}

PyGetSetDef resolution_getset[] = {
    {"decision_id", get_resolution_id, nullptr, nullptr, nullptr},
    {"kind", get_kind, nullptr, nullptr, nullptr},
    {"reward", get_reward, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

void resolution_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_resolution(self)->resolution.~Resolution();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyType_Slot resolution_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(resolution_dealloc)},
    {Py_tp_getset, resolution_getset},
    {Py_tp_doc, const_cast<char*>(kResolutionDoc)},
    {0, nullptr},
};

PyType_Spec resolution_spec = {
    "sorvane.Resolution",
    static_cast<int>(sizeof(ResolutionObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    resolution_slots,
};

RecordObject* alloc_record() {
  PyTypeObject* type = record_type();
  if (type == nullptr) return nullptr;
  PyObject* self = PyType_GenericAlloc(type, 0);
  return reinterpret_cast<RecordObject*>(self);
}

}  // namespace

PyTypeObject* record_type() {
  if (g_record_type == nullptr)
    g_record_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&record_spec));
  return g_record_type;
}

PyTypeObject* resolution_type() {
  if (g_resolution_type == nullptr)
    g_resolution_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&resolution_spec));
  return g_resolution_type;
}

PyObject* new_decision_record(sorvane::DecisionRecord&& record, uint32_t bits, PyObject* context,
                              PyObject* candidates) {
  RecordObject* r = alloc_record();
  if (r == nullptr) return nullptr;
  new (&r->record) sorvane::DecisionRecord(std::move(record));
  r->has_inputs = true;
  r->bits = bits;
  Py_INCREF(context);
  Py_INCREF(candidates);
  r->context = context;
  r->candidates = candidates;
  return reinterpret_cast<PyObject*>(r);
}

PyObject* new_compact_record(const sorvane::DecisionRecord& record) {
  RecordObject* r = alloc_record();
  if (r == nullptr) return nullptr;
  try {
    new (&r->record) sorvane::DecisionRecord(record);
  } catch (const std::bad_alloc&) {
    new (&r->record) sorvane::DecisionRecord();
    Py_DECREF(reinterpret_cast<PyObject*>(r));
    return PyErr_NoMemory();
  }
  r->has_inputs = false;
  r->bits = 0;
  r->context = nullptr;
  r->candidates = nullptr;
  return reinterpret_cast<PyObject*>(r);
}

PyObject* new_resolution(sorvane::Resolution&& resolution) {
  PyTypeObject* type = resolution_type();
  if (type == nullptr) return nullptr;
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* r = as_resolution(self);
  new (&r->resolution) sorvane::Resolution(std::move(resolution));
  r->has_reward = true;
  return self;
}

PyObject* features_list(const sorvane::SparseVector& features) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(features.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const sorvane::FeaturePair& p : features) {
    Ref index(PyLong_FromUnsignedLongLong(p.index));
    Ref value(PyFloat_FromDouble(p.value));
    if (!index || !value) return nullptr;
    PyObject* pair = PyTuple_Pack(2, index.get(), value.get());
    if (pair == nullptr) return nullptr;
    PyList_SetItem(list.get(), i++, pair);  // steals pair
  }
  return list.release();
}

PyObject* kind_text(sorvane::ResolutionKind kind) {
  return PyUnicode_FromString(kind == sorvane::ResolutionKind::expired ? "expired" : "rewarded");
}

}  // namespace sorvane::py
