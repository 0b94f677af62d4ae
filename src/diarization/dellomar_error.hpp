// DellomarError: the one error type of the diarization library.
//
// Four cases, each carrying a message; description() and what() are the message unchanged, so a
// caller that shows the error shows exactly the text the raiser wrote. Model wrappers turn the
// runtime's load failures into modelUnavailable (naming the model file and the runtime's reason)
// and its prediction failures into invalidModelOutput. Plain exception value; thread-safe.
#pragma once

#include <string>
#include <utility>

#include "platform/sys/error.hpp"

namespace dellomar {

enum class DellomarErrorCase { modelUnavailable, invalidConfiguration, invalidModelOutput, generic };

class DellomarError : public platform::sys::ErrorWithCase<DellomarErrorCase> {
 public:
  using Case = DellomarErrorCase;

  static DellomarError modelUnavailable(std::string message) {
    return DellomarError(Case::modelUnavailable, "modelUnavailable", std::move(message));
  }
  static DellomarError invalidConfiguration(std::string message) {
    return DellomarError(Case::invalidConfiguration, "invalidConfiguration", std::move(message));
  }
  static DellomarError invalidModelOutput(std::string message) {
    return DellomarError(Case::invalidModelOutput, "invalidModelOutput", std::move(message));
  }
  static DellomarError generic(std::string message) {
    return DellomarError(Case::generic, "generic", std::move(message));
  }

  // The message itself.
  std::string errorDescription() const { return message(); }

  friend bool operator==(const DellomarError& a, const DellomarError& b) {
    return a.errorCase() == b.errorCase() && a.message() == b.message();
  }

 private:
  DellomarError(Case errorCase, const char* caseName, std::string message)
      : ErrorWithCase("DellomarError", errorCase, caseName, message, message) {}
};

}  // namespace dellomar
