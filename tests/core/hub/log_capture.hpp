// Test helper: collects the lines of the shared Logging at debug level for one test and
// silences it again afterwards.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/logging.hpp"

namespace noxtal::testing {

class LogCapture {
 public:
  LogCapture() {
    Logging::updateCallback([this](const std::string& line) {
      std::lock_guard<std::mutex> guard(mutex_);
      lines_.push_back(line);
    });
    Logging::updateLogLevel(Logging::LogLevel::debug);
  }
  ~LogCapture() {
    Logging::updateLogLevel(Logging::LogLevel::none);
    Logging::updateCallback(nullptr);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }
  // Number of lines containing `text`.
  int count(const std::string& text) {
    int n = 0;
    for (const auto& line : lines()) n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
  }
  bool contains(const std::string& text) { return count(text) > 0; }
  void clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    lines_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;  // guarded by mutex_
};

}  // namespace noxtal::testing
