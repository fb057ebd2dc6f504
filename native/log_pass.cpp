#include "log_pass.hpp"

namespace sorvane::toolkit {

void LogPass::decline(const char* why) {
  if (declined_) return;
  declined_ = true;
  declined_line_ = lines_;
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
  if (!lines_in_.feed(bytes, [this](std::string_view text) { return line(text); }) && lines_in_.too_long()) {
    ++lines_;
    decline("a line is longer than the bound");
  }
  return !declined_;
}

void LogPass::finish() {
  if (declined_) return;
  lines_in_.finish([this](std::string_view text) { return line(text); });
  if (!declined_ && lines_ == 0) decline("the log is empty");
}

bool LogPass::line(std::string_view text) {
  ++lines_;
  switch (reader_.read(text)) {
    case LineKind::decision:
      decision(reader_.decision());
      break;
    case LineKind::resolution:
      resolution(reader_.resolution());
      break;
    case LineKind::declined:
      decline(reader_.why());
      break;
  }
  return !declined_;
}

}  // namespace sorvane::toolkit
