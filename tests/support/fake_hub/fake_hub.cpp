#include "support/fake_hub/fake_hub.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <httplib.h>

namespace fake_hub {
namespace {

constexpr std::size_t kReadSize = 256 * 1024;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string decode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out.push_back(static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::vector<std::string> splitPath(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    auto slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > start) parts.push_back(decode(path.substr(start, slash - start)));
    start = slash + 1;
  }
  return parts;
}

std::string encodePath(std::string_view path) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (char c : path) {
    auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(hex[u >> 4]);
      out.push_back(hex[u & 15]);
    }
  }
  return out;
}

std::string jsonEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// Digest of a file read in pieces; `prefix` is hashed first. Empty on a read error.
std::string digestFile(const std::filesystem::path& path, const EVP_MD* md, const std::string& prefix) {
  Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.fd < 0) return {};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  EVP_DigestInit_ex(ctx.get(), md, nullptr);
  EVP_DigestUpdate(ctx.get(), prefix.data(), prefix.size());
  std::vector<char> buffer(kReadSize);
  for (;;) {
    ssize_t n = ::read(file.fd, buffer.data(), buffer.size());
    if (n < 0) return {};
    if (n == 0) break;
    EVP_DigestUpdate(ctx.get(), buffer.data(), static_cast<std::size_t>(n));
  }
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx.get(), out, &len);
  static const char* hex = "0123456789abcdef";
  std::string text;
  for (unsigned i = 0; i < len; ++i) {
    text.push_back(hex[out[i] >> 4]);
    text.push_back(hex[out[i] & 15]);
  }
  return text;
}

struct Repository {
  std::string type;
  std::string id;
  std::filesystem::path folder;
  RepositoryOptions options;
};

struct ByteRange {
  std::uint64_t first = 0;
  std::optional<std::uint64_t> last;
};

std::optional<ByteRange> parseRange(const std::string& value) {
  if (value.rfind("bytes=", 0) != 0) return std::nullopt;
  std::string rangeText = value.substr(6);
  if (rangeText.find(',') != std::string::npos) return std::nullopt;
  auto dash = rangeText.find('-');
  if (dash == std::string::npos || dash == 0) return std::nullopt;
  try {
    ByteRange r;
    r.first = std::stoull(rangeText.substr(0, dash));
    if (dash + 1 < rangeText.size()) r.last = std::stoull(rangeText.substr(dash + 1));
    return r;
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
  for (const auto& [n, v] : headers) {
    if (equalsIgnoringCase(n, name)) return v;
  }
  return std::nullopt;
}

struct FakeHub::Impl {
  httplib::Server server;
  std::thread thread;
  int port = 0;

  mutable std::mutex mutex;  // guards everything below
  std::condition_variable stopped;
  bool stopping = false;
  std::vector<Repository> repositories;
  std::optional<std::string> token;
  std::map<std::string, Answer> answers;
  std::vector<Fault> faults;
  std::vector<RecordedRequest> recorded;
  // (path, size, mtime) -> digest
  std::map<std::tuple<std::string, std::uint64_t, std::int64_t, bool>, std::string> digests;

  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port); }

  // Waits `duration` or until the hub stops; returns false when it stops.
  bool pause(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex);
    return !stopped.wait_for(lock, duration, [&] { return stopping; });
  }

  bool isStopping() {
    std::lock_guard<std::mutex> guard(mutex);
    return stopping;
  }

  std::optional<Repository> findRepository(const std::string& type, const std::string& id) {
    std::lock_guard<std::mutex> guard(mutex);
    for (const auto& r : repositories) {
      if (r.type == type && r.id == id) return r;
    }
    return std::nullopt;
  }

  std::string digestOf(const std::filesystem::path& path, bool linked) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    auto key =
        std::make_tuple(path.string(), static_cast<std::uint64_t>(st.st_size),
                        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec, linked);
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (auto it = digests.find(key); it != digests.end()) return it->second;
    }
    std::string digest =
        linked ? digestFile(path, EVP_sha256(), "")
               : digestFile(path, EVP_sha1(), "blob " + std::to_string(st.st_size) + std::string(1, '\0'));
    std::lock_guard<std::mutex> guard(mutex);
    digests[key] = digest;
    return digest;
  }

  std::optional<Fault> takeFault(const std::string& method, const std::string& target) {
    std::lock_guard<std::mutex> guard(mutex);
    for (auto it = faults.begin(); it != faults.end(); ++it) {
      if (!it->method.empty() && it->method != method) continue;
      if (target.find(it->pathContains) == std::string::npos) continue;
      Fault copy = *it;
      if (it->times > 0 && --it->times == 0) faults.erase(it);
      return copy;
    }
    return std::nullopt;
  }

  static void applyHeaderChanges(httplib::Response& res, const std::optional<Fault>& fault) {
    if (!fault) return;
    for (const auto& [name, value] : fault->headerChanges) {
      for (auto it = res.headers.begin(); it != res.headers.end();) {
        it = equalsIgnoringCase(it->first, name) ? res.headers.erase(it) : std::next(it);
      }
      if (value) res.headers.emplace(name, *value);
    }
  }

  void handle(const httplib::Request& req, httplib::Response& res) {
    RecordedRequest record{req.method, req.target, {}};
    for (const auto& [n, v] : req.headers) {
      if (n == "REMOTE_ADDR" || n == "REMOTE_PORT" || n == "LOCAL_ADDR" || n == "LOCAL_PORT") continue;
      record.headers.emplace_back(n, v);
    }
    // The server would otherwise apply Range itself; this hub answers ranges on its own.
    const_cast<httplib::Request&>(req).ranges.clear();
    std::string rawPath = req.target.substr(0, req.target.find('?'));
    std::optional<Answer> fixed;
    {
      std::lock_guard<std::mutex> guard(mutex);
      recorded.push_back(record);
      if (auto it = answers.find(rawPath); it != answers.end()) fixed = it->second;
    }
    if (fixed) {
      res.status = fixed->status;
      for (const auto& [n, v] : fixed->headers) res.headers.emplace(n, v);
      res.set_content(fixed->body, "application/octet-stream");
      return;
    }
    std::optional<Fault> fault = takeFault(req.method, req.target);
    if (fault && fault->stall && !fault->stallAfterBytes) {
      if (!pause(*fault->stall)) {
        res.status = 503;
        return;
      }
    }
    if (fault && fault->status) {
      res.status = *fault->status;
      applyHeaderChanges(res, fault);
      return;
    }
    route(req, rawPath, record, res, fault);
    applyHeaderChanges(res, fault);
  }

  bool authorised(const RecordedRequest& record) {
    std::optional<std::string> expected;
    {
      std::lock_guard<std::mutex> guard(mutex);
      expected = token;
    }
    return !expected || record.header("Authorization") == "Bearer " + *expected;
  }

  void route(const httplib::Request& req, const std::string& rawPath, const RecordedRequest& record,
             httplib::Response& res, const std::optional<Fault>& fault) {
    std::vector<std::string> parts = splitPath(rawPath);
    if (parts.size() >= 2 && parts[0] == "cdn") {
      // /cdn/<type>/<id...>/<file> with the repository and file in one encoded segment each.
      if (parts.size() != 4) {
        res.status = 404;
        return;
      }
      auto repo = findRepository(parts[1], parts[2]);
      if (!repo) {
        res.status = 404;
        return;
      }
      serveFile(req, repo->folder / parts[3], res, fault);
      return;
    }
    if (!parts.empty() && parts[0] == "api") {
      // /api/<type>/<id...>/revision/<revision>
      auto rev = std::find(parts.begin(), parts.end(), "revision");
      if (parts.size() < 5 || rev == parts.end() || rev + 2 != parts.end()) {
        res.status = 404;
        return;
      }
      std::string type = parts[1];
      std::string id;
      for (auto it = parts.begin() + 2; it != rev; ++it) id += (id.empty() ? "" : "/") + *it;
      if (!authorised(record)) {
        res.status = 401;
        return;
      }
      auto repo = findRepository(type, id);
      if (!repo || !knownRevision(*repo, *(rev + 1))) {
        res.status = 404;
        return;
      }
      std::string body = "{\"id\":\"" + jsonEscape(repo->id) + "\",\"sha\":\"" + jsonEscape(repo->options.commit) +
                         "\",\"siblings\":[";
      bool first = true;
      for (const auto& name : listFiles(repo->folder)) {
        body += std::string(first ? "" : ",") + "{\"rfilename\":\"" + jsonEscape(name) + "\"}";
        first = false;
      }
      body += "]}";
      res.status = 200;
      res.set_content(body, "application/json");
      return;
    }
    // [<type>/]<id...>/resolve/<revision>/<file...>
    std::string type = "models";
    std::size_t start = 0;
    if (!parts.empty() && (parts[0] == "datasets" || parts[0] == "spaces")) {
      type = parts[0];
      start = 1;
    }
    auto resolve = std::find(parts.begin() + static_cast<std::ptrdiff_t>(std::min(start + 1, parts.size())),
                             parts.end(), "resolve");
    if (resolve == parts.end() || resolve + 2 >= parts.end()) {
      res.status = 404;
      return;
    }
    std::string id;
    for (auto it = parts.begin() + static_cast<std::ptrdiff_t>(start); it != resolve; ++it)
      id += (id.empty() ? "" : "/") + *it;
    std::string revision = *(resolve + 1);
    std::string file;
    for (auto it = resolve + 2; it != parts.end(); ++it) file += (file.empty() ? "" : "/") + *it;
    if (!authorised(record)) {
      res.status = 401;
      return;
    }
    auto repo = findRepository(type, id);
    if (!repo || !knownRevision(*repo, revision) || file.find("..") != std::string::npos) {
      res.status = 404;
      return;
    }
    std::filesystem::path path = repo->folder / file;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
      res.status = 404;
      res.set_header("X-Error-Code", "EntryNotFound");
      return;
    }
    std::uint64_t size = std::filesystem::file_size(path, ec);
    bool linked = size >= repo->options.linkedFileThreshold;
    res.set_header("X-Repo-Commit", repo->options.commit);
    if (linked) {
      // Repository and file names go into single segments of the content address.
      std::string location = endpoint() + "/cdn/" + type + "/" + encodeSegment(id) + "/" + encodeSegment(file);
      res.status = 302;
      res.set_header("Location", location);
      res.set_header("X-Linked-Etag", "\"" + digestOf(path, true) + "\"");
      res.set_header("X-Linked-Size", std::to_string(size));
      res.set_header("ETag", "W/\"" + digestOf(path, false) + "\"");
      return;
    }
    res.set_header("ETag", "\"" + digestOf(path, false) + "\"");
    serveFile(req, path, res, fault);
  }

  static std::string encodeSegment(std::string_view text) {
    std::string out = encodePath(text);
    std::string result;
    for (char c : out) {
      if (c == '/') {
        result += "%2F";
      } else {
        result.push_back(c);
      }
    }
    return result;
  }

  static bool knownRevision(const Repository& repo, const std::string& revision) {
    return revision == repo.options.commit || std::find(repo.options.revisions.begin(), repo.options.revisions.end(),
                                                        revision) != repo.options.revisions.end();
  }

  static std::vector<std::string> listFiles(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_regular_file(ec)) names.push_back(std::filesystem::relative(it->path(), folder, ec).generic_string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  void serveFile(const httplib::Request& req, const std::filesystem::path& path, httplib::Response& res,
                 const std::optional<Fault>& fault) {
    auto file = std::make_shared<Fd>(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (file->fd < 0 || ::fstat(file->fd, &st) != 0) {
      res.status = 404;
      return;
    }
    auto size = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t first = 0;
    std::uint64_t length = size;
    res.status = 200;
    res.set_header("Accept-Ranges", "bytes");
    if (req.method == "GET" && req.has_header("Range") && !(fault && fault->ignoreRange)) {
      auto range = parseRange(req.get_header_value("Range"));
      if (range && range->first >= size) {
        res.status = 416;
        res.set_header("Content-Range", "bytes */" + std::to_string(size));
        return;
      }
      if (range) {
        std::uint64_t last = std::min(range->last.value_or(size - 1), size - 1);
        first = range->first;
        length = last - first + 1;
        res.status = 206;
        res.set_header("Content-Range",
                       "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(size));
      }
    }
    std::optional<std::uint64_t> cut = fault ? fault->cutAfterBytes : std::nullopt;
    std::optional<std::uint64_t> stallAt = fault && fault->stall ? fault->stallAfterBytes : std::nullopt;
    std::chrono::milliseconds stallFor = fault && fault->stall ? *fault->stall : std::chrono::milliseconds(0);
    auto stalled = std::make_shared<bool>(false);
    res.set_content_provider(static_cast<std::size_t>(length), "application/octet-stream",
                             [this, file, first, cut, stallAt, stallFor, stalled](
                                 std::size_t offset, std::size_t remaining, httplib::DataSink& sink) {
                               if (isStopping()) return false;
                               if (cut && offset >= *cut) return false;
                               if (stallAt && !*stalled && offset >= *stallAt) {
                                 *stalled = true;
                                 if (!pause(stallFor)) return false;
                               }
                               std::size_t want = std::min(remaining, kReadSize);
                               if (cut) want = static_cast<std::size_t>(std::min<std::uint64_t>(want, *cut - offset));
                               if (stallAt && !*stalled)
                                 want = static_cast<std::size_t>(std::min<std::uint64_t>(want, *stallAt - offset));
                               std::vector<char> buffer(want);
                               ssize_t n = ::pread(file->fd, buffer.data(), want, static_cast<off_t>(first + offset));
                               if (n <= 0) return false;
                               return sink.write(buffer.data(), static_cast<std::size_t>(n));
                             });
  }
};

FakeHub::FakeHub(int port) : impl_(std::make_unique<Impl>()) {
  Impl* impl = impl_.get();
  auto handler = [impl](const httplib::Request& req, httplib::Response& res) { impl->handle(req, res); };
  impl->server.Get(".*", handler);
  impl->server.Post(".*", handler);
  impl->server.set_keep_alive_max_count(100);
  if (port == 0) {
    impl->port = impl->server.bind_to_any_port("127.0.0.1");
  } else if (impl->server.bind_to_port("127.0.0.1", port)) {
    impl->port = port;
  } else {
    impl->port = -1;
  }
  if (impl->port <= 0) throw std::runtime_error("fake hub: cannot bind 127.0.0.1:" + std::to_string(port));
  impl->thread = std::thread([impl] { impl->server.listen_after_bind(); });
  // stop() is a no-op until the accept loop runs, so wait for it before handing out the hub.
  while (!impl->server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeHub::~FakeHub() {
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->stopped.notify_all();
  impl_->server.stop();
  if (impl_->thread.joinable()) impl_->thread.join();
}

int FakeHub::port() const { return impl_->port; }

std::string FakeHub::endpoint() const { return impl_->endpoint(); }

void FakeHub::addRepository(const std::string& id, const std::filesystem::path& folder, RepositoryOptions options) {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  auto& repos = impl_->repositories;
  repos.erase(std::remove_if(repos.begin(), repos.end(),
                             [&](const Repository& r) { return r.id == id && r.type == options.type; }),
              repos.end());
  std::string type = options.type;
  repos.push_back(Repository{type, id, folder, std::move(options)});
}

void FakeHub::setCommit(const std::string& id, const std::string& commit, const std::string& type) {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  for (auto& r : impl_->repositories) {
    if (r.id == id && r.type == type) r.options.commit = commit;
  }
}

void FakeHub::requireToken(std::optional<std::string> token) {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  impl_->token = std::move(token);
}

void FakeHub::setAnswer(const std::string& path, Answer answer) {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  impl_->answers[path] = std::move(answer);
}

void FakeHub::addFault(Fault fault) {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  impl_->faults.push_back(std::move(fault));
}

void FakeHub::clearFaults() {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  impl_->faults.clear();
}

std::string FakeHub::etagOf(const std::string& id, const std::string& relativePath, const std::string& type) {
  auto repo = impl_->findRepository(type, id);
  if (!repo) return {};
  std::filesystem::path path = repo->folder / relativePath;
  std::error_code ec;
  bool linked = std::filesystem::file_size(path, ec) >= repo->options.linkedFileThreshold;
  return impl_->digestOf(path, linked);
}

std::vector<RecordedRequest> FakeHub::requests() const {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  return impl_->recorded;
}

std::size_t FakeHub::requestCount(std::string_view method, std::string_view pathContains) const {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  return static_cast<std::size_t>(
      std::count_if(impl_->recorded.begin(), impl_->recorded.end(), [&](const RecordedRequest& r) {
        return (method.empty() || r.method == method) && r.target.find(pathContains) != std::string::npos;
      }));
}

void FakeHub::clearRequests() {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  impl_->recorded.clear();
}

}  // namespace fake_hub
