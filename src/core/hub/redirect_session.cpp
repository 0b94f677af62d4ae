#include "core/hub/redirect_session.hpp"

#include <chrono>

#include "platform/net/url.hpp"

namespace noxtal {

std::optional<platform::net::Request> RedirectDelegate::redirectRequest(const platform::net::Response& response,
                                                                        const platform::net::Request& initialRequest) {
  if (response.statusCode < 300 || response.statusCode > 399) return std::nullopt;
  auto locationText = response.headers.value("Location");
  if (!locationText) return std::nullopt;
  auto location = platform::net::Url::parse(*locationText);
  if (!location) return std::nullopt;
  if (location->host()) return std::nullopt;
  if (initialRequest.url.empty()) return std::nullopt;
  auto target = platform::net::Url::parse(initialRequest.url);
  if (!target) return std::nullopt;
  target->setPath(location->path());
  target->setQuery(location->query());
  auto composed = target->compose();
  if (!composed || !target->host()) return std::nullopt;

  platform::net::Request next(initialRequest.method, *composed);
  next.idleTimeout = std::chrono::seconds(60);
  next.followRedirects = false;
  for (const auto& [name, value] : initialRequest.headers.fields()) next.headers.add(name, value);
  next.headers.set("Location", *composed);
  return next;
}

RedirectSession::Result RedirectSession::perform(platform::net::HttpTransport& transport,
                                                 const platform::net::Request& request,
                                                 std::stop_token stopToken) const {
  platform::net::Request current = request;
  current.followRedirects = false;
  for (int hop = 0;; ++hop) {
    auto fetched = platform::net::fetch(transport, current, stopToken);
    auto next = RedirectDelegate::redirectRequest(fetched.response, request);
    if (!next) return Result{std::move(fetched.response), std::move(fetched.body), false};
    if (hop == maximumRedirects) return Result{std::move(fetched.response), std::move(fetched.body), true};
    current = std::move(*next);
  }
}

RedirectSessionActor& RedirectSessionActor::shared() {
  static RedirectSessionActor instance;
  return instance;
}

std::shared_ptr<const RedirectSession> RedirectSessionActor::session() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!urlSession_) urlSession_ = std::make_shared<const RedirectSession>();
  return urlSession_;
}

}  // namespace noxtal
