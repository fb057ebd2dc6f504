// The extension module sorvane: its definition, its one execution step, and
// the eight entry points. Each entry point binds its arguments against its
// signature row, converts them in parameter order, takes the use of the
// state it needs and calls one engine operation.
#include <new>
#include <optional>
#include <stdexcept>

#include "api.hpp"
#include "binder.hpp"
#include "convert.hpp"
#include "handle.hpp"
#include "log_line.hpp"
#include "pyref.hpp"
#include "pytext.hpp"
#include "records.hpp"
#include "taps.hpp"

namespace sorvane::py {

namespace {

// ---- signatures -----------------------------------------------------------

constexpr Signature kCreate{"create", {"bits", "horizon", "default_reward", "epsilon", "forgetfulness"}, 5, 2};
constexpr Signature kDecide{"decide", {"state", "context", "candidates", "t", "salt", "score", "explore"}, 7, 5};
constexpr Signature kLearn{"learn", {"state", "decision_id", "reward", "t", "train"}, 5, 4};
constexpr Signature kExpire{"expire", {"state", "t", "train"}, 3, 2};
constexpr Signature kSerialize{"serialize", {"state"}, 1, 1};
constexpr Signature kDeserialize{"deserialize", {"data"}, 1, 1};
constexpr Signature kModelBits{"model_bits", {"state"}, 1, 1};
constexpr Signature kLogLine{"log_line", {"item"}, 1, 1};

// ---- common protocol ------------------------------------------------------

PyObject* raise_engine_error(const sorvane::EngineError& e) {
  PyErr_SetString(PyExc_ValueError, e.message.c_str());
  return nullptr;
}

// Converts one bound argument; on failure the exception carries the note
// naming the parameter.
template <class Convert>
bool convert(const Signature& sig, Py_ssize_t i, Convert&& fn) {
  if (fn()) return true;
  note_parameter(sig.params[i]);
  return false;
}

// None or omitted means no tap.
PyObject* optional_callable(PyObject* arg) { return arg == nullptr || arg == Py_None ? nullptr : arg; }

// Runs an entry point's work, turning memory exhaustion into MemoryError:
// no C++ exception reaches the interpreter.
template <class Work>
PyObject* guarded(Work&& work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
    return nullptr;
  }
}

// ---- entry points -----------------------------------------------------------

PyObject* py_create(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[kMaxParams];
  if (!bind_arguments(kCreate, args, nargs, kwnames, a)) return nullptr;
  uint32_t bits;
  double horizon, default_reward = 0.0, epsilon = 0.05, forgetfulness = 0.999;
  if (!convert(kCreate, 0, [&] { return to_bits(a[0], bits); }) ||
      !convert(kCreate, 1, [&] { return to_double(a[1], horizon); }) ||
      (a[2] && !convert(kCreate, 2, [&] { return to_double(a[2], default_reward); })) ||
      (a[3] && !convert(kCreate, 3, [&] { return to_double(a[3], epsilon); })) ||
      (a[4] && !convert(kCreate, 4, [&] { return to_double(a[4], forgetfulness); })))
    return nullptr;
  return guarded([&]() -> PyObject* {
    Result<BanditState> state = sorvane::create(bits, horizon, default_reward, epsilon, forgetfulness);
    if (!state.ok()) return raise_engine_error(state.error());
    return new_state_object(std::move(state.value()));
  });
}

PyObject* py_decide(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[kMaxParams];
  if (!bind_arguments(kDecide, args, nargs, kwnames, a)) return nullptr;
  StateObject* state;
  double t;
  std::string_view salt;
  PyObject* context = a[1];
  PyObject* candidates = a[2];
  if (!convert(kDecide, 0, [&] { return to_state(a[0], state); }) ||
      !convert(kDecide, 1, [&] { return to_dict(context); }) ||
      !convert(kDecide, 3, [&] { return to_double(a[3], t); }) ||
      !convert(kDecide, 4, [&] { return to_text(a[4], salt); }))
    return nullptr;
  PyObject* score = optional_callable(a[5]);
  PyObject* explore = optional_callable(a[6]);

  return guarded([&]() -> PyObject* {
    std::unique_ptr<DecideInputs> inputs = DecideInputs::acquire();
    struct Recycle {
      std::unique_ptr<DecideInputs>& p;
      ~Recycle() { DecideInputs::recycle(std::move(p)); }
    } recycle{inputs};
    if (!inputs->read(context, candidates)) return nullptr;

    uint32_t bits;
    {
      SharedUse use(state);
      if (!use.ok()) return nullptr;
      Result<uint32_t> b = sorvane::model_bits(state->state);
      if (!b.ok()) return raise_engine_error(b.error());
      bits = b.value();
    }

    CallbackErrorSlot slot;
    std::optional<PyScoreTap> score_tap;
    std::optional<PyExploreTap> explore_tap;
    if (score != nullptr) score_tap.emplace(score, context, candidates, slot);
    if (explore != nullptr) explore_tap.emplace(explore, slot);
    std::optional<Result<DecisionRecord>> decided;
    {
      ExclusiveUse use(state);
      if (!use.ok()) return nullptr;
      decided.emplace(sorvane::decide(state->state, state->scratch, inputs->context(), inputs->candidates(), t,
                                      salt, score_tap ? &*score_tap : nullptr,
                                      explore_tap ? &*explore_tap : nullptr));
    }
    if (!slot.empty()) return slot.raise();
    if (!decided->ok()) return raise_engine_error(decided->error());
    return new_decision_record(std::move(decided->value()), bits, context, candidates);
  });
}

PyObject* py_learn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[kMaxParams];
  if (!bind_arguments(kLearn, args, nargs, kwnames, a)) return nullptr;
  StateObject* state;
  std::string_view decision_id;
  double reward, t;
  if (!convert(kLearn, 0, [&] { return to_state(a[0], state); }) ||
      !convert(kLearn, 1, [&] { return to_text(a[1], decision_id); }) ||
      !convert(kLearn, 2, [&] { return to_double(a[2], reward); }) ||
      !convert(kLearn, 3, [&] { return to_double(a[3], t); }))
    return nullptr;
  PyObject* train = optional_callable(a[4]);

  return guarded([&]() -> PyObject* {
    CallbackErrorSlot slot;
    std::optional<PyTrainTap> tap;
    if (train != nullptr) tap.emplace(train, slot);
    std::optional<Result<std::optional<Resolution>>> learned;
    {
      ExclusiveUse use(state);
      if (!use.ok()) return nullptr;
      learned.emplace(sorvane::learn(state->state, decision_id, reward, t, tap ? &*tap : nullptr));
    }
    if (!slot.empty()) return slot.raise();
    if (!learned->ok()) return raise_engine_error(learned->error());
    std::optional<Resolution>& resolution = learned->value();
    if (!resolution) Py_RETURN_NONE;
    return new_resolution(std::move(*resolution));
  });
}

PyObject* py_expire(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[kMaxParams];
  if (!bind_arguments(kExpire, args, nargs, kwnames, a)) return nullptr;
  StateObject* state;
  double t;
  if (!convert(kExpire, 0, [&] { return to_state(a[0], state); }) ||
      !convert(kExpire, 1, [&] { return to_double(a[1], t); }))
    return nullptr;
  PyObject* train = optional_callable(a[2]);

  return guarded([&]() -> PyObject* {
    CallbackErrorSlot slot;
    std::optional<PyTrainTap> tap;
    if (train != nullptr) tap.emplace(train, slot);
    std::optional<Result<std::vector<Resolution>>> expired;
    {
      ExclusiveUse use(state);
      if (!use.ok()) return nullptr;
      expired.emplace(sorvane::expire(state->state, t, tap ? &*tap : nullptr));
    }
    if (!slot.empty()) return slot.raise();
    if (!expired->ok()) return raise_engine_error(expired->error());
    std::vector<Resolution>& resolutions = expired->value();
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(resolutions.size())));
    if (!tuple) return nullptr;
    for (size_t i = 0; i < resolutions.size(); ++i) {
      PyObject* r = new_resolution(std::move(resolutions[i]));
      if (r == nullptr) return nullptr;
      PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), r);
    }
    return tuple.release();
  });
}

// Gathers serialize's text into one str. The limited API cannot fill a str
// in place, so the text is copied in pieces: the interpreter extends a str
// that nothing else references where it stands, and the text is held once
// plus one piece, rather than twice.
class StrSink final : public sorvane::TextSink {
 public:
  void write(std::string_view piece) override {
    if (failed_) return;
    Ref next(text(piece));
    if (!next) {
      failed_ = true;
    } else if (!text_) {
      text_ = std::move(next);
    } else {
      PyObject* text = text_.release();
      PyUnicode_Append(&text, next.get());  // releases the old text
      text_.reset(text);
      failed_ = !text_;
    }
  }
  // The str, or null with the exception set.
  PyObject* finish() { return failed_ ? nullptr : text_.release(); }

 private:
  Ref text_;
  bool failed_ = false;
};

PyObject* py_serialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[kMaxParams];
  if (!bind_arguments(kSerialize, args, nargs, kwnames, a)) return nullptr;
  StateObject* state;
  if (!convert(kSerialize, 0, [&] { return to_state(a[0], state); })) return nullptr;
  return guarded([&]() -> PyObject* {
    StrSink text;
    {
      SharedUse use(state);
      if (!use.ok()) return nullptr;
      sorvane::serialize(state->state, text);
    }
    return text.finish();
  });
}

PyObject* py_deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[kMaxParams];
  if (!bind_arguments(kDeserialize, args, nargs, kwnames, a)) return nullptr;
  std::string_view data;
  if (!convert(kDeserialize, 0, [&] { return to_text(a[0], data); })) return nullptr;
  return guarded([&]() -> PyObject* {
    Result<BanditState> state = sorvane::deserialize(data);
    if (!state.ok()) return raise_engine_error(state.error());
    return new_state_object(std::move(state.value()));
  });
}

PyObject* py_model_bits(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[kMaxParams];
  if (!bind_arguments(kModelBits, args, nargs, kwnames, a)) return nullptr;
  StateObject* state;
  if (!convert(kModelBits, 0, [&] { return to_state(a[0], state); })) return nullptr;
  Result<uint32_t> bits = [&]() -> Result<uint32_t> {
    SharedUse use(state);
    if (!use.ok()) return sorvane::EngineError{};
    return sorvane::model_bits(state->state);
  }();
  if (PyErr_Occurred()) return nullptr;
  if (!bits.ok()) return raise_engine_error(bits.error());
  return PyLong_FromUnsignedLong(bits.value());
}

PyObject* py_log_line(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[kMaxParams];
  if (!bind_arguments(kLogLine, args, nargs, kwnames, a)) return nullptr;
  return guarded([&] { return log_line(a[0]); });
}

// ---- module definition ------------------------------------------------------

#define SORVANE_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
constexpr int kCallFlags = METH_FASTCALL | METH_KEYWORDS;

// Stored documentation: the text signature, "--", an empty line, the docstring.
constexpr const char* kLearnDoc =
    "learn(state, decision_id, reward, t, train=None)\n--\n\n"
    "The resolution, or None if the id is unknown or already resolved.\n"
    "The engine classifies against the horizon at time `t`: a reward\n"
    "arriving at or past the record's `t + horizon` resolves as expired\n"
    "with the default reward. `train` is the BYO training tap: it replaces\n"
    "the built-in update and fires after the resolution commits, exactly\n"
    "once, with the classified reward.";
constexpr const char* kExpireDoc =
    "expire(state, t, train=None)\n--\n\n"
    "Every decision past its horizon at time `t`, resolved as expired, in\n"
    "ledger order. `train` as on `learn`, fired per due record.";
constexpr const char* kLogLineDoc =
    "log_line(item)\n--\n\n"
    "One canonical experience-log line for a decision record\n"
    "or resolution \xe2\x80\x94 append it to your log verbatim; it is exactly what\n"
    "the `sorvane` CLI's verify/eval/replay consume. Decision records must\n"
    "be the ones `decide` returned (they carry the inputs; a `train`\n"
    "callback's record does not \xe2\x80\x94 its inputs are already in your log).";
constexpr const char* kSerializeDoc =
    "serialize(state)\n--\n\n"
    "The current state as one plain hex string \xe2\x80\x94 storable anywhere text\n"
    "goes, with no byte handling on the caller's side.";

PyMethodDef g_functions[] = {
    {"create", SORVANE_FASTCALL(py_create), kCallFlags,
     "create(bits, horizon, default_reward=0.0, epsilon=..., forgetfulness=...)\n--\n\n"},
    {"decide", SORVANE_FASTCALL(py_decide), kCallFlags,
     "decide(state, context, candidates, t, salt, score=None, explore=None)\n--\n\n"},
    {"learn", SORVANE_FASTCALL(py_learn), kCallFlags, kLearnDoc},
    {"expire", SORVANE_FASTCALL(py_expire), kCallFlags, kExpireDoc},
    {"serialize", SORVANE_FASTCALL(py_serialize), kCallFlags, kSerializeDoc},
    {"deserialize", SORVANE_FASTCALL(py_deserialize), kCallFlags, "deserialize(data)\n--\n\n"},
    {"model_bits", SORVANE_FASTCALL(py_model_bits), kCallFlags, "model_bits(state)\n--\n\n"},
    {"log_line", SORVANE_FASTCALL(py_log_line), kCallFlags, kLogLineDoc},
    {nullptr, nullptr, 0, nullptr},
};

int add_type(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return -1;
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "sorvane's execution step needs a module object");
    return -1;
  }
  if (add_type(module, "BanditState", state_type()) < 0 ||
      add_type(module, "DecisionRecord", record_type()) < 0 ||
      add_type(module, "Resolution", resolution_type()) < 0)
    return -1;
  return PyModule_AddFunctions(module, g_functions);
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "sorvane",
    "",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace sorvane::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_sorvane(void) {
  return PyModuleDef_Init(&sorvane::py::g_module);
}
