#include "convert.hpp"

#include <algorithm>

#include "pending_error.hpp"

namespace sorvane::py {

bool to_bits(PyObject* obj, uint32_t& out) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index.reset(PyNumber_Index(obj));
    if (!index) return false;
    obj = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (v > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

bool to_double(PyObject* obj, double& out) {
  out = PyFloat_AsDouble(obj);
  return !(out == -1.0 && PyErr_Occurred());
}

bool to_text(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_not_instance(obj, "str");
    return false;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool to_state(PyObject* obj, StateObject*& out) {
  PyTypeObject* type = state_type();
  if (type == nullptr) return false;
  if (!PyObject_TypeCheck(obj, type)) {
    raise_not_instance(obj, "BanditState");
    return false;
  }
  out = reinterpret_cast<StateObject*>(obj);
  return true;
}

bool to_dict(PyObject* obj) {
  if (PyDict_Check(obj)) return true;
  raise_not_instance(obj, "dict");
  return false;
}

void note_parameter(const char* name) {
  PendingError pending = PendingError::take();
  if (pending.value) {
    Ref note(PyUnicode_FromFormat("while processing '%s'", name));
    Ref result(note ? PyObject_CallMethod(pending.value.get(), "add_note", "O", note.get()) : nullptr);
    // An interpreter without notes: the exception goes out without one.
    if (!result) PyErr_Clear();
  }
  pending.restore();
}

bool to_double_list(PyObject* obj, std::vector<double>& out) {
  out.clear();
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) return false;
  const Py_ssize_t hint = PyObject_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    // Only a hint: a callable's sequence may claim any length.
    out.reserve(static_cast<size_t>(std::min<Py_ssize_t>(hint, 4096)));
  }
  Ref it(PyObject_GetIter(obj));
  if (!it) {
    PyErr_Clear();
    return false;
  }
  while (Ref item{PyIter_Next(it.get())}) {
    double v;
    if (!to_double(item.get(), v)) {
      PyErr_Clear();
      return false;
    }
    out.push_back(v);
  }
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

bool DecideInputs::append_text(PyObject* str, Span& out) {
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  out = {text_.size(), static_cast<size_t>(size)};
  text_.append(data, static_cast<size_t>(size));
  return true;
}

bool DecideInputs::read_candidates(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_not_instance(obj, "Sequence");
    return false;
  }
  const Py_ssize_t hint = PyObject_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    // Only a hint: a sequence class may claim any length.
    const auto n = static_cast<size_t>(std::min<Py_ssize_t>(hint, 4096));
    ids_.reserve(n);
    dicts_.reserve(n);
  }
  Ref it(PyObject_GetIter(obj));
  if (!it) return false;
  while (Ref item{PyIter_Next(it.get())}) {
    if (!PyTuple_Check(item.get())) {
      raise_not_instance(item.get(), "tuple");
      return false;
    }
    const Py_ssize_t n = PyTuple_Size(item.get());
    if (n != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
      return false;
    }
    PyObject* id = PyTuple_GetItem(item.get(), 0);
    PyObject* features = PyTuple_GetItem(item.get(), 1);
    if (!PyUnicode_Check(id)) {
      raise_not_instance(id, "str");
      return false;
    }
    Span id_text;
    if (!append_text(id, id_text)) return false;
    if (!PyDict_Check(features)) {
      raise_not_instance(features, "dict");
      return false;
    }
    ids_.push_back(id_text);
    dicts_.push_back(Ref::borrow(features));
  }
  return !PyErr_Occurred();
}

bool DecideInputs::read_features(PyObject* dict) {
  const Py_ssize_t size = PyDict_Size(dict);
  // Grown geometrically: room for exactly this dict would copy every
  // feature read so far once per candidate.
  const size_t needed = features_.size() + static_cast<size_t>(size);
  if (needed > features_.capacity()) features_.reserve(std::max(needed, 2 * features_.capacity()));
  Py_ssize_t pos = 0;
  Py_ssize_t produced = 0;
  PyObject* borrowed_key;
  PyObject* borrowed_value;
  while (true) {
    // Converting a value may run Python code (an int subclass's __float__)
    // that changes the dict under the walk.
    if (PyDict_Size(dict) != size) {
      raise_panic("dictionary changed size during iteration");
      return false;
    }
    if (produced > size) {
      raise_panic("dictionary keys changed during iteration");
      return false;
    }
    if (!PyDict_Next(dict, &pos, &borrowed_key, &borrowed_value)) break;
    ++produced;
    Ref key = Ref::borrow(borrowed_key);
    Ref value = Ref::borrow(borrowed_value);

    Feature f{};
    if (!PyUnicode_Check(key.get()) || !append_text(key.get(), f.name)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "feature names must be strings");
      return false;
    }
    PyObject* v = value.get();
    if (v == Py_None) {
      f.kind = sorvane::FeatureKind::absent;
    } else if (PyUnicode_Check(v)) {
      f.kind = sorvane::FeatureKind::text;
      if (!append_text(v, f.text)) return false;
    } else if (Py_IS_TYPE(v, &PyBool_Type)) {
      f.kind = sorvane::FeatureKind::number;
      f.number = v == Py_True ? 1.0 : 0.0;
    } else if (PyLong_Check(v) || PyFloat_Check(v)) {
      f.kind = sorvane::FeatureKind::number;
      if (!to_double(v, f.number)) return false;
    } else {
      PyErr_Format(PyExc_ValueError, "feature '%U' has unsupported type %S", key.get(),
                   reinterpret_cast<PyObject*>(Py_TYPE(v)));
      return false;
    }
    features_.push_back(f);
  }
  return true;
}

bool DecideInputs::read(PyObject* context, PyObject* candidates) {
  text_.clear();
  features_.clear();
  ids_.clear();
  feature_ends_.clear();
  dicts_.clear();
  const bool ok = [&] {
    if (!read_candidates(candidates)) return false;
    feature_ends_.reserve(ids_.size());
    if (!read_features(context)) return false;
    context_size_ = features_.size();
    for (const Ref& d : dicts_) {
      if (!read_features(d.get())) return false;
      feature_ends_.push_back(features_.size());
    }
    return true;
  }();
  dicts_.clear();
  if (ok) build_views();
  return ok;
}

void DecideInputs::build_views() {
  const char* base = text_.data();
  auto view = [base](Span s) { return std::string_view(base + s.offset, s.size); };
  named_.clear();
  named_.reserve(features_.size());
  for (const Feature& f : features_) {
    sorvane::FeatureValue value{f.kind, f.number, view(f.text)};
    named_.push_back({view(f.name), value});
  }
  candidates_.clear();
  candidates_.reserve(ids_.size());
  size_t begin = context_size_;
  for (size_t i = 0; i < ids_.size(); ++i) {
    const size_t end = feature_ends_[i];
    candidates_.push_back({view(ids_[i]), std::span<const sorvane::NamedFeature>(
                                                  named_.data() + begin, end - begin)});
    begin = end;
  }
}

namespace {
thread_local std::vector<std::unique_ptr<DecideInputs>> t_spare_inputs;
}

std::unique_ptr<DecideInputs> DecideInputs::acquire() {
  if (t_spare_inputs.empty()) return std::make_unique<DecideInputs>();
  std::unique_ptr<DecideInputs> inputs = std::move(t_spare_inputs.back());
  t_spare_inputs.pop_back();
  return inputs;
}

void DecideInputs::recycle(std::unique_ptr<DecideInputs> inputs) {
  if (t_spare_inputs.size() < 4) t_spare_inputs.push_back(std::move(inputs));
}

}  // namespace sorvane::py
