// NoxtalCoreError: the core library's configuration error, thrown by the model manager when it
// refuses a request (no model path, an operation not allowed in the current state).
//
// One case; what() and errorDescription() give the message unchanged. Derives from
// platform::sys::ErrorWithCase (domain "NoxtalCoreError"). Plain exception value; thread-safe
// as a value.
#pragma once

#include <string>
#include <utility>

#include "platform/sys/error.hpp"

namespace noxtal {

enum class NoxtalCoreErrorCase { invalidConfiguration };

class NoxtalCoreError : public platform::sys::ErrorWithCase<NoxtalCoreErrorCase> {
 public:
  using Case = NoxtalCoreErrorCase;

  static NoxtalCoreError invalidConfiguration(std::string message) {
    return NoxtalCoreError(Case::invalidConfiguration, "invalidConfiguration", std::move(message));
  }

  std::string errorDescription() const { return message(); }

 private:
  NoxtalCoreError(Case c, const char* caseName, std::string message)
      : ErrorWithCase("NoxtalCoreError", c, caseName, message, message) {}
};

}  // namespace noxtal
