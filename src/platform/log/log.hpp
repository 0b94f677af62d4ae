// The process's log sink: the stand-in for the platform's unified log and signposts.
//
// A message has a level, a subsystem and a category. By default messages at or above the
// minimum level (info) go to standard error as one line each; a program or a test can
// install its own sink. Libraries write through Logger (or core's Logging facade) and never
// print directly. All functions are thread-safe; the sink runs outside any lock of this module.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace platform::log {

enum class Level { debug = 0, info = 1, notice = 2, error = 3, fault = 4 };

// Short lower-case name ("debug", "info", "notice", "error", "fault").
std::string_view levelName(Level level);

struct Record {
  Level level;
  std::string_view subsystem;
  std::string_view category;
  std::string_view message;
};

using Sink = std::function<void(const Record&)>;

// Replaces the sink; an empty function restores the standard-error sink.
void setSink(Sink sink);
// Messages below this level are dropped before they reach the sink. Default: info, or the
// level named by the environment variable VELMORIA_LOG_LEVEL ("debug", "info", ...).
void setMinimumLevel(Level level);
Level minimumLevel();
bool isEnabled(Level level);

// Delivers one message to the sink when its level is enabled.
void write(Level level, std::string_view subsystem, std::string_view category, std::string_view message);

// A handle with a fixed subsystem and category.
class Logger {
 public:
  Logger(std::string subsystem, std::string category)
      : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

  bool isEnabled(Level level) const { return log::isEnabled(level); }
  void log(Level level, std::string_view message) const { write(level, subsystem_, category_, message); }
  void debug(std::string_view message) const { log(Level::debug, message); }
  void info(std::string_view message) const { log(Level::info, message); }
  void notice(std::string_view message) const { log(Level::notice, message); }
  void error(std::string_view message) const { log(Level::error, message); }
  void fault(std::string_view message) const { log(Level::fault, message); }

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  std::string subsystem_;
  std::string category_;
};

// A named interval: logs "begin <name>" when made and "end <name> (<ms> ms)" when ended or
// destroyed, both at debug level. Not thread-safe; owned by one scope.
class SignpostInterval {
 public:
  SignpostInterval(const Logger& logger, std::string name);
  SignpostInterval(const SignpostInterval&) = delete;
  SignpostInterval& operator=(const SignpostInterval&) = delete;
  ~SignpostInterval() { end(); }

  // Ends the interval (once) and returns its duration in seconds.
  double end();

 private:
  const Logger& logger_;
  std::string name_;
  std::chrono::steady_clock::time_point start_;
  bool ended_ = false;
  double seconds_ = 0;
};

}  // namespace platform::log
