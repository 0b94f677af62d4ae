// The speech library's log lines, collected by the tests of its parts.
#pragma once

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "core/logging.hpp"

namespace vostrane::testlog {

// Collects the library's log lines (debug and up) while it lives; restores the level and the
// callback afterwards.
class LogLines {
 public:
  LogLines() : previousLevel_(noxtal::Logging::shared().logLevel()) {
    noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::debug);
    noxtal::Logging::updateCallback([this](const std::string& line) {
      std::lock_guard<std::mutex> guard(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogLines() {
    noxtal::Logging::updateCallback(nullptr);
    noxtal::Logging::updateLogLevel(previousLevel_);
  }
  LogLines(const LogLines&) = delete;
  LogLines& operator=(const LogLines&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }
  std::size_t count(const std::string& text) const {
    const auto all = lines();
    return static_cast<std::size_t>(
        std::count_if(all.begin(), all.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; }));
  }
  bool contains(const std::string& text) const { return count(text) > 0; }
  void clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  noxtal::Logging::LogLevel previousLevel_;
};

}  // namespace vostrane::testlog
