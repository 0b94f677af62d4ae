// The session through which the hub client sends its metadata (HEAD) requests.
//
// It follows a 3xx answer only when its "Location" is a relative reference with an absolute
// path: the new request goes to the initial request's scheme, host and port with the Location's
// path and query, keeps the initial request's method and every header field, and carries a
// "Location" field with the new absolute URL. Any other 3xx (absolute Location, even on the same
// host; no Location; not a URL) is delivered as the response, so the caller can read its
// headers. At most 10 redirects are followed; the answer after that is returned with
// `redirectLimitReached` set.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "platform/net/http.hpp"

namespace noxtal {

class RedirectDelegate {
 public:
  // The request that follows `response` to `initialRequest`, or nullopt when it is not
  // followed. Pure function; thread-safe.
  static std::optional<platform::net::Request> redirectRequest(const platform::net::Response& response,
                                                               const platform::net::Request& initialRequest);
};

class RedirectSession {
 public:
  static constexpr int maximumRedirects = 10;

  struct Result {
    platform::net::Response response;
    std::string body;
    // True when a followable redirect was still answered after maximumRedirects hops.
    bool redirectLimitReached = false;
  };

  // Sends `request` through `transport` with automatic redirects off and follows relative
  // redirects as above. Errors of the transport pass through unchanged. Thread-safe.
  Result perform(platform::net::HttpTransport& transport, const platform::net::Request& request,
                 std::stop_token stopToken = {}) const;
};

// Holds the process-wide redirect session, made on first request.
class RedirectSessionActor {
 public:
  static RedirectSessionActor& shared();
  // The same session on every call. Thread-safe.
  std::shared_ptr<const RedirectSession> session();

 private:
  RedirectSessionActor() = default;
  std::mutex mutex_;  // guards urlSession_
  std::shared_ptr<const RedirectSession> urlSession_;
};

}  // namespace noxtal
