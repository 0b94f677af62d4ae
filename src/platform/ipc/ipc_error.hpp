// Errors of the inter-process connection layer and the error record that crosses a connection.
//
// IpcError is the layer's own error enumeration (domain "platform.ipc"); codes 1 to 5 are the
// ones a peer may receive in an `error` message, the later ones are local set-up failures that
// never travel. ErrorRecord is the {domain, code, description} triple every failure becomes on
// the wire; any platform::sys::Error converts to one. RemoteError carries a record to a caller
// that waits for an answer. All types are plain values, thread-safe as values.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/json/json.hpp"
#include "platform/sys/error.hpp"

namespace platform::ipc {

enum class IpcErrorCase {
  malformedMessage = 1,
  unknownMethod = 2,
  invalidArguments = 3,  // `args` not an object, or an id already in flight
  overLimit = 4,
  tooManyCalls = 5,
  // Local only:
  unsafeSocketFolder = 6,
  socketPathTooLong = 7,
  systemCallFailed = 8,
};

inline constexpr const char* kIpcErrorDomain = "platform.ipc";

class IpcError : public sys::ErrorWithCase<IpcErrorCase> {
 public:
  IpcError(IpcErrorCase errorCase, std::string message);
};

// The error of a failed system call: its name, the errno text and `context`.
IpcError systemCallError(std::string_view call, int errorNumber, std::string_view context = {});

struct ErrorRecord {
  std::string domain;
  std::int64_t code = 0;
  std::string description;

  // The error's triple. Its description may quote text from outside (a peer's bytes, a file
  // name): each invalid UTF-8 sequence in it becomes U+FFFD, so that the record can be sent.
  static ErrorRecord from(const sys::Error& error);
  // The record of any exception: a platform::sys::Error gives its own triple (as from()), a
  // RemoteError its record, anything else {"platform.ipc", 0, what()} (repaired as in from()).
  static ErrorRecord fromException(std::exception_ptr error);

  json::Json toJson() const;
  // The record of an `error` slot; absent when it is not an object with a string `domain`, an
  // integer `code` and a string `description`.
  static std::optional<ErrorRecord> fromJson(const json::Json& value);

  friend bool operator==(const ErrorRecord&, const ErrorRecord&) = default;
};

// The local records of a call the connection ended: the peer went away (interrupted) or the
// connection was invalidated (by invalidate(), a failed launch or a broken stream).
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::int64_t kConnectionInterruptedCode = 4097;
inline constexpr std::int64_t kConnectionInvalidCode = 4099;
ErrorRecord interruptedRecord();
ErrorRecord invalidRecord();

// A call that completed with an error record (from the peer or from the connection itself).
class RemoteError : public std::runtime_error {
 public:
  explicit RemoteError(ErrorRecord record);
  const ErrorRecord& record() const noexcept { return record_; }

 private:
  ErrorRecord record_;
};

}  // namespace platform::ipc
