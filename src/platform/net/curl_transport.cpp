#include "platform/net/curl_transport.hpp"

#include <curl/curl.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <mutex>

namespace platform::net {
namespace {

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct MultiDeleter {
  void operator()(CURLM* h) const { curl_multi_cleanup(h); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

void globalInit() {
  static const bool done = [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    return true;
  }();
  (void)done;
}

// State shared with the curl callbacks of one transfer.
struct Transfer {
  CURL* easy = nullptr;
  const ResponseHandler* onResponse = nullptr;
  const DataHandler* onData = nullptr;
  Response response;
  bool responseDelivered = false;
  bool stoppedByHandler = false;
  std::exception_ptr handlerError;
  std::atomic<bool> stopRequested{false};
  // Idle time-out: no byte moved in either direction for this long.
  std::chrono::milliseconds idleTimeout{0};
  std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();
  curl_off_t lastDown = -1;
  curl_off_t lastUp = -1;
  bool idleTimedOut = false;

  void takeEffectiveUrl() {
    char* url = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) response.url = url;
  }

  // The status of the last answer received (the final one once its body starts or the
  // transfer ends; interim 1xx answers and followed redirects are behind it by then).
  void takeStatusCode() {
    long code = 0;
    if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code) == CURLE_OK)
      response.statusCode = static_cast<int>(code);
  }

  // Delivers the response once; returns false when the transfer must end.
  bool deliverResponse() {
    if (responseDelivered) return true;
    responseDelivered = true;
    takeEffectiveUrl();
    takeStatusCode();
    try {
      if (!(*onResponse)(response)) {
        stoppedByHandler = true;
        return false;
      }
    } catch (...) {
      handlerError = std::current_exception();
      return false;
    }
    return true;
  }
};

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

size_t onHeaderLine(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::string_view line(data, size * count);
  std::string_view content = trim(line);
  if (content.rfind("HTTP/", 0) == 0) {
    // A new answer (after a redirect or an interim 1xx) starts: its headers replace the old.
    // Its status is read from curl when the response is delivered.
    t->response.headers.clear();
  } else if (auto colon = content.find(':'); colon != std::string_view::npos) {
    t->response.headers.add(std::string(trim(content.substr(0, colon))), std::string(trim(content.substr(colon + 1))));
  }
  return size * count;
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t n = size * count;
  if (!t->deliverResponse()) return 0;
  try {
    if (!(*t->onData)(std::span<const std::byte>(reinterpret_cast<const std::byte*>(data), n))) {
      t->stoppedByHandler = true;
      return 0;
    }
  } catch (...) {
    t->handlerError = std::current_exception();
    return 0;
  }
  return n;
}

int onProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto* t = static_cast<Transfer*>(user);
  if (t->stopRequested.load()) return 1;
  auto now = std::chrono::steady_clock::now();
  if (downloaded != t->lastDown || uploaded != t->lastUp) {
    t->lastDown = downloaded;
    t->lastUp = uploaded;
    t->lastActivity = now;
  } else if (now - t->lastActivity > t->idleTimeout) {
    t->idleTimedOut = true;
    return 1;
  }
  return 0;
}

TransportError mapError(CURLcode code, long osErrno, const char* detail) {
  TransportErrorCode mapped = TransportErrorCode::other;
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      mapped = TransportErrorCode::cannotFindHost;
      break;
    case CURLE_COULDNT_CONNECT:
      mapped = (osErrno == ENETUNREACH || osErrno == ENETDOWN) ? TransportErrorCode::notConnectedToInternet
                                                               : TransportErrorCode::cannotConnectToHost;
      break;
    case CURLE_OPERATION_TIMEDOUT:
      mapped = TransportErrorCode::timedOut;
      break;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      mapped = TransportErrorCode::networkConnectionLost;
      break;
    default:
      break;
  }
  std::string description(describe(mapped));
  if (detail && *detail) {
    description += " (";
    description += detail;
    description += ")";
  } else if (mapped == TransportErrorCode::other) {
    description += " (";
    description += curl_easy_strerror(code);
    description += ")";
  }
  return TransportError(mapped, description);
}

}  // namespace

CurlTransport::CurlTransport() { globalInit(); }

StreamResult CurlTransport::stream(const Request& request, const ResponseHandler& onResponse, const DataHandler& onData,
                                   std::stop_token stopToken) {
  globalInit();
  for (const auto& [name, value] : request.headers.fields()) validateHeaderField(name, value);
  if (stopToken.stop_requested())
    throw TransportError(TransportErrorCode::cancelled, std::string(describe(TransportErrorCode::cancelled)));

  EasyHandle easy(curl_easy_init());
  MultiHandle multi(curl_multi_init());
  if (!easy || !multi) throw TransportError(TransportErrorCode::other, "Could not create an HTTP transfer.");

  Transfer transfer;
  transfer.easy = easy.get();
  transfer.onResponse = &onResponse;
  transfer.onData = &onData;
  transfer.idleTimeout = request.idleTimeout;

  HeaderList headers;
  for (const auto& [name, value] : request.headers.fields()) {
    // "Name;" sends a header with an empty value; "Name:" would remove curl's own header.
    std::string line = value.empty() ? name + ";" : name + ": " + value;
    curl_slist* next = curl_slist_append(headers.get(), line.c_str());
    if (!next) throw TransportError(TransportErrorCode::other, "Out of memory building the request headers.");
    headers.release();
    headers.reset(next);
  }
  // curl would otherwise add "Expect" or "Accept" fields we did not ask for; keep Accept default.
  char errorBuffer[CURL_ERROR_SIZE] = {0};
  long idleSeconds = static_cast<long>((request.idleTimeout.count() + 999) / 1000);
  if (idleSeconds < 1) idleSeconds = 1;

  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  if (request.method == Method::head) curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, request.followRedirects ? 1L : 0L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(h, CURLOPT_POSTREDIR, static_cast<long>(CURL_REDIR_POST_ALL));
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.idleTimeout.count()));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, idleSeconds);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeaderLine);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, onProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");

  curl_multi_add_handle(multi.get(), h);
  CURLM* m = multi.get();
  {
    std::stop_callback wake(stopToken, [&transfer, m] {
      transfer.stopRequested.store(true);
      curl_multi_wakeup(m);
    });
    int running = 1;
    while (running > 0) {
      CURLMcode mc = curl_multi_perform(m, &running);
      if (mc != CURLM_OK) break;
      if (running == 0) break;
      if (transfer.stopRequested.load()) break;
      curl_multi_poll(m, nullptr, 0, 1000, nullptr);
    }
  }
  CURLcode result = CURLE_OK;
  bool finished = false;
  int queued = 0;
  while (CURLMsg* msg = curl_multi_info_read(m, &queued)) {
    if (msg->msg == CURLMSG_DONE && msg->easy_handle == h) {
      result = msg->data.result;
      finished = true;
    }
  }
  curl_multi_remove_handle(m, h);

  if (transfer.handlerError) std::rethrow_exception(transfer.handlerError);
  if (transfer.stopRequested.load() || stopToken.stop_requested()) {
    throw TransportError(TransportErrorCode::cancelled, std::string(describe(TransportErrorCode::cancelled)));
  }
  if (transfer.idleTimedOut) {
    throw TransportError(TransportErrorCode::timedOut, std::string(describe(TransportErrorCode::timedOut)));
  }
  if (transfer.stoppedByHandler) {
    transfer.takeEffectiveUrl();
    return StreamResult{std::move(transfer.response), false};
  }
  if (!finished) throw TransportError(TransportErrorCode::other, "The HTTP transfer ended unexpectedly.");
  if (result != CURLE_OK) {
    long osErrno = 0;
    curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &osErrno);
    throw mapError(result, osErrno, errorBuffer);
  }
  // No body arrived (HEAD, empty body): the response has not been delivered yet.
  if (!transfer.deliverResponse()) {
    if (transfer.handlerError) std::rethrow_exception(transfer.handlerError);
  }
  transfer.takeEffectiveUrl();
  return StreamResult{std::move(transfer.response), !transfer.stoppedByHandler};
}

std::shared_ptr<HttpTransport> sharedTransport() {
  static const std::shared_ptr<HttpTransport> transport = std::make_shared<CurlTransport>();
  return transport;
}

}  // namespace platform::net
