// The result classes DecisionRecord and Resolution: read-only Python views of
// engine records, created only by the module.
#pragma once

#include <cstdint>
#include <optional>

#include "api.hpp"
#include "pyref.hpp"

namespace sorvane::py {

struct RecordObject {
  PyObject_HEAD
  sorvane::DecisionRecord record;
  // The inputs the decision was made over: all present (a record from
  // decide) or all absent (a record handed to a train callback).
  bool has_inputs;
  uint32_t bits;
  PyObject* context;
  PyObject* candidates;
};

struct ResolutionObject {
  PyObject_HEAD
  sorvane::Resolution resolution;
  // The class allows a resolution without a reward (it reads as None and
  // logs as null); every one learn and expire make carries its reward, so
  // new_resolution always sets this.
  bool has_reward;
};

// Create both classes once per process; return borrowed references.
PyTypeObject* record_type();
PyTypeObject* resolution_type();

// A record from decide: takes new references to context and candidates.
PyObject* new_decision_record(sorvane::DecisionRecord&& record, uint32_t bits, PyObject* context,
                              PyObject* candidates);
// A record for a train callback: a copy, with no inputs.
PyObject* new_compact_record(const sorvane::DecisionRecord& record);
PyObject* new_resolution(sorvane::Resolution&& resolution);

// Python values of record fields, shared with the log line.
PyObject* features_list(const sorvane::SparseVector& features);
PyObject* kind_text(sorvane::ResolutionKind kind);

}  // namespace sorvane::py
