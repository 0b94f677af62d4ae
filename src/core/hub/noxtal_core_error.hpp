// NoxtalCoreError: the core library's configuration error, thrown by the model manager when it
// refuses a request (no model path, an operation not allowed in the current state).
//
// One case; what() and errorDescription() give the message unchanged. Plain exception value;
// thread-safe as a value.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace noxtal {

class NoxtalCoreError : public std::exception {
 public:
  enum class Case { invalidConfiguration };

  static NoxtalCoreError invalidConfiguration(std::string message) {
    return NoxtalCoreError(Case::invalidConfiguration, std::move(message));
  }

  Case errorCase() const { return case_; }
  const std::string& message() const { return message_; }
  std::string errorDescription() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  NoxtalCoreError(Case c, std::string message) : case_(c), message_(std::move(message)) {}

  Case case_;
  std::string message_;
};

}  // namespace noxtal
