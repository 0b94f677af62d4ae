// Captures core Logging messages for one test and restores the silent default afterwards.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "core/logging.hpp"

namespace vostrane::testing {

class LogCapture {
 public:
  explicit LogCapture(noxtal::Logging::LogLevel level = noxtal::Logging::LogLevel::debug) {
    noxtal::Logging::updateLogLevel(level);
    noxtal::Logging::updateCallback([this](const std::string& line) {
      std::lock_guard<std::mutex> guard(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() {
    noxtal::Logging::updateCallback({});
    noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::none);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

inline std::string readDataFile(const std::string& name) {
  std::string path = std::string(PROJECT_TEST_DATA_DIR) + "/speech_model/" + name;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return {};
  std::string text;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  std::fclose(file);
  return text;
}

}  // namespace vostrane::testing
