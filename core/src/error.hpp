// Errors are values: every engine operation returns its result or one
// EngineError carrying a fixed English message. Nothing throws across the
// engine's boundary except std::bad_alloc when memory runs out.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace sorvane {

struct EngineError {
  std::string message;
};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(EngineError error) : v_(std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  EngineError& error() { return std::get<1>(v_); }

 private:
  std::variant<T, EngineError> v_;
};

struct Ok {};
using Status = Result<Ok>;

inline EngineError fail(const char* message) { return EngineError{message}; }

}  // namespace sorvane
