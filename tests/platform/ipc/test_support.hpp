// Helpers of the connection tests: a raw peer that speaks frames over a socket by hand, a
// private temporary folder, and waiting on conditions with generous time-outs.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "platform/fs/unique_fd.hpp"
#include "platform/ipc/wire.hpp"
#include "platform/json/json.hpp"

namespace ipctest {

using platform::json::Json;

inline constexpr auto kPatience = std::chrono::seconds(20);

// Polls `condition` until it holds or `limit` passed; returns its last value.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = kPatience) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// A counter that threads bump and tests wait on.
class Counter {
 public:
  void bump() {
    std::lock_guard<std::mutex> g(m_);
    ++n_;
    cv_.notify_all();
  }
  int value() {
    std::lock_guard<std::mutex> g(m_);
    return n_;
  }
  bool waitFor(int n, std::chrono::milliseconds limit = kPatience) {
    std::unique_lock<std::mutex> l(m_);
    return cv_.wait_for(l, limit, [&] { return n_ >= n; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int n_ = 0;
};

// A connected pair of stream sockets.
inline std::pair<platform::fs::UniqueFd, platform::fs::UniqueFd> socketPair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
  return {platform::fs::UniqueFd(fds[0]), platform::fs::UniqueFd(fds[1])};
}

// One end of a socket driven by the test: writes bytes and frames, reads messages.
class RawPeer {
 public:
  explicit RawPeer(platform::fs::UniqueFd fd) : fd_(std::move(fd)) {}

  void sendBytes(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }
  void sendText(const std::string& body) { sendBytes(platform::ipc::encodeFrame(body)); }
  void send(const Json& message) { sendText(platform::json::dump(message)); }
  void endStream() { ::shutdown(fd_.get(), SHUT_WR); }

  // The next message, or absent at the end of the stream or after `limit`.
  std::optional<Json> read(std::chrono::milliseconds limit = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
      auto next = frames_.next();
      if (auto* body = std::get_if<std::string>(&next)) return platform::json::parse(*body);
      if (eof_) return std::nullopt;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      timeval tv{static_cast<time_t>(left.count() / 1000), static_cast<suseconds_t>((left.count() % 1000) * 1000)};
      ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      char buffer[65536];
      const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) eof_ = true;
      if (n > 0) frames_.append(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
  }
  // True once the stream has ended (after draining any messages into `rest`).
  bool waitForEnd(std::vector<Json>* rest = nullptr, std::chrono::milliseconds limit = kPatience) {
    while (auto m = read(limit)) {
      if (rest) rest->push_back(*m);
    }
    return eof_;
  }
  int fd() const { return fd_.get(); }

 private:
  platform::fs::UniqueFd fd_;
  platform::ipc::FrameReader frames_;
  bool eof_ = false;
};

// A private folder (mode 0700) under /tmp, removed with everything in it.
class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/ipc-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) std::abort();
    path_ = made;
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace ipctest
