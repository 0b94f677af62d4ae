#include "platform/ipc/wire.hpp"

#include <cstring>
#include <exception>

#include "platform/text/text.hpp"

namespace platform::ipc {
namespace {

constexpr std::size_t kHeaderSize = 4;

std::uint32_t readBigEndian(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return (std::uint32_t{u[0]} << 24) | (std::uint32_t{u[1]} << 16) | (std::uint32_t{u[2]} << 8) | std::uint32_t{u[3]};
}

// An id member in 1..2^53-1, read from an integral JSON number.
std::optional<std::uint64_t> readId(const json::Json& object) {
  auto it = object.find("id");
  if (it == object.end()) return std::nullopt;
  if (it->is_number_unsigned()) {
    const auto v = it->get<std::uint64_t>();
    if (v >= 1 && v <= kMaximumCallId) return v;
    return std::nullopt;
  }
  if (it->is_number_integer()) {
    const auto v = it->get<std::int64_t>();
    if (v >= 1 && static_cast<std::uint64_t>(v) <= kMaximumCallId) return static_cast<std::uint64_t>(v);
  }
  return std::nullopt;
}

std::optional<std::string> readString(const json::Json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

}  // namespace

std::string encodeFrame(std::string_view body, std::uint32_t limit) {
  if (body.size() > limit) {
    throw IpcError(IpcErrorCase::overLimit, std::to_string(body.size()) + " bytes, limit " + std::to_string(limit));
  }
  const auto n = static_cast<std::uint32_t>(body.size());
  std::string frame;
  frame.reserve(kHeaderSize + body.size());
  frame.push_back(static_cast<char>((n >> 24) & 0xff));
  frame.push_back(static_cast<char>((n >> 16) & 0xff));
  frame.push_back(static_cast<char>((n >> 8) & 0xff));
  frame.push_back(static_cast<char>(n & 0xff));
  frame.append(body);
  return frame;
}

void FrameReader::append(std::string_view bytes) {
  if (broken_) return;
  if (offset_ > 0 && offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
  } else if (offset_ > (1u << 20) && offset_ * 2 > buffer_.size()) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
  buffer_.append(bytes);
}

FrameReader::Result FrameReader::next() {
  if (broken_) return *broken_;
  const std::size_t available = buffer_.size() - offset_;
  if (available < kHeaderSize) return NeedMore{};
  const std::uint32_t length = readBigEndian(buffer_.data() + offset_);
  if (length == 0) {
    broken_ = BadHeader{IpcErrorCase::malformedMessage, length};
    return *broken_;
  }
  if (length > limit_) {
    broken_ = BadHeader{IpcErrorCase::overLimit, length};
    return *broken_;
  }
  if (available - kHeaderSize < length) {
    if (buffer_.capacity() < offset_ + kHeaderSize + length) buffer_.reserve(offset_ + kHeaderSize + length);
    return NeedMore{};
  }
  std::string body = buffer_.substr(offset_ + kHeaderSize, length);
  offset_ += kHeaderSize + length;
  return body;
}

Decoded decodeMessage(std::string_view body) {
  json::Json value;
  try {
    value = json::parse(body);
  } catch (const json::JsonError& e) {
    // The parser's message quotes the bytes it read, which need not be UTF-8.
    return MessageFault{std::nullopt, IpcErrorCase::malformedMessage, "not JSON: " + text::repairUtf8(e.what())};
  }
  if (!value.is_object()) {
    return MessageFault{std::nullopt, IpcErrorCase::malformedMessage, "not a JSON object"};
  }
  const auto id = readId(value);
  const auto kind = readString(value, "kind");
  const auto fault = [&](IpcErrorCase code, std::string reason) {
    return MessageFault{id, code, std::move(reason), kind && *kind == "error"};
  };
  if (!kind) return fault(IpcErrorCase::malformedMessage, "no kind");

  Message m;
  m.id = id;
  if (*kind == "hello") {
    m.kind = MessageKind::hello;
    auto v = value.find("version");
    if (v != value.end() && v->is_number_integer() &&
        !(v->is_number_unsigned() && v->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX))) {
      m.version = v->get<std::int64_t>();
    }
    m.exports = readString(value, "exports");
    m.id.reset();  // a hello answers nothing and is never answered
    return m;
  }
  if (*kind == "call" || *kind == "oneway") {
    const bool isCall = *kind == "call";
    m.kind = isCall ? MessageKind::call : MessageKind::oneway;
    if (isCall && !id) return fault(IpcErrorCase::malformedMessage, "call without a valid id");
    auto method = readString(value, "method");
    if (!method) return fault(IpcErrorCase::malformedMessage, "no method");
    m.method = std::move(*method);
    auto args = value.find("args");
    if (args == value.end() || !args->is_object()) return fault(IpcErrorCase::invalidArguments, "args not an object");
    m.args = std::move(*args);
    if (!isCall) m.id.reset();
    return m;
  }
  if (*kind == "reply") {
    m.kind = MessageKind::reply;
    if (!id) return fault(IpcErrorCase::malformedMessage, "reply without a valid id");
    auto result = value.find("result");
    if (result != value.end()) m.result = std::move(*result);
    return m;
  }
  if (*kind == "error") {
    m.kind = MessageKind::error;
    auto idMember = value.find("id");
    if (!id && idMember != value.end() && !idMember->is_null()) {
      return fault(IpcErrorCase::malformedMessage, "error with an invalid id");
    }
    auto error = value.find("error");
    auto record = error == value.end() ? std::nullopt : ErrorRecord::fromJson(*error);
    if (!record) return fault(IpcErrorCase::malformedMessage, "error without a valid error record");
    m.error = std::move(*record);
    return m;
  }
  return fault(IpcErrorCase::malformedMessage, "unknown kind \"" + *kind + "\"");
}

json::Json helloMessage(const std::optional<std::string>& exports) {
  json::Json j = json::Json::object();
  j["kind"] = "hello";
  j["version"] = kProtocolVersion;
  j["exports"] = exports ? json::Json(*exports) : json::Json(nullptr);
  return j;
}

json::Json callMessage(std::uint64_t id, std::string_view method, json::Json args) {
  json::Json j = json::Json::object();
  j["kind"] = "call";
  j["id"] = id;
  j["method"] = std::string(method);
  j["args"] = std::move(args);
  return j;
}

json::Json replyMessage(std::uint64_t id, json::Json result) {
  json::Json j = json::Json::object();
  j["kind"] = "reply";
  j["id"] = id;
  j["result"] = std::move(result);
  return j;
}

json::Json errorMessage(std::optional<std::uint64_t> id, const ErrorRecord& error) {
  json::Json j = json::Json::object();
  j["kind"] = "error";
  j["id"] = id ? json::Json(*id) : json::Json(nullptr);
  j["error"] = error.toJson();
  return j;
}

json::Json onewayMessage(std::string_view method, json::Json args) {
  json::Json j = json::Json::object();
  j["kind"] = "oneway";
  j["method"] = std::string(method);
  j["args"] = std::move(args);
  return j;
}

std::string encodeMessage(const json::Json& message, std::uint32_t limit) {
  std::string text;
  try {
    text = json::dump(message);
  } catch (const json::JsonError& e) {
    throw IpcError(IpcErrorCase::malformedMessage, std::string("cannot be written: ") + e.what());
  }
  return encodeFrame(text, limit);
}

ErrorAnswer encodeErrorAnswer(std::optional<std::uint64_t> id, const ErrorRecord& error, std::uint32_t limit) {
  ErrorAnswer answer;
  try {
    answer.frame = encodeMessage(errorMessage(id, error), limit);
    return answer;
  } catch (const std::exception& e) {
    answer.problem = e.what();
  }
  try {
    const ErrorRecord replacement{text::repairUtf8(error.domain), error.code, kUnwritableDescription};
    answer.frame = encodeMessage(errorMessage(id, replacement), limit);
  } catch (const std::exception& e) {
    answer.problem += std::string("; ") + e.what();
  }
  return answer;
}

}  // namespace platform::ipc
