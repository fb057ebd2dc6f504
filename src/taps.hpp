// The host's callables as engine taps. A callable's exception never passes
// through the engine: the tap keeps it aside in the call's CallbackErrorSlot,
// reports a plain failure text, and the module raises the very exception
// object once the engine has returned.
#pragma once

#include "api.hpp"
#include "pyref.hpp"

namespace sorvane::py {

class CallbackErrorSlot {
 public:
  // Takes the pending exception. A PanicException is not stored as a
  // callback error: it abandons the whole call.
  void take_pending();
  bool empty() const { return !value_ && !panic_; }
  // Raises what the slot holds (the callable's own exception, or a new
  // PanicException after writing the abandoned one to standard error) and
  // empties it. Returns nullptr for the caller to return.
  PyObject* raise();

 private:
  Ref value_;   // normalised exception with its traceback
  Ref panic_;
};

class PyScoreTap final : public sorvane::ScoreTap {
 public:
  PyScoreTap(PyObject* callable, PyObject* context, PyObject* candidates, CallbackErrorSlot& slot)
      : callable_(callable), context_(context), candidates_(candidates), slot_(slot) {}
  sorvane::Status score(const sorvane::CandidateVectors& vectors,
                        std::vector<double>& estimates) override;

 private:
  PyObject* callable_;
  PyObject* context_;
  PyObject* candidates_;
  CallbackErrorSlot& slot_;
};

class PyExploreTap final : public sorvane::ExploreTap {
 public:
  PyExploreTap(PyObject* callable, CallbackErrorSlot& slot) : callable_(callable), slot_(slot) {}
  sorvane::Status explore(std::span<const double> estimates, double epsilon,
                          std::vector<double>& probabilities) override;

 private:
  PyObject* callable_;
  CallbackErrorSlot& slot_;
};

class PyTrainTap final : public sorvane::TrainTap {
 public:
  PyTrainTap(PyObject* callable, CallbackErrorSlot& slot) : callable_(callable), slot_(slot) {}
  sorvane::Status train(const sorvane::DecisionRecord& record, double reward) override;

 private:
  PyObject* callable_;
  CallbackErrorSlot& slot_;
};

}  // namespace sorvane::py
