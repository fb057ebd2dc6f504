#include "ready_line.hpp"

#include <cmath>

namespace sorvane::toolkit {

void LineWorker::read(std::string_view text, std::span<const uint32_t> more_bits, ReadyLine& out, bool tokens,
                      bool hashing) {
  out.kind = reader_.read(text);
  out.why = reader_.why();
  if (out.kind == LineKind::resolution) {
    const ResolutionLine& r = reader_.resolution();
    out.texts.assign(r.decision_id);
    out.resolution = r;
    out.resolution.decision_id = out.texts;
    return;
  }
  if (out.kind != LineKind::decision) return;

  const DecisionLine& d = reader_.decision();
  ReadyDecision& ready = out.decision;
  ready.bits = d.bits;
  ready.candidates = d.candidates.size();
  // The texts are copied first, so that the views below stay put.
  out.texts.assign(d.record.decision_id);
  out.texts.append(d.record.salt);
  const std::string_view texts = out.texts;
  LoggedRecord& record = ready.record;
  record.decision_id = texts.substr(0, d.record.decision_id.size());
  record.salt = texts.substr(d.record.decision_id.size());
  record.t = d.record.t;
  record.candidate_hash = d.record.candidate_hash;
  record.chosen = d.record.chosen;
  record.features.assign(d.record.features.begin(), d.record.features.end());
  record.propensity = d.record.propensity;
  record.model_version = d.record.model_version;

  if (tokens) tokenize(d, ready.tokens);
  ready.hashed_count = 0;
  if (!hashing) return;
  hash(d, d.bits, ready);
  for (uint32_t bits : more_bits) {
    if (bits != d.bits) hash(d, bits, ready);
  }
}

void LineWorker::fingerprint(std::span<ReadyLine> lines) {
  unprinted_.clear();
  for (ReadyLine& line : lines) {
    if (line.kind != LineKind::decision) continue;
    for (size_t k = 0; k < line.decision.hashed_count; ++k) unprinted_.push_back(&line.decision.hashed[k]);
  }
  fingerprint_hashed(unprinted_);
}

void LineWorker::tokenize(const DecisionLine& d, ContextTokens& out) {
  out.text.clear();
  out.ends.clear();
  out.values.clear();
  out.ids.clear();
  out.id_ends.clear();
  const std::span<const NamedFeature> context = d.context();
  for (size_t k = 0; k < context.size(); ++k) {
    const NamedFeature& f = context[k];
    double value = 1.0;
    out.text.append(f.name);
    if (f.value.kind == FeatureKind::absent) {
      out.text.append("=None");
    } else if (f.value.kind == FeatureKind::text) {
      out.text.push_back('=');
      out.text.append(f.value.text);
    } else if (d.booleans[k]) {
      out.text.append(f.value.number != 0.0 ? "=True" : "=False");
    } else if (std::isfinite(f.value.number)) {
      value = f.value.number;
    } else {
      out.text.resize(out.ends.empty() ? 0 : out.ends.back());
      continue;
    }
    out.ends.push_back(out.text.size());
    out.values.push_back(value);
  }
  for (const Candidate& c : d.candidates) {
    out.ids.append(c.id);
    out.id_ends.push_back(out.ids.size());
  }
}

void LineWorker::hash(const DecisionLine& d, uint32_t bits, ReadyDecision& out) {
  if (out.hashed_at(bits) != nullptr) return;
  if (out.hashed.size() == out.hashed_count) out.hashed.emplace_back();
  if (hash_candidates(hasher_, bits, d.context(), d.candidates, out.hashed[out.hashed_count]).ok())
    ++out.hashed_count;
}

}  // namespace sorvane::toolkit
