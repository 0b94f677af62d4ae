#include "core/hub/hub_api.hpp"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "core/hub/redirect_session.hpp"
#include "core/logging.hpp"
#include "platform/net/curl_transport.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sys/paths.hpp"
#include "platform/text/text.hpp"

namespace noxtal {
namespace {

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> nonEmpty(std::optional<std::string> value) {
  if (value && value->empty()) return std::nullopt;
  return value;
}

std::filesystem::path expandTilde(const std::string& text) {
  if (text == "~") return platform::sys::homeDirectory();
  if (text.rfind("~/", 0) == 0) return platform::sys::homeDirectory() / text.substr(2);
  return std::filesystem::path(text);
}

// The whole file as UTF-8 text without trailing CR/LF; nullopt when it is missing, unreadable
// or not UTF-8.
std::optional<std::string> readTokenFile(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) return std::nullopt;
  std::string text = content.str();
  if (!platform::text::isValidUtf8(text)) return std::nullopt;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

[[noreturn]] void throwForStatus(int status, const platform::net::Url& url) {
  if (status == 401 || status == 403) throw Hub::HubClientError::authorizationRequired();
  if (status == 404) throw Hub::HubClientError::fileNotFound(url.lastPathComponent());
  throw Hub::HubClientError::httpStatusCode(status);
}

// Maps a response status: returns for an accepted status, throws otherwise.
void checkStatus(const platform::net::Response& response, const platform::net::Url& url, int lastAccepted) {
  if (response.statusCode < 100 || response.statusCode > 999) throw Hub::HubClientError::unexpectedError();
  if (response.statusCode >= 200 && response.statusCode <= lastAccepted) return;
  throwForStatus(response.statusCode, url);
}

}  // namespace

HubApi::HubApi(std::optional<std::filesystem::path> downloadBaseArg, std::optional<std::string> hfTokenArg,
               std::optional<std::string> endpointArg, bool useBackgroundSessionArg,
               std::optional<bool> useOfflineModeArg)
    : networkMonitor(NetworkMonitor::shared()), transport(platform::net::sharedTransport()) {
  hfToken = hfTokenArg ? std::move(hfTokenArg) : tokenFromEnvironment();
  if (environment("CI_DISABLE_NETWORK_MONITOR") == "1") {
    Logging::info(hfToken ? "✅ got token" : "🔴 NO TOKEN **");
  }
  downloadBase = downloadBaseArg ? std::move(*downloadBaseArg) : platform::sys::documentsDirectory() / "huggingface";
  if (endpointArg) {
    endpoint = std::move(*endpointArg);
  } else if (auto fromEnvironment = environment("HF_ENDPOINT")) {
    endpoint = std::move(*fromEnvironment);
  } else {
    endpoint = std::string(defaultEndpoint);
  }
  useBackgroundSession = useBackgroundSessionArg;
  useOfflineMode = useOfflineModeArg;
  networkMonitor->startMonitoring();
}

std::optional<std::string> HubApi::tokenFromEnvironment() {
  if (auto token = nonEmpty(environment("HF_TOKEN"))) return token;
  if (auto token = nonEmpty(environment("HUGGING_FACE_HUB_TOKEN"))) return token;
  if (auto path = environment("HF_TOKEN_PATH")) {
    if (auto token = nonEmpty(readTokenFile(expandTilde(*path)))) return token;
  }
  if (auto home = environment("HF_HOME")) {
    if (auto token = nonEmpty(readTokenFile(expandTilde(*home) / "token"))) return token;
  }
  const std::filesystem::path userHome = platform::sys::homeDirectory();
  if (auto token = nonEmpty(readTokenFile(userHome / ".cache" / "huggingface" / "token"))) return token;
  if (auto token = nonEmpty(readTokenFile(userHome / ".huggingface" / "token"))) return token;
  return std::nullopt;
}

std::filesystem::path HubApi::repoDestination(const Repo& repo) const {
  return downloadBase / std::string(rawValue(repo.type)) / repo.id;
}

std::filesystem::path HubApi::repoMetadataDestination(const Repo& repo) const {
  return repoDestination(repo) / ".cache" / "huggingface" / "download";
}

platform::net::Request HubApi::makeRequest(platform::net::Method method, const platform::net::Url& url) const {
  platform::net::Request request(method, url.string());
  request.idleTimeout = std::chrono::seconds(60);
  if (hfToken && !hfToken->empty()) request.setHeader("Authorization", "Bearer " + *hfToken);
  return request;
}

HubApi::HttpGetResult HubApi::httpGet(const platform::net::Url& url, std::stop_token stopToken) const {
  try {
    platform::net::Request request = makeRequest(platform::net::Method::get, url);
    request.followRedirects = true;
    auto fetched = platform::net::fetch(*transport, request, stopToken);
    checkStatus(fetched.response, url, 299);
    return HttpGetResult{std::move(fetched.body), std::move(fetched.response)};
  } catch (const Hub::HubClientError&) {
    throw;
  } catch (const std::exception& error) {
    platform::sync::throwIfStopped(stopToken);
    throw Hub::HubClientError::downloadError(error.what());
  }
}

platform::net::Response HubApi::httpHead(const platform::net::Url& url, std::stop_token stopToken) const {
  platform::net::Request request = makeRequest(platform::net::Method::head, url);
  request.setHeader("Accept-Encoding", "identity");
  request.followRedirects = false;
  RedirectSession::Result result;
  try {
    result = RedirectSessionActor::shared().session()->perform(*transport, request, stopToken);
  } catch (const platform::net::TransportError&) {
    platform::sync::throwIfStopped(stopToken);
    throw;
  }
  if (result.redirectLimitReached) throw Hub::HubClientError::httpStatusCode(result.response.statusCode);
  checkStatus(result.response, url, 399);
  return std::move(result.response);
}

}  // namespace noxtal
