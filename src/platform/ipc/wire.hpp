// The wire format of a connection: frames and the messages they carry.
//
// A frame is a 4-byte big-endian body length (1 to the limit) followed by the body, the UTF-8
// JSON text of one object. The object's `kind` is "hello", "call", "reply", "error" or
// "oneway" (docs/ipc.md). FrameReader cuts a byte stream into frame bodies; decodeMessage turns
// one body into a Message or says why it cannot, with the id when one was readable. Both are
// pure (no I/O) so that they can be fuzzed and fed from case files. Not thread-safe per object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/ipc/ipc_error.hpp"
#include "platform/json/json.hpp"

namespace platform::ipc {

inline constexpr std::uint32_t kDefaultFrameLimit = 64u << 20;  // 64 MiB
inline constexpr std::uint64_t kMaximumCallId = (std::uint64_t{1} << 53) - 1;
inline constexpr int kProtocolVersion = 1;

// The frame of `body`. Throws IpcError(overLimit) when the body is longer than `limit`.
std::string encodeFrame(std::string_view body, std::uint32_t limit = kDefaultFrameLimit);

class FrameReader {
 public:
  explicit FrameReader(std::uint32_t limit = kDefaultFrameLimit) : limit_(limit) {}

  // A frame header that the stream must not go on after: length 0 (malformedMessage) or over
  // the limit (overLimit).
  struct BadHeader {
    IpcErrorCase code;
    std::uint32_t length;
  };
  struct NeedMore {};
  using Result = std::variant<std::string, NeedMore, BadHeader>;

  void append(std::string_view bytes);
  // The next complete body, NeedMore, or BadHeader (after which the reader stays broken and
  // returns the same BadHeader).
  Result next();
  // True when bytes of an unfinished frame (header or body) are buffered: a stream that ends
  // now ends inside a frame.
  bool insideFrame() const { return buffer_.size() > offset_; }

 private:
  std::uint32_t limit_;
  std::string buffer_;
  std::size_t offset_ = 0;
  std::optional<BadHeader> broken_;
};

enum class MessageKind { hello, call, reply, error, oneway };

struct Message {
  MessageKind kind = MessageKind::hello;
  std::optional<std::uint64_t> id;      // call, reply, error (absent: an error about no call)
  std::string method;                   // call, oneway
  json::Json args;                      // call, oneway: an object
  std::optional<json::Json> result;     // reply (absent: the method's empty answer)
  ErrorRecord error;                    // error
  std::optional<std::int64_t> version;  // hello (absent when not an integer)
  std::optional<std::string> exports;   // hello (absent: null)
};

// Why a body is not a usable message.
struct MessageFault {
  std::optional<std::uint64_t> id;  // the id when it was readable
  IpcErrorCase code;                // malformedMessage or invalidArguments
  std::string reason;                // valid UTF-8
  bool kindIsError = false;  // the body claimed to be an `error` (never answered, no loops)
};

using Decoded = std::variant<Message, MessageFault>;
Decoded decodeMessage(std::string_view body);

// JSON bodies of the five kinds. `id` values must lie in 1..kMaximumCallId.
json::Json helloMessage(const std::optional<std::string>& exports);
json::Json callMessage(std::uint64_t id, std::string_view method, json::Json args);
json::Json replyMessage(std::uint64_t id, json::Json result);
json::Json errorMessage(std::optional<std::uint64_t> id, const ErrorRecord& error);
json::Json onewayMessage(std::string_view method, json::Json args);

// The frame of a message. Throws IpcError(overLimit) over `limit`, IpcError(malformedMessage)
// when the value cannot be written as JSON (a non-finite number, invalid UTF-8).
std::string encodeMessage(const json::Json& message, std::uint32_t limit = kDefaultFrameLimit);

// The description an `error` answer carries when the record's own cannot be written.
inline constexpr const char* kUnwritableDescription = "The error's description could not be sent.";

// The frame of an `error` answer, for the paths that must answer whatever the record holds.
struct ErrorAnswer {
  std::optional<std::string> frame;  // absent: not even the replacement fits the limit
  std::string problem;               // why the record did not go out as it stands; empty when it did
};
// Throws nothing but std::bad_alloc. A record that cannot be written as it stands (text that is not UTF-8, a frame
// over `limit`) is answered with its domain (repaired as UTF-8), its code and
// kUnwritableDescription, and `problem` says why; when not even that fits `limit`, `frame` is
// absent and the caller ends the connection.
ErrorAnswer encodeErrorAnswer(std::optional<std::uint64_t> id, const ErrorRecord& error,
                              std::uint32_t limit = kDefaultFrameLimit);

}  // namespace platform::ipc
