// Test support: collects what the project's log receives while a test runs.
//
// A LogCapture replaces the platform::log sink for its lifetime and keeps every record that
// passes the minimum level (optionally lowered for the test); on destruction it restores the
// default sink and the previous minimum level. One capture at a time per process. The records
// are guarded by a mutex, so threads under test may log while the test reads.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log/log.hpp"

namespace testsupport {

struct CapturedRecord {
  platform::log::Level level;
  std::string subsystem, category, message;
};

class LogCapture {
 public:
  // `minimum`: the minimum level while the capture lives (unchanged when absent).
  explicit LogCapture(std::optional<platform::log::Level> minimum = std::nullopt);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every record so far, in arrival order.
  std::vector<CapturedRecord> records() const;
  // The messages of the records at `atLeast` or above, in arrival order.
  std::vector<std::string> messages(platform::log::Level atLeast = platform::log::Level::debug) const;
  // True when a message at `atLeast` or above contains `text`.
  bool contains(std::string_view text, platform::log::Level atLeast = platform::log::Level::debug) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<CapturedRecord> records_;  // guarded by mutex_
  platform::log::Level previousMinimum_;
};

}  // namespace testsupport
