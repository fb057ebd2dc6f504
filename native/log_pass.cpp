#include "log_pass.hpp"

#include <algorithm>
#include <span>

namespace sorvane::toolkit {

namespace {

// A batch also ends once it holds this many bytes of lines.
constexpr size_t kBatchBytes = size_t{1} << 20;
// Lines a thread takes at once: about four decisions in a log that resolves
// each, whose fingerprints are made side by side.
constexpr size_t kGroupLines = 8;

}  // namespace

LogPass::LogPass(PassOptions options) : options_(options), pool_(options.threads) {
  if (options_.batch_lines == 0) options_.batch_lines = 1;
}

// pool_ goes first: its helpers finish the batch they may still be reading
// and stop before the batches and workers go.
LogPass::~LogPass() = default;

void LogPass::decline(const char* why) { decline_at(lines_, why); }

void LogPass::decline_at(uint64_t line, const char* why) {
  if (declined_) return;
  declined_ = true;
  declined_line_ = line;
  reason_ = why;
  lines_in_.clear();
}

std::optional<std::pair<BanditState, uint32_t>> LogPass::load_saved_state(const std::string& text) {
  Result<BanditState> state = deserialize(text);
  if (!state.ok()) {
    decline("the state the log continues from does not load");
    return std::nullopt;
  }
  Result<uint32_t> bits = model_bits(state.value());
  if (!bits.ok()) {
    decline("the state the log continues from has no bits");
    return std::nullopt;
  }
  return std::pair<BanditState, uint32_t>(std::move(state.value()), bits.value());
}

bool LogPass::feed(std::string_view bytes) {
  if (declined_) return false;
  if (!lines_in_.feed(bytes, [this](std::string_view text) { return add_line(text); }) && lines_in_.too_long()) {
    // The lines before the long one come first: one of them may decline.
    drain();
    if (!declined_) {
      ++lines_;
      decline("a line is longer than the bound");
    }
  }
  return !declined_;
}

void LogPass::finish() {
  if (!declined_) lines_in_.finish([this](std::string_view text) { return add_line(text); });
  drain();
  if (!declined_ && lines_ == 0) decline("the log is empty");
}

void LogPass::skip_line() {
  drain();
  ++lines_;
}

bool LogPass::add_line(std::string_view text) {
  filling_->text.append(text);
  filling_->ends.push_back(filling_->text.size());
  if (filling_->size() >= options_.batch_lines || filling_->text.size() >= kBatchBytes) advance();
  return !declined_;
}

void LogPass::advance() {
  try {
    if (in_flight_) {
      in_flight_ = false;
      pool_.finish();
    }
    std::swap(ready_, reading_);
    std::swap(reading_, filling_);
    filling_->text.clear();
    filling_->ends.clear();
    // A batch that once held a huge line gives its memory back.
    if (filling_->text.capacity() > 4 * kBatchBytes) filling_->text.shrink_to_fit();
    Batch& batch = *reading_;
    if (declined_) {
      batch.text.clear();
      batch.ends.clear();
    } else if (batch.size() > 0) {
      if (batch.ready.size() < batch.size()) batch.ready.resize(batch.size());
      while (workers_.size() < pool_.threads()) workers_.push_back(std::make_unique<LineWorker>());
      const size_t groups = (batch.size() + kGroupLines - 1) / kGroupLines;
      pool_.start(groups, [this, &batch](size_t group, size_t thread) {
        LineWorker& worker = *workers_[thread];
        const size_t begin = group * kGroupLines;
        const size_t end = std::min(batch.size(), begin + kGroupLines);
        for (size_t i = begin; i < end; ++i)
          worker.read(batch.line(i), more_bits_, batch.ready[i], options_.context_tokens,
                      options_.hash_candidates);
        worker.fingerprint(std::span<ReadyLine>(batch.ready.data() + begin, end - begin));
      });
      in_flight_ = true;
    }
    step_ready();
  } catch (...) {
    // Memory ran out here or in a helper: what was read ahead may be half
    // made, so nothing more is stepped.
    declined_ = true;
    declined_line_ = lines_;
    throw;
  }
}

void LogPass::step_ready() {
  Batch& batch = *ready_;
  for (size_t i = 0; i < batch.size() && !declined_; ++i) {
    ++lines_;
    const ReadyLine& line = batch.ready[i];
    switch (line.kind) {
      case LineKind::decision:
        decision(line.decision);
        break;
      case LineKind::resolution:
        resolution(line.resolution);
        break;
      case LineKind::declined:
        decline(line.why);
        break;
    }
  }
  stepped();
  batch.text.clear();
  batch.ends.clear();
}

void LogPass::drain() {
  // The full batch starts being read while the ready one is stepped, then
  // is stepped itself.
  advance();
  advance();
}

}  // namespace sorvane::toolkit
