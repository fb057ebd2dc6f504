// The extension module sorvane_cli._native: the toolkit's replay of the
// experience log through the engine, with no Python object made per line.
//
//   replay = LogReplay(horizon, default_reward, epsilon, forgetfulness, state_text, threads=1,
//                      batch_lines=256)
//     threads: how many threads read and hash lines ahead, the caller's
//     included; batch_lines: how many lines at most they read ahead. The
//     result is the same whatever the two are
//   replay.feed(chunk) -> False once the replay has declined the log
//   replay.finish()
//   replay.declined() -> None, or (line number, reason)
//   replay.skip_line() counts a line read by the caller (a header)
//   replay.set_line_limit(bytes) declines lines longer than that
//   replay.counts() -> (lines, decisions, resolutions, pending, bits)
//   replay.state_text() -> the serialize text of the state, or None
//   model_text (a keyword of LogReplay): the JointModel text the log's
//     decisions were made with; replay.model_text() -> its text at the end
//
//   evaluation = LogEvaluation(targets, compensated_sum, threads=1, batch_lines=256)
//     targets: (bits or 0, horizon, default_reward, epsilon, forgetfulness,
//     state_text or None) per target, the baseline first
//   evaluation.feed(chunk), .finish(), .declined() as for LogReplay
//   evaluation.counts() -> (lines, decisions, resolved, excluded, pending)
//   evaluation.terms(k) -> target k's bits (0 while no line gave them) and its
//     (seq, w, r, dm, q) columns as packed bytes
//
//   longrun = LongRunPass(targets, baseline_text, prefixes, scale, model, threads=1, batch_lines=256)
//     targets as for LogEvaluation, each state_text the saved state that
//     target continues, and a seventh item, the target's joint model: None
//     (the built-in model), (learning_rate, explore, gamma_scale,
//     initial_accumulator) for a fresh one at the run's bits, or the text of
//     the saved model it continues; baseline_text: the saved state the first target
//     continues (it learns decisions made before the log began), or None;
//     prefixes: each replay's acceptance-draw prefix (bytes); model: the
//     reward model's (tokens, [(candidate id, coefficients packed)], mean, low, high)
//   longrun.counts(), .logged() -> (seq, reward) packed, .run(replay, target)
//   acceptance_uniform(prefix, decision_id) -> the replay's draw for that id
//   rows = RewardRowsPass(threads=1, batch_lines=256): the reward model's
//     rows; rows.result() -> (tokens, groups, low, high)
//
//   read_line(line) -> one line's values as the native reader reads them
//     (line_objects.cpp)
//
//   columns = LogColumns(): the columns of sorvane export (columns_object.cpp)
//
// feed and finish run without the interpreter lock; counts and results are
// complete once finish has returned.
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>

#include "columns_object.hpp"
#include "joint_model_type.hpp"
#include "log_eval.hpp"
#include "line_objects.hpp"
#include "log_replay.hpp"
#include "acceptance_draw.hpp"
#include "longrun_pass.hpp"
#include "reward_rows.hpp"
#include "pyref.hpp"
#include "pytext.hpp"
#include "without_gil.hpp"

namespace sorvane::toolkit {

namespace {

using py::Ref;

// A Python object owning one C++ pass over a log (LogReplay, LogEvaluation).
template <class Pass>
struct PassObject {
  PyObject_HEAD
  Pass* pass;
  // Set while a call runs: another thread may not enter meanwhile.
  bool busy;
};

template <class Pass>
PassObject<Pass>* as_pass(PyObject* self) {
  return reinterpret_cast<PassObject<Pass>*>(self);
}

// Runs work inside a method: C++ exceptions become Python ones, and a
// second caller while the first runs is refused.
template <class Pass, class Work>
PyObject* guarded(PyObject* self, Work&& work) {
  PassObject<Pass>* r = as_pass<Pass>(self);
  if (r->pass == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the object was not initialised");
    return nullptr;
  }
  if (r->busy) {
    PyErr_SetString(PyExc_RuntimeError, "the object is in use by another call");
    return nullptr;
  }
  r->busy = true;
  PyObject* result = nullptr;
  try {
    result = work(*r->pass);
  } catch (const std::bad_alloc&) {
    result = PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    result = nullptr;
  }
  r->busy = false;
  return result;
}

// A new object of `type` owning `pass`.
template <class Pass>
PyObject* wrap(PyTypeObject* type, std::unique_ptr<Pass> pass) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  as_pass<Pass>(self)->pass = pass.release();
  as_pass<Pass>(self)->busy = false;
  return self;
}

template <class Pass>
void pass_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_pass<Pass>(self)->pass;
  as_pass<Pass>(self)->pass = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

template <class Pass>
PyObject* pass_feed(PyObject* self, PyObject* data) {
  if (!PyBytes_Check(data)) {
    PyErr_SetString(PyExc_TypeError, "feed takes bytes");
    return nullptr;
  }
  return guarded<Pass>(self, [data](Pass& pass) {
    char* bytes;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(data, &bytes, &size) < 0) return static_cast<PyObject*>(nullptr);
    bool more;
    {
      // The caller holds the bytes object, and bytes do not change.
      WithoutGil unlocked;
      more = pass.feed(std::string_view(bytes, static_cast<size_t>(size)));
    }
    return PyBool_FromLong(more);
  });
}

template <class Pass>
PyObject* pass_finish(PyObject* self, PyObject*) {
  return guarded<Pass>(self, [](Pass& pass) {
    {
      WithoutGil unlocked;
      pass.finish();
    }
    Py_RETURN_NONE;
  });
}

template <class Pass>
PyObject* pass_skip_line(PyObject* self, PyObject*) {
  return guarded<Pass>(self, [](Pass& pass) {
    pass.skip_line();
    Py_RETURN_NONE;
  });
}

template <class Pass>
PyObject* pass_set_line_limit(PyObject* self, PyObject* arg) {
  const Py_ssize_t limit = PyLong_AsSsize_t(arg);
  if (limit == -1 && PyErr_Occurred()) return nullptr;
  if (limit < 0) {
    PyErr_SetString(PyExc_ValueError, "the line limit must not be negative");
    return nullptr;
  }
  return guarded<Pass>(self, [limit](Pass& pass) {
    pass.set_line_limit(static_cast<size_t>(limit));
    Py_RETURN_NONE;
  });
}

template <class Pass>
PyObject* pass_declined(PyObject* self, PyObject*) {
  return guarded<Pass>(self, [](Pass& pass) -> PyObject* {
    if (!pass.declined()) Py_RETURN_NONE;
    return Py_BuildValue("(Ks)", static_cast<unsigned long long>(pass.declined_line()),
                         pass.decline_reason().c_str());
  });
}

// A pass's threads and batch size, from the counts the caller gave.
bool pass_options(Py_ssize_t threads, Py_ssize_t batch_lines, PassOptions& out) {
  if (threads < 1 || threads > 256) {
    PyErr_SetString(PyExc_ValueError, "threads must be between 1 and 256");
    return false;
  }
  if (batch_lines < 1 || batch_lines > (1 << 20)) {
    PyErr_SetString(PyExc_ValueError, "batch_lines must be between 1 and 1048576");
    return false;
  }
  out.threads = static_cast<size_t>(threads);
  out.batch_lines = static_cast<size_t>(batch_lines);
  return true;
}

// A pass type's method table: the methods every pass has, then the type's
// own, then the end marker.
template <class Pass, size_t N>
std::array<PyMethodDef, 5 + N + 1> pass_methods(const PyMethodDef (&own)[N]) {
  std::array<PyMethodDef, 5 + N + 1> table{{
      {"feed", pass_feed<Pass>, METH_O, "feed(data)\n--\n\nThe next bytes of the log; False once declined."},
      {"finish", pass_finish<Pass>, METH_NOARGS, "finish()\n--\n\nThe end of the log."},
      {"set_line_limit", pass_set_line_limit<Pass>, METH_O,
       "set_line_limit(bytes)\n--\n\nLines longer than this, their newline aside, are declined unread."},
      {"skip_line", pass_skip_line<Pass>, METH_NOARGS,
       "skip_line()\n--\n\nCounts a line the caller read itself (the header)."},
      {"declined", pass_declined<Pass>, METH_NOARGS,
       "declined()\n--\n\nNone, or the line number and reason the log was declined at."},
  }};
  for (size_t i = 0; i < N; ++i) table[5 + i] = own[i];
  table[5 + N] = {nullptr, nullptr, 0, nullptr};
  return table;
}

// A pass type's slots and spec: its constructor, methods and docstring, and
// the deallocator every pass shares. Lives as long as the process, since the
// spec points into its own slots.
template <class Pass>
struct PassType {
  PyType_Slot slots[5];
  PyType_Spec spec;

  PassType(const char* name, newfunc make, PyMethodDef* methods, const char* doc)
      : slots{{Py_tp_new, reinterpret_cast<void*>(make)},
              {Py_tp_dealloc, reinterpret_cast<void*>(pass_dealloc<Pass>)},
              {Py_tp_methods, methods},
              {Py_tp_doc, const_cast<char*>(doc)},
              {0, nullptr}},
        spec{name, sizeof(PassObject<Pass>), 0, Py_TPFLAGS_DEFAULT, slots} {}
  PassType(const PassType&) = delete;
  PassType& operator=(const PassType&) = delete;
};

// A str argument or None, copied.
bool optional_text(PyObject* obj, std::optional<std::string>& out) {
  if (obj == Py_None) return true;
  if (!PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "state_text must be a str or None");
    return false;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out.emplace(data, static_cast<size_t>(size));
  return true;
}

PyObject* replay_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"horizon", "default_reward", "epsilon", "forgetfulness", "state_text",
                                "threads", "batch_lines", "model_text", nullptr};
  ReplayConfig config;
  PyObject* state_text = Py_None;
  PyObject* model_text = Py_None;
  PassOptions options;
  Py_ssize_t threads = 1;
  auto batch_lines = static_cast<Py_ssize_t>(options.batch_lines);
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ddddO|nnO:LogReplay", const_cast<char**>(names),
                                   &config.horizon, &config.default_reward, &config.epsilon,
                                   &config.forgetfulness, &state_text, &threads, &batch_lines, &model_text) ||
      !pass_options(threads, batch_lines, options)) {
    return nullptr;
  }
  try {
    if (!optional_text(state_text, config.state_text)) return nullptr;
    if (!optional_text(model_text, config.model_text)) return nullptr;
    return wrap(type, std::make_unique<LogReplay>(std::move(config), options));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* replay_counts(PyObject* self, PyObject*) {
  return guarded<LogReplay>(self, [](LogReplay& replay) {
    return Py_BuildValue("(KKKKk)", static_cast<unsigned long long>(replay.lines()),
                         static_cast<unsigned long long>(replay.decisions()),
                         static_cast<unsigned long long>(replay.resolutions()),
                         static_cast<unsigned long long>(replay.pending()),
                         static_cast<unsigned long>(replay.bits()));
  });
}

PyObject* replay_state_text(PyObject* self, PyObject*) {
  return guarded<LogReplay>(self, [](LogReplay& replay) -> PyObject* {
    std::optional<std::string> text = replay.state_text();
    if (!text) Py_RETURN_NONE;
    return py::text(*text);
  });
}

PyObject* replay_model_text(PyObject* self, PyObject*) {
  return guarded<LogReplay>(self, [](LogReplay& replay) -> PyObject* {
    std::optional<std::string> text = replay.model_text();
    if (!text) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
  });
}

auto replay_methods = pass_methods<LogReplay>({
    {"counts", replay_counts, METH_NOARGS,
     "counts()\n--\n\n(lines, decisions, resolutions, pending, bits) so far (bits 0: no state yet)."},
    {"state_text", replay_state_text, METH_NOARGS,
     "state_text()\n--\n\nThe serialize text of the replayed state, or None."},
    {"model_text", replay_model_text, METH_NOARGS,
     "model_text()\n--\n\nThe serialize text of the replayed joint model, or None."},
});

PassType<LogReplay> replay_type("sorvane_cli._native.LogReplay", replay_new, replay_methods.data(),
                                "A replay of an experience log through the engine.");

// ---- LogEvaluation ----------------------------------------------------------

PyObject* evaluation_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"targets", "compensated_sum", "threads", "batch_lines", nullptr};
  PyObject* list;
  int compensated;
  PassOptions options;
  Py_ssize_t threads = 1;
  auto batch_lines = static_cast<Py_ssize_t>(options.batch_lines);
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!p|nn:LogEvaluation", const_cast<char**>(names),
                                   &PyList_Type, &list, &compensated, &threads, &batch_lines) ||
      !pass_options(threads, batch_lines, options)) {
    return nullptr;
  }
  try {
    std::vector<EvalTarget> targets;
    const Py_ssize_t n = PyList_Size(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GetItem(list, i);
      EvalTarget t;
      unsigned long bits;
      PyObject* state_text;
      if (!PyArg_ParseTuple(item, "kddddO:target", &bits, &t.horizon, &t.default_reward, &t.epsilon,
                            &t.forgetfulness, &state_text)) {
        return nullptr;
      }
      if (bits > 24) {
        PyErr_SetString(PyExc_ValueError, "a target's bits must be between 0 and 24");
        return nullptr;
      }
      t.bits = static_cast<uint32_t>(bits);
      if (!optional_text(state_text, t.state_text)) return nullptr;
      targets.push_back(std::move(t));
    }
    return wrap(type, std::make_unique<LogEvaluation>(std::move(targets), compensated != 0, 24, options));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* evaluation_counts(PyObject* self, PyObject*) {
  return guarded<LogEvaluation>(self, [](LogEvaluation& e) {
    return Py_BuildValue("(KKKKK)", static_cast<unsigned long long>(e.lines()),
                         static_cast<unsigned long long>(e.decisions()),
                         static_cast<unsigned long long>(e.resolved()),
                         static_cast<unsigned long long>(e.excluded()),
                         static_cast<unsigned long long>(e.pending()));
  });
}

template <class T>
PyObject* packed(const std::vector<T>& values) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                   static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

PyObject* evaluation_terms(PyObject* self, PyObject* index) {
  const Py_ssize_t k = PyLong_AsSsize_t(index);
  if (k == -1 && PyErr_Occurred()) return nullptr;
  return guarded<LogEvaluation>(self, [k](LogEvaluation& e) -> PyObject* {
    if (k < 0 || static_cast<size_t>(k) >= e.target_count()) {
      PyErr_SetString(PyExc_IndexError, "no such target");
      return nullptr;
    }
    const TargetTerms& t = e.terms(static_cast<size_t>(k));
    Ref bits(PyLong_FromUnsignedLong(e.target_bits(static_cast<size_t>(k))));
    Ref seq(packed(t.seq)), w(packed(t.w)), r(packed(t.r)), dm(packed(t.dm)), q(packed(t.q));
    if (!bits || !seq || !w || !r || !dm || !q) return nullptr;
    return PyTuple_Pack(6, bits.get(), seq.get(), w.get(), r.get(), dm.get(), q.get());
  });
}

auto evaluation_methods = pass_methods<LogEvaluation>({
    {"counts", evaluation_counts, METH_NOARGS,
     "counts()\n--\n\n(lines, decisions, resolved, excluded, pending) so far."},
    {"terms", evaluation_terms, METH_O,
     "terms(k)\n--\n\nTarget k's bits, then its seq (int64), w, r, dm and q (float64) columns, packed."},
});

PassType<LogEvaluation> evaluation_type("sorvane_cli._native.LogEvaluation", evaluation_new,
                                        evaluation_methods.data(),
                                        "An off-policy evaluation of targets on an experience log.");

// ---- LongRunPass -------------------------------------------------------------

// Packed native-endian values from a bytes object.
template <class T>
bool unpacked(PyObject* obj, std::vector<T>& out, const char* what) {
  char* data;
  Py_ssize_t size;
  if (!PyBytes_Check(obj) || PyBytes_AsStringAndSize(obj, &data, &size) < 0 || size % sizeof(T) != 0) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s must be packed bytes", what);
    return false;
  }
  out.resize(static_cast<size_t>(size) / sizeof(T));
  if (size) std::memcpy(out.data(), data, static_cast<size_t>(size));
  return true;
}

// The reward model's tables: ([token, ...] in column order, [(candidate id, packed float64 coefficients)],
// mean, low, high).
bool reward_tables(PyObject* obj, RewardTables& out) {
  PyObject *tokens, *coef;
  if (!PyArg_ParseTuple(obj, "O!O!ddd:model", &PyList_Type, &tokens, &PyList_Type, &coef, &out.mean, &out.low,
                        &out.high)) {
    return false;
  }
  const Py_ssize_t n = PyList_Size(tokens);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(PyList_GetItem(tokens, i), &size);
    if (text == nullptr) return false;
    out.tokens.emplace(std::string(text, static_cast<size_t>(size)), static_cast<uint32_t>(i));
  }
  for (Py_ssize_t i = 0; i < PyList_Size(coef); ++i) {
    PyObject *id, *packed_coef;
    if (!PyArg_ParseTuple(PyList_GetItem(coef, i), "UO:coef", &id, &packed_coef)) return false;
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(id, &size);
    if (text == nullptr) return false;
    std::vector<double> w;
    if (!unpacked(packed_coef, w, "coefficients")) return false;
    if (w.size() != static_cast<size_t>(n) + 1) {
      PyErr_SetString(PyExc_ValueError, "each candidate's coefficients are one per token and the intercept");
      return false;
    }
    out.coef.insert_or_assign(std::string(text, static_cast<size_t>(size)), std::move(w));
  }
  return true;
}

// A long-run target's joint model (see the top of this file).
bool longrun_model(PyObject* obj, LongRunModel& out) {
  if (obj == nullptr || obj == Py_None) return true;
  if (PyUnicode_Check(obj)) {
    Py_ssize_t size;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) return false;
    out.kind = LongRunModel::Kind::saved;
    out.text.assign(data, static_cast<size_t>(size));
    return true;
  }
  if (!PyTuple_Check(obj)) {
    PyErr_SetString(PyExc_TypeError,
                    "a target's model must be None, a joint model's text or (learning_rate, explore, gamma_scale, "
                    "initial_accumulator)");
    return false;
  }
  const char* rule;
  if (!PyArg_ParseTuple(obj, "dsdd:joint model settings", &out.settings.learning_rate, &rule,
                        &out.settings.gamma_scale, &out.settings.initial_accumulator)) {
    return false;
  }
  if (!explore_rule_from_name(rule, out.settings.explore)) {
    PyErr_SetString(PyExc_ValueError, "explore must be 'epsilon-greedy' or 'squarecb'");
    return false;
  }
  // The bits are the run's: checked here at any valid count.
  out.settings.bits = 1;
  if (std::string error = settings_error(out.settings); !error.empty()) {
    PyErr_SetString(PyExc_ValueError, error.c_str());
    return false;
  }
  out.kind = LongRunModel::Kind::fresh;
  return true;
}

PyObject* longrun_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"targets", "baseline_text", "prefixes", "scale", "model", "threads",
                                "batch_lines", nullptr};
  PyObject *list, *baseline_text, *prefixes, *model;
  LongRunSettings settings;
  PassOptions options;
  Py_ssize_t threads = 1;
  auto batch_lines = static_cast<Py_ssize_t>(options.batch_lines);
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!OO!dO|nn:LongRunPass", const_cast<char**>(names),
                                   &PyList_Type, &list, &baseline_text, &PyList_Type, &prefixes, &settings.scale,
                                   &model, &threads, &batch_lines) ||
      !pass_options(threads, batch_lines, options)) {
    return nullptr;
  }
  try {
    const Py_ssize_t n = PyList_Size(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
      EvalTarget t;
      unsigned long bits;
      PyObject* state_text;
      PyObject* joint = nullptr;
      if (!PyArg_ParseTuple(PyList_GetItem(list, i), "kddddO|O:target", &bits, &t.horizon, &t.default_reward,
                            &t.epsilon, &t.forgetfulness, &state_text, &joint)) {
        return nullptr;
      }
      if (bits > 24) {
        PyErr_SetString(PyExc_ValueError, "a target's bits must be between 0 and 24");
        return nullptr;
      }
      t.bits = static_cast<uint32_t>(bits);
      if (!optional_text(state_text, t.state_text)) return nullptr;
      LongRunModel model;
      if (!longrun_model(joint, model)) return nullptr;
      settings.targets.push_back(std::move(t));
      settings.models.push_back(std::move(model));
    }
    if (!optional_text(baseline_text, settings.baseline_text)) return nullptr;
    const Py_ssize_t r = PyList_Size(prefixes);
    for (Py_ssize_t i = 0; i < r; ++i) {
      PyObject* prefix = PyList_GetItem(prefixes, i);
      if (!PyBytes_Check(prefix)) {
        PyErr_SetString(PyExc_TypeError, "each prefix must be bytes");
        return nullptr;
      }
      settings.replay_prefixes.emplace_back(PyBytes_AsString(prefix), static_cast<size_t>(PyBytes_Size(prefix)));
    }
    if (!reward_tables(model, settings.model)) return nullptr;
    return wrap(type, std::make_unique<LongRunPass>(std::move(settings), options));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* longrun_counts(PyObject* self, PyObject*) {
  return guarded<LongRunPass>(self, [](LongRunPass& e) {
    return Py_BuildValue("(KKKKK)", static_cast<unsigned long long>(e.lines()),
                         static_cast<unsigned long long>(e.decisions()),
                         static_cast<unsigned long long>(e.resolved()),
                         static_cast<unsigned long long>(e.excluded()),
                         static_cast<unsigned long long>(e.pending()));
  });
}

PyObject* longrun_logged(PyObject* self, PyObject*) {
  return guarded<LongRunPass>(self, [](LongRunPass& e) -> PyObject* {
    Ref seq(packed(e.logged_seq())), r(packed(e.logged_reward()));
    if (!seq || !r) return nullptr;
    return PyTuple_Pack(2, seq.get(), r.get());
  });
}

PyObject* longrun_run(PyObject* self, PyObject* args) {
  Py_ssize_t replay, target;
  if (!PyArg_ParseTuple(args, "nn:run", &replay, &target)) return nullptr;
  return guarded<LongRunPass>(self, [replay, target](LongRunPass& e) -> PyObject* {
    if (replay < 0 || target < 0 || static_cast<size_t>(replay) >= e.replays() ||
        static_cast<size_t>(target) >= e.target_count()) {
      PyErr_SetString(PyExc_IndexError, "no such run");
      return nullptr;
    }
    const LongRunSums* s = e.sums(static_cast<size_t>(replay), static_cast<size_t>(target));
    if (s == nullptr) Py_RETURN_NONE;
    Ref terms(packed(s->terms));
    if (!terms) return nullptr;
    return Py_BuildValue("(kKddKKOK)", static_cast<unsigned long>(e.target_bits(static_cast<size_t>(target))),
                         static_cast<unsigned long long>(s->count), s->total, s->total_sq,
                         static_cast<unsigned long long>(s->accepted), static_cast<unsigned long long>(s->cut),
                         terms.get(), static_cast<unsigned long long>(s->offered));
  });
}

auto longrun_methods = pass_methods<LongRunPass>({
    {"counts", longrun_counts, METH_NOARGS,
     "counts()\n--\n\n(lines, decisions, resolved, excluded, pending) so far."},
    {"logged", longrun_logged, METH_NOARGS,
     "logged()\n--\n\nThe usable resolutions' seq (int64) and reward (float64) columns, packed."},
    {"run", longrun_run, METH_VARARGS,
     "run(replay, target)\n--\n\n(bits, count, total, total_sq, accepted, cut, terms as packed float64, "
     "offered), "
     "or None before the first decision line."},
});

PassType<LongRunPass> longrun_type("sorvane_cli._native.LongRunPass", longrun_new, longrun_methods.data(),
                                   "The long-run replay of learning targets on an experience log.");

// ---- RewardRowsPass ----------------------------------------------------------

PyObject* rows_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"threads", "batch_lines", nullptr};
  PassOptions options;
  Py_ssize_t threads = 1;
  auto batch_lines = static_cast<Py_ssize_t>(options.batch_lines);
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|nn:RewardRowsPass", const_cast<char**>(names), &threads,
                                   &batch_lines) ||
      !pass_options(threads, batch_lines, options)) {
    return nullptr;
  }
  try {
    return wrap(type, std::make_unique<RewardRowsPass>(options));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* rows_result(PyObject* self, PyObject*) {
  return guarded<RewardRowsPass>(self, [](RewardRowsPass& p) -> PyObject* {
    Ref tokens(PyList_New(0));
    Ref groups(PyList_New(0));
    if (!tokens || !groups) return nullptr;
    for (const std::string& token : p.tokens()) {
      Ref text(py::text(token));
      if (!text || PyList_Append(tokens.get(), text.get()) < 0) return nullptr;
    }
    for (const RewardRows& rows : p.groups()) {
      Ref id(py::text(rows.candidate_id));
      Ref ends(packed(rows.row_ends)), columns(packed(rows.columns)), values(packed(rows.values)),
          rewards(packed(rows.rewards));
      if (!id || !ends || !columns || !values || !rewards) return nullptr;
      Ref group(PyTuple_Pack(5, id.get(), ends.get(), columns.get(), values.get(), rewards.get()));
      if (!group || PyList_Append(groups.get(), group.get()) < 0) return nullptr;
    }
    return Py_BuildValue("(OOdd)", tokens.get(), groups.get(), p.low(), p.high());
  });
}

auto rows_methods = pass_methods<RewardRowsPass>({
    {"result", rows_result, METH_NOARGS,
     "result()\n--\n\n(tokens, [(candidate id, row ends, columns, values, rewards) packed], low, high)."},
});

PassType<RewardRowsPass> rows_type("sorvane_cli._native.RewardRowsPass", rows_new, rows_methods.data(),
                                   "The long-run replay's reward model's rows, gathered from an experience log.");

PyObject* acceptance_draw(PyObject*, PyObject* args) {
  const char* prefix;
  Py_ssize_t prefix_size;
  const char* id;
  Py_ssize_t id_size;
  if (!PyArg_ParseTuple(args, "y#s#:acceptance_uniform", &prefix, &prefix_size, &id, &id_size)) return nullptr;
  return PyFloat_FromDouble(acceptance_uniform(std::string_view(prefix, static_cast<size_t>(prefix_size)),
                                               std::string_view(id, static_cast<size_t>(id_size))));
}

PyMethodDef draw_methods[] = {
    {"acceptance_uniform", acceptance_draw, METH_VARARGS,
     "acceptance_uniform(prefix, decision_id)\n--\n\nThe long-run replay's acceptance draw for the id (UTF-8)."},
    {nullptr, nullptr, 0, nullptr},
};

int add_type(PyObject* module, const char* name, PyType_Spec* spec) {
  Ref type(PyType_FromSpec(spec));
  if (!type) return -1;
  if (PyModule_AddObject(module, name, type.get()) < 0) return -1;
  type.release();
  return 0;
}

int module_exec(PyObject* module) {
  if (add_type(module, "LogReplay", &replay_type.spec) < 0) return -1;
  if (add_line_reader(module) < 0) return -1;
  if (add_log_columns(module) < 0) return -1;
  if (add_joint_model_type(module) < 0) return -1;
  if (add_type(module, "LongRunPass", &longrun_type.spec) < 0) return -1;
  if (PyModule_AddFunctions(module, draw_methods) < 0) return -1;
  if (add_type(module, "RewardRowsPass", &rows_type.spec) < 0) return -1;
  return add_type(module, "LogEvaluation", &evaluation_type.spec);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native", "The toolkit's native replay of the experience log.", 0, nullptr,
    module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace sorvane::toolkit

extern "C" PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&sorvane::toolkit::module_def); }
