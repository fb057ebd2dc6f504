// A line of the log read, and a decision's candidates hashed, ahead of its
// turn and on any thread: everything the pass's in-order step needs, owned
// by the line. Reading and hashing depend on the line alone, never on the
// state, so lines can be made ready in any order and at once; only the
// decisions and resolutions themselves must follow the log.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hashed_decide.hpp"
#include "log_reader.hpp"

namespace sorvane::toolkit {

// A decision's context as the reward model reads it, and its candidates'
// ids, made only for the passes that ask: a text, true, false or null value
// is the token `name=value` (as Python prints the value) with weight 1, a
// finite number the token `name` with its value; other numbers give none.
struct ContextTokens {
  std::string text;          // the tokens back to back
  std::vector<size_t> ends;  // one past each token's last byte
  std::vector<double> values;
  std::string ids;           // the candidates' ids back to back
  std::vector<size_t> id_ends;

  size_t size() const { return ends.size(); }
  std::string_view token(size_t i) const { return piece(text, ends, i); }
  std::string_view id(size_t i) const { return piece(ids, id_ends, i); }

 private:
  static std::string_view piece(const std::string& all, const std::vector<size_t>& ends, size_t i) {
    const size_t begin = i == 0 ? 0 : ends[i - 1];
    return std::string_view(all).substr(begin, ends[i] - begin);
  }
};

struct ReadyDecision {
  uint32_t bits = 0;        // the line's
  size_t candidates = 0;    // how many the line offers
  LoggedRecord record;      // its texts live in the ReadyLine
  // The candidates hashed at the line's bits and at each further bits the
  // pass asked for, fingerprinted; bits that cannot hash (outside 1..24)
  // have no entry.
  std::vector<HashedCandidates> hashed;
  size_t hashed_count = 0;  // entries in use; the others keep their buffers
  ContextTokens tokens;     // when the pass asked for them

  // The candidates hashed at these bits, or nullptr.
  const HashedCandidates* hashed_at(uint32_t wanted) const {
    for (size_t k = 0; k < hashed_count; ++k)
      if (hashed[k].bits == wanted) return &hashed[k];
    return nullptr;
  }
};

struct ReadyLine {
  LineKind kind = LineKind::declined;
  const char* why = "";  // a declined line's reason
  ReadyDecision decision;
  ResolutionLine resolution;
  std::string texts;  // the decision or resolution's id and salt
};

// One thread's reader and hasher, reused from line to line.
class LineWorker {
 public:
  // Reads `text` into `out`; a decision's candidates are hashed at the
  // line's own bits and at each of `more_bits`. Their fingerprints are left
  // to fingerprint().
  // With `tokens`, the decision's ContextTokens are made too; without
  // `hashing`, its candidates are not hashed at all.
  void read(std::string_view text, std::span<const uint32_t> more_bits, ReadyLine& out, bool tokens = false,
            bool hashing = true);
  // Makes the fingerprints of every decision in `lines`, several side by
  // side: a fingerprint is one long serial chain, and a few lines' chains
  // at once keep the processor busy where one would leave it waiting.
  void fingerprint(std::span<ReadyLine> lines);

 private:
  void hash(const DecisionLine& d, uint32_t bits, ReadyDecision& out);
  static void tokenize(const DecisionLine& d, ContextTokens& out);

  LogReader reader_;
  FeatureHasher hasher_;
  std::vector<HashedCandidates*> unprinted_;
};

}  // namespace sorvane::toolkit
