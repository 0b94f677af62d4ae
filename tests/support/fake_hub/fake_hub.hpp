// A fake model hub for tests and benchmarks: an HTTP server on 127.0.0.1 that serves folders as
// hub repositories.
//
// It answers the requests the hub client relies on:
//   GET  /api/<type>/<id>/revision/<revision>          {"id", "sha", "siblings": [{"rfilename"}]}
//   HEAD /[<type>/]<id>/resolve/<revision>/<file>       "X-Repo-Commit", "ETag", "Content-Length";
//        for linked (large) files a 302 with "Location" (absolute), "X-Linked-Etag" (the SHA-256 of
//        the content, quoted) and "X-Linked-Size"
//   GET  of the same address                            the file (linked files: 302 to the content)
// with "Range: bytes=N-" / "bytes=N-M" answered by 206 (416 past the end). The type prefix is
// left out for model repositories. Files are streamed from disk, never loaded whole.
//
// Every request is recorded. Faults (status answers, a body cut after N bytes, a ranged request
// answered with 200 and the whole body, stalls, changed headers) and fixed answers for any path
// are injected on demand. All member functions are thread-safe; the destructor stops the server
// and wakes stalled answers.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fake_hub {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
  std::string method;  // "GET", "HEAD", ...
  std::string target;  // the raw request target: encoded path and query
  HeaderList headers;  // as received

  // The first header named `name` (case-insensitive), or nullopt.
  std::optional<std::string> header(std::string_view name) const;
};

// A fixed answer for one path (see FakeHub::setAnswer).
struct Answer {
  int status = 200;
  HeaderList headers;
  std::string body;
};

// A change to how matching requests are answered. A request matches when its method equals
// `method` (empty: any) and its raw target contains `pathContains` (empty: any). The first
// matching fault with uses left applies; `times` < 0 means unlimited.
struct Fault {
  std::string method;
  std::string pathContains;
  int times = -1;

  // Answer with this status, the headers of `headerChanges` and an empty body.
  std::optional<int> status;
  // Close the connection after this many body bytes (the advertised length stays the full one).
  std::optional<std::uint64_t> cutAfterBytes;
  // Answer a ranged GET with 200 and the whole body.
  bool ignoreRange = false;
  // Pause for this long (ended early when the hub stops): before the answer when
  // `stallAfterBytes` is absent, else after that many body bytes.
  std::optional<std::chrono::milliseconds> stall;
  std::optional<std::uint64_t> stallAfterBytes;
  // Response headers to set (value) or remove (nullopt) after the normal ones are built.
  // "Content-Length" is always written by the server and cannot be removed.
  std::vector<std::pair<std::string, std::optional<std::string>>> headerChanges;

  // Shorthands for the common faults, matching GET and HEAD requests whose target contains
  // `pathContains`; chain forMethod()/limitedTo() to narrow them.
  static Fault answerStatus(int status, std::string pathContains = {}) {
    Fault f;
    f.pathContains = std::move(pathContains);
    f.status = status;
    return f;
  }
  static Fault cutBodyAfter(std::uint64_t bytes, std::string pathContains = {}) {
    Fault f;
    f.pathContains = std::move(pathContains);
    f.cutAfterBytes = bytes;
    return f;
  }
  static Fault wholeBodyForRange(std::string pathContains = {}) {
    Fault f;
    f.pathContains = std::move(pathContains);
    f.ignoreRange = true;
    return f;
  }
  static Fault stallFor(std::chrono::milliseconds duration, std::string pathContains = {},
                        std::optional<std::uint64_t> afterBodyBytes = std::nullopt) {
    Fault f;
    f.pathContains = std::move(pathContains);
    f.stall = duration;
    f.stallAfterBytes = afterBodyBytes;
    return f;
  }
  static Fault changeHeader(std::string name, std::optional<std::string> value, std::string pathContains = {}) {
    Fault f;
    f.pathContains = std::move(pathContains);
    f.headerChanges.emplace_back(std::move(name), std::move(value));
    return f;
  }
  Fault forMethod(std::string m) && {
    method = std::move(m);
    return std::move(*this);
  }
  Fault limitedTo(int count) && {
    times = count;
    return std::move(*this);
  }
};

struct RepositoryOptions {
  std::string type = "models";  // "models", "datasets" or "spaces"
  std::string commit = "4d5f0a3b2c1e9f8a7b6c5d4e3f2a1b0c9d8e7f6a";
  // Revisions answered besides the commit itself.
  std::vector<std::string> revisions = {"main"};
  // Files of at least this many bytes are answered as linked files (302 plus X-Linked-*).
  std::uint64_t linkedFileThreshold = UINT64_MAX;
};

class FakeHub {
 public:
  // Starts listening on 127.0.0.1: an ephemeral port when `port` is 0. Throws
  // std::runtime_error when the port cannot be bound.
  explicit FakeHub(int port = 0);
  ~FakeHub();
  FakeHub(const FakeHub&) = delete;
  FakeHub& operator=(const FakeHub&) = delete;

  int port() const;
  // "http://127.0.0.1:<port>", without trailing slash.
  std::string endpoint() const;

  // Serves `folder` (read when requests arrive, so files may change between requests) as the
  // repository `id` ("owner/name"). Replaces an earlier repository of the same type and id.
  void addRepository(const std::string& id, const std::filesystem::path& folder, RepositoryOptions options = {});
  void setCommit(const std::string& id, const std::string& commit, const std::string& type = "models");

  // When set, requests of the hub's own routes without "Authorization: Bearer <token>" get 401.
  void requireToken(std::optional<std::string> token);

  // Answers every request whose path (raw, without query) equals `path` with `answer`, before
  // any fault or route. Useful for redirects and status tables.
  void setAnswer(const std::string& path, Answer answer);
  void addFault(Fault fault);
  void clearFaults();

  // The entity tag the hub reports for `relativePath` of a repository, unquoted: the SHA-256
  // of the content for linked files, a 40-hexadecimal git-blob digest for other files.
  std::string etagOf(const std::string& id, const std::string& relativePath, const std::string& type = "models");

  std::vector<RecordedRequest> requests() const;
  // Number of recorded requests with this method (empty: any) whose target contains
  // `pathContains`.
  std::size_t requestCount(std::string_view method = {}, std::string_view pathContains = {}) const;
  void clearRequests();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace fake_hub
