// The one base of every error enumeration in the project.
//
// Each library's error type (the hub client's, the downloader's, the speech library's, the
// tokenizers', the diarizer's, the worker's) is an exception class with a case enumeration and
// a payload. They all derive from Error, which holds what every one of them has: the case (as
// its index in the enumeration and its name), the payload text and the fixed description that
// what() returns. Code that must treat any of them alike (the IPC worker turning an error into
// an error record, a log line) reads them through this base.
//
// Errors are plain values: copyable, immutable after construction, thread-safe as values.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <utility>

namespace platform::sys {

class Error : public std::exception {
 public:
  // The error type's name as peers know it ("WhisperError", "Hub.HubClientError"). A string
  // with static storage.
  std::string_view domain() const noexcept { return domain_; }
  // The case's index in its enumeration, counted from 0 in declaration order.
  int code() const noexcept { return code_; }
  // The case's name as the enumeration spells it ("fileNotFound"). Static storage.
  std::string_view caseName() const noexcept { return caseName_; }
  // The case's payload text; empty for cases without one.
  const std::string& message() const noexcept { return message_; }
  // The fixed description of the case with its payload.
  const std::string& description() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 protected:
  // `domain` and `caseName` must have static storage (string literals).
  Error(const char* domain, int code, const char* caseName, std::string message, std::string description)
      : domain_(domain),
        code_(code),
        caseName_(caseName),
        message_(std::move(message)),
        description_(std::move(description)) {}

 private:
  const char* domain_;
  int code_;
  const char* caseName_;
  std::string message_;
  std::string description_;
};

// An Error whose case is the enumeration `Case`. Derived classes pass the case, its name, the
// payload and the description; errorCase() gives the case back.
template <class Case>
class ErrorWithCase : public Error {
 public:
  Case errorCase() const noexcept { return static_cast<Case>(code()); }

 protected:
  ErrorWithCase(const char* domain, Case errorCase, const char* caseName, std::string message,
                std::string description)
      : Error(domain, static_cast<int>(errorCase), caseName, std::move(message), std::move(description)) {}
};

}  // namespace platform::sys
