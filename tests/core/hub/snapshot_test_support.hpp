// Helpers of the snapshot, offline-verification and configuration-loader tests: a temporary
// folder, file writing and reading, a served repository on the fake hub, and transports that
// trigger a stop after a chosen request, fail chosen requests or hold one back.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/net/http.hpp"
#include "support/temporary_folder.hpp"

namespace noxtal::snapshot_testing {

using ScratchFolder = testsupport::TemporaryFolder;

inline void writeBytes(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::string readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// `size` bytes that differ with `seed`.
inline std::string contentBytes(std::size_t size, std::uint32_t seed) {
  std::string out(size, '\0');
  std::uint32_t x = seed * 2654435761u + 7u;
  for (char& c : out) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return out;
}

// Every regular file below `root`, relative and "/"-separated, sorted.
inline std::vector<std::string> filesBelow(const std::filesystem::path& root) {
  std::vector<std::string> names;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file()) names.push_back(std::filesystem::relative(it->path(), root).generic_string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Passes requests to `inner`; after the response of the request for which `stopAfter` returns
// true, requests a stop on `source`. Thread-safe as the inner transport.
class StoppingTransport final : public platform::net::HttpTransport {
 public:
  StoppingTransport(std::shared_ptr<platform::net::HttpTransport> inner, std::stop_source source,
                    std::function<bool(const platform::net::Request&)> stopAfter)
      : inner_(std::move(inner)), source_(std::move(source)), stopAfter_(std::move(stopAfter)) {}

  platform::net::StreamResult stream(const platform::net::Request& request,
                                     const platform::net::ResponseHandler& onResponse,
                                     const platform::net::DataHandler& onData, std::stop_token stopToken) override {
    auto result = inner_->stream(request, onResponse, onData, stopToken);
    if (stopAfter_(request)) source_.request_stop();
    return result;
  }

 private:
  std::shared_ptr<platform::net::HttpTransport> inner_;
  std::stop_source source_;
  std::function<bool(const platform::net::Request&)> stopAfter_;
};

// Throws a transport error for every request for which `fails` returns true.
class FailingTransport final : public platform::net::HttpTransport {
 public:
  FailingTransport(std::shared_ptr<platform::net::HttpTransport> inner,
                   std::function<bool(const platform::net::Request&)> fails, platform::net::TransportErrorCode code)
      : inner_(std::move(inner)), fails_(std::move(fails)), code_(code) {}

  platform::net::StreamResult stream(const platform::net::Request& request,
                                     const platform::net::ResponseHandler& onResponse,
                                     const platform::net::DataHandler& onData, std::stop_token stopToken) override {
    if (fails_(request)) throw platform::net::TransportError(code_, std::string(platform::net::describe(code_)));
    return inner_->stream(request, onResponse, onData, stopToken);
  }

 private:
  std::shared_ptr<platform::net::HttpTransport> inner_;
  std::function<bool(const platform::net::Request&)> fails_;
  platform::net::TransportErrorCode code_;
};

// Holds the first request for which `holds` returns true, before passing it on, until open() is
// called; a stop of that request meanwhile ends it as the transport does (a `cancelled`
// transport error). Every other request goes straight to `inner`. Thread-safe.
class HoldingTransport final : public platform::net::HttpTransport {
 public:
  HoldingTransport(std::shared_ptr<platform::net::HttpTransport> inner,
                   std::function<bool(const platform::net::Request&)> holds)
      : inner_(std::move(inner)), holds_(std::move(holds)) {}

  platform::net::StreamResult stream(const platform::net::Request& request,
                                     const platform::net::ResponseHandler& onResponse,
                                     const platform::net::DataHandler& onData, std::stop_token stopToken) override {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!holding_ && holds_(request)) {
        holding_ = true;
        changed_.notify_all();
        if (!changed_.wait(lock, stopToken, [&] { return open_; })) {
          throw platform::net::TransportError(
              platform::net::TransportErrorCode::cancelled,
              std::string(platform::net::describe(platform::net::TransportErrorCode::cancelled)));
        }
      }
    }
    return inner_->stream(request, onResponse, onData, stopToken);
  }

  // Blocks until the held request has arrived.
  void waitUntilHolding() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return holding_; });
  }
  void open() {
    std::lock_guard<std::mutex> guard(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::shared_ptr<platform::net::HttpTransport> inner_;
  std::function<bool(const platform::net::Request&)> holds_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  bool holding_ = false;  // guarded by mutex_
  bool open_ = false;     // guarded by mutex_
};

}  // namespace noxtal::snapshot_testing
