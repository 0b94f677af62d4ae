// The HTTP stand-in: requests, responses, transport errors and the transport interface.
//
// A Request names its method, URL, ordered header fields, idle time-out and redirect policy.
// An HttpTransport sends it and streams the answer to two callbacks; the real transport is
// libcurl (curl_transport.hpp), tests may wrap it or put a fake in its place. Failures of the
// transfer itself (no connection, lost connection, time-out, cancellation) are one
// TransportError type with a code and a readable description; HTTP status codes are never
// errors at this level. Used by the hub client and its downloader.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/sys/error.hpp"

namespace platform::net {

enum class Method { get, head };

// "GET" or "HEAD".
std::string_view methodName(Method method);

// True when `a` and `b` are equal ignoring ASCII case (header names).
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// Thrown by Request::setHeader (and by transports for requests built by hand) for a header
// name that is empty or holds characters outside a token, or a value holding CR, LF or NUL.
class InvalidHeaderError : public std::invalid_argument {
 public:
  explicit InvalidHeaderError(const std::string& name) : std::invalid_argument("Invalid HTTP header field: " + name) {}
};

// Throws InvalidHeaderError when the field cannot be sent as given.
void validateHeaderField(std::string_view name, std::string_view value);

// Ordered header fields; lookup by name ignores case. Plain value, not synchronised.
class Headers {
 public:
  using Field = std::pair<std::string, std::string>;

  // The value of the first field named `name`, or nullopt.
  std::optional<std::string> value(std::string_view name) const;
  bool contains(std::string_view name) const { return value(name).has_value(); }
  // Appends a field (no validation; transports validate before sending).
  void add(std::string name, std::string value);
  // Replaces every field named `name` by one field at the place of the first, or appends.
  void set(std::string name, std::string value);
  void remove(std::string_view name);
  void clear() { fields_.clear(); }

  const std::vector<Field>& fields() const { return fields_; }
  bool empty() const { return fields_.empty(); }

 private:
  std::vector<Field> fields_;
};

struct Request {
  Method method = Method::get;
  std::string url;
  Headers headers;
  // Idle time-out: the longest wait for a connection and the longest stretch without any
  // received byte. There is no limit on the total duration of a transfer.
  std::chrono::milliseconds idleTimeout{60'000};
  // Follow 3xx answers with a Location (at most 10 hops), or deliver them as the response.
  bool followRedirects = true;

  Request() = default;
  Request(Method m, std::string u) : method(m), url(std::move(u)) {}

  // Sets (replaces) a header field. Throws InvalidHeaderError for a value with CR or LF.
  void setHeader(std::string name, std::string value);
};

struct Response {
  int statusCode = 0;
  Headers headers;  // of the final answer only
  std::string url;  // effective URL after any followed redirects
};

enum class TransportErrorCode {
  notConnectedToInternet,
  networkConnectionLost,
  timedOut,
  cannotFindHost,
  cannotConnectToHost,
  cancelled,
  other,
};

// A failure of the transfer (not an HTTP status). what() is the readable description, which is
// also the error's payload: message() and description() give the same text. Seen through
// platform::sys::Error its domain is "platform.net.TransportError" and its case name is the
// code's name ("timedOut"); code() here gives the code itself.
class TransportError : public platform::sys::ErrorWithCase<TransportErrorCode> {
 public:
  TransportError(TransportErrorCode code, const std::string& description);

  TransportErrorCode code() const noexcept { return errorCase(); }
  std::string localizedDescription() const { return what(); }
};

// The code's name as the enumeration spells it ("notConnectedToInternet", ...).
const char* caseName(TransportErrorCode code);

// The standard description of a code ("The request timed out.", ...).
std::string_view describe(TransportErrorCode code);

// Called once with the final answer's status and headers before any body byte; returning
// false ends the transfer without reading the body.
using ResponseHandler = std::function<bool(const Response&)>;
// Called with each piece of the body in order; returning false ends the transfer.
using DataHandler = std::function<bool(std::span<const std::byte>)>;

struct StreamResult {
  Response response;
  // False when a handler ended the transfer early.
  bool completed = true;
};

// Sends requests. Implementations are thread-safe: any number of transfers may run at once.
class HttpTransport {
 public:
  virtual ~HttpTransport() = default;

  // Sends `request` and streams the answer: `onResponse` once, then `onData` per piece. Both
  // run on the calling thread. An exception thrown by a handler ends the transfer and leaves
  // stream() unchanged. Throws TransportError for transfer failures (code `cancelled` when
  // `stopToken` is triggered; the transfer ends promptly) and InvalidHeaderError for a header
  // that cannot be sent. Returns the final answer (for HEAD: no body).
  virtual StreamResult stream(const Request& request, const ResponseHandler& onResponse, const DataHandler& onData,
                              std::stop_token stopToken = {}) = 0;
};

struct FetchResult {
  Response response;
  std::string body;
};

// Sends `request` through `transport` and gathers the whole body in memory. Errors as stream().
FetchResult fetch(HttpTransport& transport, const Request& request, std::stop_token stopToken = {});

}  // namespace platform::net
