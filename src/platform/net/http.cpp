#include "platform/net/http.hpp"

#include <algorithm>
#include <cctype>

namespace platform::net {

std::string_view methodName(Method method) { return method == Method::head ? "HEAD" : "GET"; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

void validateHeaderField(std::string_view name, std::string_view value) {
  bool nameOk = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u > 0x20 && u < 0x7f && c != ':' && c != '(' && c != ')' && c != '"' && c != ',' && c != ';' && c != '/' &&
           c != '[' && c != ']' && c != '?' && c != '=' && c != '{' && c != '}' && c != '\\' && c != '<' && c != '>' &&
           c != '@';
  });
  bool valueOk = value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
  if (!nameOk || !valueOk) throw InvalidHeaderError(std::string(name));
}

std::optional<std::string> Headers::value(std::string_view name) const {
  for (const auto& [n, v] : fields_) {
    if (equalsIgnoringCase(n, name)) return v;
  }
  return std::nullopt;
}

void Headers::add(std::string name, std::string value) { fields_.emplace_back(std::move(name), std::move(value)); }

void Headers::set(std::string name, std::string value) {
  auto first =
      std::find_if(fields_.begin(), fields_.end(), [&](const Field& f) { return equalsIgnoringCase(f.first, name); });
  if (first == fields_.end()) {
    fields_.emplace_back(std::move(name), std::move(value));
    return;
  }
  first->first = name;
  first->second = std::move(value);
  auto index = first - fields_.begin();
  fields_.erase(std::remove_if(fields_.begin() + index + 1, fields_.end(),
                               [&](const Field& f) { return equalsIgnoringCase(f.first, name); }),
                fields_.end());
}

void Headers::remove(std::string_view name) {
  fields_.erase(
      std::remove_if(fields_.begin(), fields_.end(), [&](const Field& f) { return equalsIgnoringCase(f.first, name); }),
      fields_.end());
}

void Request::setHeader(std::string name, std::string value) {
  validateHeaderField(name, value);
  headers.set(std::move(name), std::move(value));
}

const char* caseName(TransportErrorCode code) {
  switch (code) {
    case TransportErrorCode::notConnectedToInternet:
      return "notConnectedToInternet";
    case TransportErrorCode::networkConnectionLost:
      return "networkConnectionLost";
    case TransportErrorCode::timedOut:
      return "timedOut";
    case TransportErrorCode::cannotFindHost:
      return "cannotFindHost";
    case TransportErrorCode::cannotConnectToHost:
      return "cannotConnectToHost";
    case TransportErrorCode::cancelled:
      return "cancelled";
    case TransportErrorCode::other:
      break;
  }
  return "other";
}

TransportError::TransportError(TransportErrorCode code, const std::string& description)
    : ErrorWithCase("platform.net.TransportError", code, platform::net::caseName(code), description, description) {}

std::string_view describe(TransportErrorCode code) {
  switch (code) {
    case TransportErrorCode::notConnectedToInternet:
      return "The Internet connection appears to be offline.";
    case TransportErrorCode::networkConnectionLost:
      return "The network connection was lost.";
    case TransportErrorCode::timedOut:
      return "The request timed out.";
    case TransportErrorCode::cannotFindHost:
      return "A server with the specified hostname could not be found.";
    case TransportErrorCode::cannotConnectToHost:
      return "Could not connect to the server.";
    case TransportErrorCode::cancelled:
      return "cancelled";
    case TransportErrorCode::other:
      break;
  }
  return "An unknown error occurred.";
}

FetchResult fetch(HttpTransport& transport, const Request& request, std::stop_token stopToken) {
  FetchResult result;
  auto streamed = transport.stream(
      request, [](const Response&) { return true; },
      [&](std::span<const std::byte> data) {
        result.body.append(reinterpret_cast<const char*>(data.data()), data.size());
        return true;
      },
      std::move(stopToken));
  result.response = std::move(streamed.response);
  return result;
}

}  // namespace platform::net
