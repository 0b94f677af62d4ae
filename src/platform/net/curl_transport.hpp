// The real HTTP transport, backed by libcurl.
//
// One easy handle per transfer, driven by its own multi handle so that a stop request wakes
// the transfer at once. Idle time-outs map to a connect time-out plus a low-speed limit of one
// byte per second over the idle period, sharpened by a check of the last moved byte (curl's
// speed figure averages over several seconds); no total-transfer limit is set. Redirects are followed
// (at most 10 hops, method kept) only when the request asks for it. Used through
// sharedTransport() by the hub client.
#pragma once

#include <memory>

#include "platform/net/http.hpp"

namespace platform::net {

class CurlTransport final : public HttpTransport {
 public:
  // Initialises libcurl's global state once per process (thread-safe).
  CurlTransport();

  // See HttpTransport::stream. Thread-safe.
  StreamResult stream(const Request& request, const ResponseHandler& onResponse, const DataHandler& onData,
                      std::stop_token stopToken = {}) override;
};

// The process-wide curl transport, created on first use. Thread-safe.
std::shared_ptr<HttpTransport> sharedTransport();

}  // namespace platform::net
