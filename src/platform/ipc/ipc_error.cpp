#include "platform/ipc/ipc_error.hpp"

#include <cstring>

#include "platform/text/text.hpp"

namespace platform::ipc {
namespace {

const char* nameOf(IpcErrorCase c) {
  switch (c) {
    case IpcErrorCase::malformedMessage:
      return "malformedMessage";
    case IpcErrorCase::unknownMethod:
      return "unknownMethod";
    case IpcErrorCase::invalidArguments:
      return "invalidArguments";
    case IpcErrorCase::overLimit:
      return "overLimit";
    case IpcErrorCase::tooManyCalls:
      return "tooManyCalls";
    case IpcErrorCase::unsafeSocketFolder:
      return "unsafeSocketFolder";
    case IpcErrorCase::socketPathTooLong:
      return "socketPathTooLong";
    case IpcErrorCase::systemCallFailed:
      return "systemCallFailed";
  }
  return "unknown";
}

std::string describe(IpcErrorCase c, const std::string& message) {
  std::string head;
  switch (c) {
    case IpcErrorCase::malformedMessage:
      head = "Malformed message";
      break;
    case IpcErrorCase::unknownMethod:
      head = "Unknown method";
      break;
    case IpcErrorCase::invalidArguments:
      head = "Invalid arguments";
      break;
    case IpcErrorCase::overLimit:
      head = "Message over the size limit";
      break;
    case IpcErrorCase::tooManyCalls:
      head = "Too many calls in flight";
      break;
    case IpcErrorCase::unsafeSocketFolder:
      head = "Unsafe socket folder";
      break;
    case IpcErrorCase::socketPathTooLong:
      head = "Socket path too long";
      break;
    case IpcErrorCase::systemCallFailed:
      head = "System call failed";
      break;
  }
  return message.empty() ? head : head + ": " + message;
}

}  // namespace

IpcError::IpcError(IpcErrorCase errorCase, std::string message)
    : ErrorWithCase(kIpcErrorDomain, errorCase, nameOf(errorCase), message, describe(errorCase, message)) {}

IpcError systemCallError(std::string_view call, int errorNumber, std::string_view context) {
  std::string text(call);
  if (!context.empty()) {
    text.push_back(' ');
    text.append(context);
  }
  text.append(": ");
  text.append(std::strerror(errorNumber));
  return IpcError(IpcErrorCase::systemCallFailed, text);
}

ErrorRecord ErrorRecord::from(const sys::Error& error) {
  return ErrorRecord{std::string(error.domain()), error.code(), text::repairUtf8(error.description())};
}

ErrorRecord ErrorRecord::fromException(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const sys::Error& e) {
    return from(e);
  } catch (const RemoteError& e) {
    return e.record();
  } catch (const std::exception& e) {
    return ErrorRecord{kIpcErrorDomain, 0, text::repairUtf8(e.what())};
  } catch (...) {
    return ErrorRecord{kIpcErrorDomain, 0, "unknown failure"};
  }
}

json::Json ErrorRecord::toJson() const {
  json::Json j = json::Json::object();
  j["domain"] = domain;
  j["code"] = code;
  j["description"] = description;
  return j;
}

std::optional<ErrorRecord> ErrorRecord::fromJson(const json::Json& value) {
  if (!value.is_object()) return std::nullopt;
  auto domain = value.find("domain");
  auto code = value.find("code");
  auto description = value.find("description");
  if (domain == value.end() || !domain->is_string()) return std::nullopt;
  if (code == value.end() || !code->is_number_integer()) return std::nullopt;
  if (description == value.end() || !description->is_string()) return std::nullopt;
  if (code->is_number_unsigned() && code->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
    return std::nullopt;
  }
  return ErrorRecord{domain->get<std::string>(), code->get<std::int64_t>(), description->get<std::string>()};
}

ErrorRecord interruptedRecord() {
  return ErrorRecord{kCocoaErrorDomain, kConnectionInterruptedCode, "The connection to the service was interrupted."};
}

ErrorRecord invalidRecord() {
  return ErrorRecord{kCocoaErrorDomain, kConnectionInvalidCode, "The connection to the service was invalidated."};
}

RemoteError::RemoteError(ErrorRecord record) : std::runtime_error(record.description), record_(std::move(record)) {}

}  // namespace platform::ipc
