// Cancellation of long-running operations.
//
// Every operation that can run long takes a trailing std::stop_token (defaulted) and calls
// throwIfStopped at its check points; the single CancellationError type is what callers catch.
#pragma once

#include <stdexcept>
#include <stop_token>

namespace platform::sync {

// Thrown when an operation notices that its stop token was triggered.
class CancellationError : public std::runtime_error {
 public:
  CancellationError() : std::runtime_error("The operation was cancelled.") {}
};

// Throws CancellationError when `token` has a stop request. Thread-safe.
inline void throwIfStopped(const std::stop_token& token) {
  if (token.stop_requested()) throw CancellationError();
}

}  // namespace platform::sync
