// HubApi: the hub client's configuration value and its two HTTP request primitives.
//
// A HubApi says where the local copy of hub repositories lives (downloadBase), which token to
// send, which hub endpoint to talk to, and whether transfers use a background session or the
// client must work offline. The initialiser fills absent settings from the environment:
//   endpoint: the argument, else HF_ENDPOINT (even when empty), else the public hub;
//   token:    the argument (kept even when empty), else the first non-empty of HF_TOKEN,
//             HUGGING_FACE_HUB_TOKEN, the file at HF_TOKEN_PATH, HF_HOME/token,
//             ~/.cache/huggingface/token, ~/.huggingface/token. Token files lose trailing CR and
//             LF characters (a header value may not hold line breaks);
//   downloadBase: the argument, else <documents folder>/huggingface.
// Nothing is contacted on construction. The listing, snapshot, cache and per-file operations
// are built on httpGet/httpHead and the folder helpers declared here.
//
// Thread-safety: a HubApi is a value that its operations only read; copies move freely between
// threads, and any number of requests may run at once.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/hub/hub_errors.hpp"
#include "core/hub/hub_repo.hpp"
#include "core/hub/network_monitor.hpp"
#include "platform/net/http.hpp"
#include "platform/net/url.hpp"

namespace noxtal {

class HubApi {
 public:
  using Repo = HubRepo;
  using RepoType = HubRepoType;
  using EnvironmentError = HubApiEnvironmentError;

  // The public hub, the last endpoint default.
  static constexpr std::string_view defaultEndpoint = "https://huggingface.co";
  // An entity tag of this form is the SHA-256 digest of the file's content.
  static constexpr std::string_view sha256Pattern = "^[0-9a-f]{64}$";
  // Form of a commit hash.
  static constexpr std::string_view commitHashPattern = "^[0-9a-f]{40}$";

  // Reads the environment and token files as described above; never fails. Starts the shared
  // network monitor when it is not running yet.
  explicit HubApi(std::optional<std::filesystem::path> downloadBase = std::nullopt,
                  std::optional<std::string> hfToken = std::nullopt, std::optional<std::string> endpoint = std::nullopt,
                  bool useBackgroundSession = false, std::optional<bool> useOfflineMode = std::nullopt);

  std::filesystem::path downloadBase;
  std::optional<std::string> hfToken;
  std::string endpoint;
  bool useBackgroundSession = false;
  // true: always offline; false: always online; absent: the shared monitor's state decides.
  std::optional<bool> useOfflineMode;
  // The process-wide monitor (see network_monitor.hpp).
  std::shared_ptr<NetworkMonitor> networkMonitor;
  // Sends every request of this client and its downloads; the shared curl transport unless a
  // caller (a test) puts another one in place.
  std::shared_ptr<platform::net::HttpTransport> transport;

  // downloadBase / <type raw value> / <repo.id> (an id owner/name gives two folders).
  std::filesystem::path repoDestination(const Repo& repo) const;
  // repoDestination(repo) / ".cache" / "huggingface" / "download".
  std::filesystem::path repoMetadataDestination(const Repo& repo) const;

  // The token of the environment and token files (sources 1 to 6 above), or nullopt.
  static std::optional<std::string> tokenFromEnvironment();

  struct HttpGetResult {
    std::string data;
    platform::net::Response response;
  };

  // GET of `url` (60 s idle time-out, redirects followed, "Authorization: Bearer <token>" when
  // the token is present and not empty), the whole body in memory. Accepts 200-299. Throws
  // Hub::HubClientError: authorizationRequired (401, 403), fileNotFound with the URL's last
  // path component (404), httpStatusCode (any other status, a final 3xx included),
  // unexpectedError (no HTTP status), and downloadError with the description of any other
  // failure (transport errors, an unusable header). Throws platform::sync::CancellationError
  // when `stopToken` is triggered.
  HttpGetResult httpGet(const platform::net::Url& url, std::stop_token stopToken = {}) const;

  // HEAD of `url` with "Accept-Encoding: identity" (and the token as for httpGet), sent through
  // the shared redirect session: relative redirects are followed with method and header fields
  // kept, absolute ones are answered as the 3xx response itself. Accepts 200-399. Throws the
  // same Hub::HubClientError cases as httpGet (httpStatusCode with the last 3xx after 10
  // followed redirects); transport errors leave unchanged as platform::net::TransportError, an
  // unusable header as platform::net::InvalidHeaderError. Throws CancellationError when
  // `stopToken` is triggered.
  platform::net::Response httpHead(const platform::net::Url& url, std::stop_token stopToken = {}) const;

 private:
  platform::net::Request makeRequest(platform::net::Method method, const platform::net::Url& url) const;
};

}  // namespace noxtal
