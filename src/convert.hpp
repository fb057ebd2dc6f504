// Conversion of Python arguments into engine values: the scalar parameters
// of every function, and the context and candidates of decide.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "api.hpp"
#include "handle.hpp"
#include "pyref.hpp"

namespace sorvane::py {

// Each returns false with the interpreter's exception set.
bool to_bits(PyObject* obj, uint32_t& out);
bool to_double(PyObject* obj, double& out);
bool to_text(PyObject* obj, std::string_view& out);  // a view into the str's UTF-8 cache
bool to_state(PyObject* obj, StateObject*& out);
bool to_dict(PyObject* obj);

// Adds the note "while processing 'NAME'" to the pending exception.
void note_parameter(const char* name);

// A sequence of numbers returned by a callback, as doubles. False (and the
// exception discarded) for a str, a non-sequence, or an element that does
// not convert.
bool to_double_list(PyObject* obj, std::vector<double>& out);

// The context and candidates of one decide call, read into owned text: the
// engine's views point into `text`, which nothing changes once reading ends.
class DecideInputs {
 public:
  // Reads the candidates, then the context, then each candidate's features,
  // raising the first error.
  bool read(PyObject* context, PyObject* candidates);

  std::span<const sorvane::NamedFeature> context() const { return {named_.data(), context_size_}; }
  std::span<const sorvane::Candidate> candidates() const { return candidates_; }

  // A reusable instance: decisions reuse their buffers, and a callback that
  // makes a decision of its own gets a separate one.
  static std::unique_ptr<DecideInputs> acquire();
  static void recycle(std::unique_ptr<DecideInputs> inputs);

 private:
  struct Span {
    size_t offset;
    size_t size;
  };
  struct Feature {
    Span name;
    sorvane::FeatureKind kind;
    double number;
    Span text;
  };
  bool read_candidates(PyObject* candidates);
  bool read_features(PyObject* dict);
  bool append_text(PyObject* str, Span& out);
  void build_views();

  std::string text_;
  std::vector<Feature> features_;
  std::vector<Span> ids_;
  std::vector<size_t> feature_ends_;  // per candidate, into features_
  std::vector<Ref> dicts_;
  size_t context_size_ = 0;
  std::vector<sorvane::NamedFeature> named_;
  std::vector<sorvane::Candidate> candidates_;
};

}  // namespace sorvane::py
