// Errors raised by the numeric core. The core never touches Python; the bridge maps
// each kind to the matching Python exception type and passes the message through.
#pragma once

#include <stdexcept>
#include <string>

namespace velmora::core {

enum class ErrorKind { Value, Type, Key, Index, FileNotFound, Import, Runtime, LinAlg };

class Error : public std::runtime_error {
 public:
  Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const noexcept { return kind_; }

 private:
  ErrorKind kind_;
};

[[noreturn]] inline void raise_value(const std::string& message) {
  throw Error(ErrorKind::Value, message);
}
[[noreturn]] inline void raise_linalg(const std::string& message) {
  throw Error(ErrorKind::LinAlg, message);
}

}  // namespace velmora::core
