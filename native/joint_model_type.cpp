// The Python class sorvane_cli._native.JointModel: the joint model
// (joint_model.hpp) as the three callables a host passes to sorvane's
// decide, learn and expire.
//
//   model = JointModel(bits, learning_rate=..., explore=..., gamma_scale=...)
//   model.score(context, candidates) -> one estimate per candidate: the
//     inputs read by sorvane's own conversion (its errors, with its texts)
//     and hashed by the engine's own hasher at the model's bits
//   model.explore(estimates, epsilon) -> the probabilities of its rule
//   model.train(record, reward) trains on record.features (a sorvane
//     record's read where it holds them)
//   model.check_state(state) refuses a state of other bits
//   model.serialize() -> text; JointModel.deserialize(text) -> a model
//
// Every method holds the interpreter lock throughout; a call that re-enters
// the same model (a number's __float__ calling score) is refused.
#include "joint_model_type.hpp"

#include <bit>
#include <cmath>
#include <memory>
#include <new>
#include <string>

#include "convert.hpp"
#include "hashed_decide.hpp"
#include "joint_model.hpp"
#include "pyref.hpp"
#include "records.hpp"

namespace sorvane::toolkit {

namespace {

using py::Ref;

constexpr const char* kInUse = "the joint model is in use by another call";
constexpr const char* kUninitialised = "the joint model was not initialised";

// The model and the buffers its calls reuse, so that a call in steady
// state allocates nothing but the Python objects it returns.
//
// The inputs of the last two calls are kept side by side: a call whose
// inputs read the same as the last one's (every name, kind, number to the
// bit, text and id) reuses its vectors, since hashing depends on nothing
// else. The caller's objects are read afresh every time, so a caller that
// changes them between calls gets vectors of what they hold now.
struct JointCore {
  explicit JointCore(const JointSettings& settings) : model(settings) {}
  explicit JointCore(JointModel&& m) : model(std::move(m)) {}
  JointModel model;
  // Two readers, never moved: the engine's views point into their text.
  py::DecideInputs inputs[2];
  size_t last = 0;            // the reader of the last call
  bool hashed_last = false;   // `hashed` holds the vectors of inputs[last]
  FeatureHasher hasher;
  HashedCandidates hashed;
  std::vector<double> numbers;
  std::vector<double> out;
  SparseVector features;
};

struct JointObject {
  PyObject_HEAD
  JointCore* core;
  bool busy;
};

JointObject* as_joint(PyObject* self) { return reinterpret_cast<JointObject*>(self); }

PyObject* raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

// Runs work on the model: C++ exceptions become Python ones, and a call
// that re-enters the model is refused.
template <class Work>
PyObject* with_core(PyObject* self, Work&& work) {
  JointObject* j = as_joint(self);
  if (j->core == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, kUninitialised);
    return nullptr;
  }
  if (j->busy) {
    PyErr_SetString(PyExc_RuntimeError, kInUse);
    return nullptr;
  }
  j->busy = true;
  PyObject* result = nullptr;
  try {
    result = work(*j->core);
  } catch (const std::bad_alloc&) {
    result = PyErr_NoMemory();
  }
  j->busy = false;
  return result;
}

PyObject* float_list(const std::vector<double>& values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* v = PyFloat_FromDouble(values[i]);
    if (v == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), v);
  }
  return list.release();
}

bool exact_args(const char* name, Py_ssize_t nargs, Py_ssize_t want) {
  if (nargs == want) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, want, nargs);
  return false;
}

// The __name__ of obj's type, for messages; null with the error set.
Ref type_name(PyObject* obj) {
  return Ref(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__"));
}

// A real number argument: an int or a float (not a bool, not a str).
bool real_argument(PyObject* obj, const char* name, double& out) {
  if (PyBool_Check(obj) || !(PyLong_Check(obj) || PyFloat_Check(obj))) {
    Ref type(type_name(obj));
    if (type) PyErr_Format(PyExc_TypeError, "%s must be a number (int or float), not %S", name, type.get());
    return false;
  }
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

PyObject* wrap_core(PyTypeObject* type, std::unique_ptr<JointCore> core) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  as_joint(self)->core = core.release();
  as_joint(self)->busy = false;
  return self;
}

PyObject* joint_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"bits", "learning_rate", "explore", "gamma_scale", "initial_accumulator",
                                nullptr};
  JointSettings settings;
  PyObject* bits = nullptr;
  PyObject* rate = nullptr;
  PyObject* gamma = nullptr;
  PyObject* start = nullptr;
  const char* rule = "squarecb";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OsOO:JointModel", const_cast<char**>(names), &bits,
                                   &rate, &rule, &gamma, &start)) {
    return nullptr;
  }
  if (PyBool_Check(bits) || !PyLong_Check(bits)) {
    Ref type(type_name(bits));
    if (type) PyErr_Format(PyExc_TypeError, "bits must be an int, not %S", type.get());
    return nullptr;
  }
  const long b = PyLong_AsLong(bits);
  if (b == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return raise_value_error(msg::kBits);
  }
  if (b < 1 || b > 24) return raise_value_error(msg::kBits);
  settings.bits = static_cast<uint32_t>(b);
  if (rate != nullptr && !real_argument(rate, "learning_rate", settings.learning_rate)) return nullptr;
  if (gamma != nullptr && !real_argument(gamma, "gamma_scale", settings.gamma_scale)) return nullptr;
  if (start != nullptr && !real_argument(start, "initial_accumulator", settings.initial_accumulator))
    return nullptr;
  if (!explore_rule_from_name(rule, settings.explore))
    return raise_value_error("explore must be 'epsilon-greedy' or 'squarecb'");
  if (std::string error = settings_error(settings); !error.empty()) return raise_value_error(error);
  try {
    return wrap_core(type, std::make_unique<JointCore>(settings));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

void joint_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_joint(self)->core;
  as_joint(self)->core = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// Whether two features hash alike: the same name, kind and the value the
// kind gives weight to (a number compared bit for bit: -0.0 is not 0.0).
bool same_feature(const NamedFeature& a, const NamedFeature& b) {
  if (a.name != b.name || a.value.kind != b.value.kind) return false;
  switch (a.value.kind) {
    case FeatureKind::number:
      return std::bit_cast<uint64_t>(a.value.number) == std::bit_cast<uint64_t>(b.value.number);
    case FeatureKind::text:
      return a.value.text == b.value.text;
    case FeatureKind::absent:
      return true;
  }
  return false;
}

bool same_features(std::span<const NamedFeature> a, std::span<const NamedFeature> b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k)
    if (!same_feature(a[k], b[k])) return false;
  return true;
}

// Whether two reads hold the same inputs in the same order: then their
// vectors are the same, pair for pair.
bool same_inputs(const py::DecideInputs& a, const py::DecideInputs& b) {
  if (!same_features(a.context(), b.context())) return false;
  const auto x = a.candidates();
  const auto y = b.candidates();
  if (x.size() != y.size()) return false;
  for (size_t c = 0; c < x.size(); ++c)
    if (x[c].id != y[c].id || !same_features(x[c].features, y[c].features)) return false;
  return true;
}

// Hashes the inputs as decide does, at the model's bits, into core.hashed;
// null with the module's error set when decide would refuse them.
bool hash_inputs(JointCore& core, PyObject* context, PyObject* candidates) {
  const size_t now = 1 - core.last;
  py::DecideInputs& inputs = core.inputs[now];
  // A failed read leaves the last call's reader and vectors as they were.
  if (!inputs.read(context, candidates)) return false;
  if (inputs.candidates().empty()) {
    raise_value_error(msg::kNoCandidate);
    return false;
  }
  if (core.hashed_last && same_inputs(inputs, core.inputs[core.last])) {
    core.last = now;
    return true;
  }
  core.hashed_last = false;
  Status hashed = hash_candidates(core.hasher, core.model.settings().bits, inputs.context(),
                                  inputs.candidates(), core.hashed);
  if (!hashed.ok()) {
    raise_value_error(hashed.error().message);
    return false;
  }
  core.last = now;
  core.hashed_last = true;
  return true;
}

bool context_argument(PyObject* context) {
  if (py::to_dict(context)) return true;
  py::note_parameter("context");
  return false;
}

PyObject* joint_vectors(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!exact_args("vectors", nargs, 2) || !context_argument(args[0])) return nullptr;
  return with_core(self, [&](JointCore& core) -> PyObject* {
    if (!hash_inputs(core, args[0], args[1])) return nullptr;
    const CandidateVectors& vectors = core.hashed.vectors;
    Ref out(PyList_New(static_cast<Py_ssize_t>(vectors.size())));
    if (!out) return nullptr;
    for (size_t c = 0; c < vectors.size(); ++c) {
      const SparseView v = vectors[c];
      Ref pairs(PyList_New(static_cast<Py_ssize_t>(v.size())));
      if (!pairs) return nullptr;
      for (size_t k = 0; k < v.size(); ++k) {
        PyObject* pair = Py_BuildValue("(Kd)", static_cast<unsigned long long>(v[k].index), v[k].value);
        if (pair == nullptr) return nullptr;
        PyList_SetItem(pairs.get(), static_cast<Py_ssize_t>(k), pair);
      }
      PyList_SetItem(out.get(), static_cast<Py_ssize_t>(c), pairs.release());
    }
    return out.release();
  });
}

PyObject* joint_score(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!exact_args("score", nargs, 2) || !context_argument(args[0])) return nullptr;
  return with_core(self, [&](JointCore& core) -> PyObject* {
    if (!hash_inputs(core, args[0], args[1])) return nullptr;
    core.model.estimate_all(core.hashed.vectors, core.out);
    return float_list(core.out);
  });
}

// sorvane's own record class, when its objects have the layout this
// toolkit was built with (records.hpp; the two extensions are built from one
// tree, and the size guards against a module from another); else null.
PyObject* module_record_class() {
  static PyObject* cls = nullptr;  // kept for the life of the process
  static bool looked = false;
  if (looked) return cls;
  looked = true;
  Ref module(PyImport_ImportModule("sorvane"));
  Ref found(module ? PyObject_GetAttrString(module.get(), "DecisionRecord") : nullptr);
  Ref size(found ? PyObject_GetAttrString(found.get(), "__basicsize__") : nullptr);
  const long basic = size ? PyLong_AsLong(size.get()) : -1;
  if (PyErr_Occurred()) PyErr_Clear();
  if (basic == static_cast<long>(sizeof(py::RecordObject)) && PyType_Check(found.get()))
    cls = found.release();
  return cls;
}

// record.features as a SparseVector: a sequence of (int index, number) pairs.
bool read_feature_pairs(PyObject* record, SparseVector& out) {
  out.clear();
  static PyObject* name = nullptr;  // interned once, kept for the life of the process
  if (name == nullptr) name = PyUnicode_InternFromString("features");
  if (name == nullptr) return false;
  Ref features(PyObject_GetAttr(record, name));
  if (!features) return false;
  constexpr const char* kPairs = "record.features must be a list of (index, value) pairs";
  const bool is_list = PyList_Check(features.get());
  if (!is_list && !PyTuple_Check(features.get())) {
    PyErr_SetString(PyExc_ValueError, kPairs);
    return false;
  }
  const Py_ssize_t n = is_list ? PyList_Size(features.get()) : PyTuple_Size(features.get());
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    PyObject* borrowed = is_list ? PyList_GetItem(features.get(), k) : PyTuple_GetItem(features.get(), k);
    if (borrowed == nullptr) return false;
    // Held: converting a number of a subclass may run code that changes the list.
    Py_INCREF(borrowed);
    Ref held(borrowed);
    PyObject* pair = held.get();
    if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
      PyErr_SetString(PyExc_ValueError, kPairs);
      return false;
    }
    PyObject* index = PyTuple_GetItem(pair, 0);
    PyObject* value = PyTuple_GetItem(pair, 1);
    if (!PyLong_Check(index)) {
      PyErr_SetString(PyExc_ValueError, kPairs);
      return false;
    }
    const unsigned long long i = PyLong_AsUnsignedLongLong(index);
    if (i == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, joint_msg::kFeaturesDontFit);
      return false;
    }
    double v;
    // A record's values are floats: read them without the checks a number argument needs.
    if (Py_IS_TYPE(value, &PyFloat_Type)) {
      v = PyFloat_AsDouble(value);
    } else if (!real_argument(value, "a feature value", v)) {
      return false;
    }
    out.push_back({i, v});
  }
  return true;
}

// The features a train call gets: those a sorvane record holds, read in
// place, without the list its `features` attribute would build; those of
// any other object through that attribute, into `scratch`.
bool read_features(PyObject* record, SparseVector& scratch, SparseView& out) {
  PyObject* cls = module_record_class();
  if (cls != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(record)) == cls) {
    out = reinterpret_cast<const py::RecordObject*>(record)->record.features;
    return true;
  }
  if (!read_feature_pairs(record, scratch)) return false;
  out = scratch;
  return true;
}

PyObject* joint_train(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!exact_args("train", nargs, 2)) return nullptr;
  double reward;
  if (!real_argument(args[1], "reward", reward)) return nullptr;
  return with_core(self, [&](JointCore& core) -> PyObject* {
    SparseView features;
    if (!read_features(args[0], core.features, features)) return nullptr;
    Status trained = core.model.train(features, reward);
    if (!trained.ok()) return raise_value_error(trained.error().message);
    Py_RETURN_NONE;
  });
}

PyObject* joint_explore(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (!exact_args("explore", nargs, 2)) return nullptr;
  double epsilon;
  if (!real_argument(args[1], "epsilon", epsilon)) return nullptr;
  return with_core(self, [&](JointCore& core) -> PyObject* {
    if (!py::to_double_list(args[0], core.numbers)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, joint_msg::kEstimates);
      return nullptr;
    }
    Status explored = core.model.explore(core.numbers, epsilon, core.out);
    if (!explored.ok()) return raise_value_error(explored.error().message);
    return float_list(core.out);
  });
}

PyObject* joint_check_state(PyObject* self, PyObject* state) {
  return with_core(self, [&](JointCore& core) -> PyObject* {
    Ref module(PyImport_ImportModule("sorvane"));
    Ref bits(module ? PyObject_CallMethod(module.get(), "model_bits", "O", state) : nullptr);
    if (!bits) return nullptr;
    const long b = PyLong_AsLong(bits.get());
    if (b == -1 && PyErr_Occurred()) return nullptr;
    if (b != static_cast<long>(core.model.settings().bits)) {
      PyErr_Format(PyExc_ValueError, "the state has %ld bits and the joint model %lu: they must be the same", b,
                   static_cast<unsigned long>(core.model.settings().bits));
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* joint_serialize(PyObject* self, PyObject*) {
  return with_core(self, [](JointCore& core) -> PyObject* {
    const std::string text = core.model.serialize();
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* joint_deserialize(PyObject* cls, PyObject* text) {
  if (!PyUnicode_Check(text)) {
    Ref type(type_name(text));
    if (type) PyErr_Format(PyExc_TypeError, "a joint model text must be a str, not %S", type.get());
    return nullptr;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return raise_value_error("joint model text must be a hexadecimal string");
  }
  try {
    Result<JointModel> model = JointModel::deserialize(std::string_view(data, static_cast<size_t>(size)));
    if (!model.ok()) return raise_value_error(model.error().message);
    return wrap_core(reinterpret_cast<PyTypeObject*>(cls),
                     std::make_unique<JointCore>(std::move(model.value())));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

template <class Read>
PyObject* read_core(PyObject* self, Read&& read) {
  JointCore* core = as_joint(self)->core;
  if (core == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, kUninitialised);
    return nullptr;
  }
  return read(*core);
}

PyObject* get_bits(PyObject* self, void*) {
  return read_core(self, [](JointCore& c) { return PyLong_FromUnsignedLong(c.model.settings().bits); });
}
PyObject* get_learning_rate(PyObject* self, void*) {
  return read_core(self, [](JointCore& c) { return PyFloat_FromDouble(c.model.settings().learning_rate); });
}
PyObject* get_explore_rule(PyObject* self, void*) {
  return read_core(self, [](JointCore& c) {
    const std::string_view name = explore_rule_name(c.model.settings().explore);
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  });
}
PyObject* get_gamma_scale(PyObject* self, void*) {
  return read_core(self, [](JointCore& c) { return PyFloat_FromDouble(c.model.settings().gamma_scale); });
}
PyObject* get_initial_accumulator(PyObject* self, void*) {
  return read_core(self, [](JointCore& c) { return PyFloat_FromDouble(c.model.settings().initial_accumulator); });
}
PyObject* get_updates(PyObject* self, void*) {
  return read_core(self, [](JointCore& c) { return PyLong_FromUnsignedLongLong(c.model.updates()); });
}

PyGetSetDef joint_getset[] = {
    {"bits", get_bits, nullptr, "The model's size: 2**bits coordinates, as the state's.", nullptr},
    {"learning_rate", get_learning_rate, nullptr, "The AdaGrad step size.", nullptr},
    {"explore_rule", get_explore_rule, nullptr, "'epsilon-greedy' or 'squarecb'.", nullptr},
    {"gamma_scale", get_gamma_scale, nullptr, "SquareCB's gamma is gamma_scale * sqrt(updates).", nullptr},
    {"initial_accumulator", get_initial_accumulator, nullptr,
     "Where each coordinate's sum of squared gradients starts.", nullptr},
    {"updates", get_updates, nullptr, "How many records the model has trained on.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define JOINT_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef joint_methods[] = {
    {"score", JOINT_FASTCALL(joint_score), METH_FASTCALL,
     "score(context, candidates)\n--\n\nOne estimate per candidate, for decide's score tap."},
    {"vectors", JOINT_FASTCALL(joint_vectors), METH_FASTCALL,
     "vectors(context, candidates)\n--\n\nEach candidate's hashed (index, value) pairs, as decide makes them."},
    {"explore", JOINT_FASTCALL(joint_explore), METH_FASTCALL,
     "explore(estimates, epsilon)\n--\n\nThe selection probabilities of the model's rule, for decide's explore tap."},
    {"train", JOINT_FASTCALL(joint_train), METH_FASTCALL,
     "train(record, reward)\n--\n\nOne training step on record.features, for learn's and expire's train tap."},
    {"check_state", joint_check_state, METH_O,
     "check_state(state)\n--\n\nRaises ValueError when the state's bits are not the model's."},
    {"serialize", joint_serialize, METH_NOARGS, "serialize()\n--\n\nThe model as versioned, checksummed text."},
    {"deserialize", joint_deserialize, METH_O | METH_CLASS,
     "deserialize(text)\n--\n\nThe model a serialize text holds; ValueError for damaged or foreign text."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot joint_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(joint_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(joint_dealloc)},
    {Py_tp_methods, joint_methods},
    {Py_tp_getset, joint_getset},
    {Py_tp_doc, const_cast<char*>("JointModel(bits, *, learning_rate=0.01, explore='squarecb', gamma_scale=10.0, initial_accumulator=0.0)\n--\n\n"
                                  "A joint online linear model over the engine's hashed features.")},
    {0, nullptr},
};

PyType_Spec joint_spec = {
    "sorvane_cli._native.JointModel", sizeof(JointObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    joint_slots,
};

}  // namespace

int add_joint_model_type(PyObject* module) {
  Ref type(PyType_FromSpec(&joint_spec));
  if (!type) return -1;
  if (PyModule_AddObject(module, "JointModel", type.get()) < 0) return -1;
  type.release();
  return 0;
}

}  // namespace sorvane::toolkit
