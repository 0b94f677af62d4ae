#include "platform/log/log.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

namespace platform::log {
namespace {

Level levelFromEnvironment() {
  const char* text = std::getenv("VELMORIA_LOG_LEVEL");
  if (!text) return Level::info;
  std::string_view v(text);
  if (v == "debug") return Level::debug;
  if (v == "notice") return Level::notice;
  if (v == "error") return Level::error;
  if (v == "fault") return Level::fault;
  return Level::info;
}

struct State {
  std::mutex mutex;
  std::shared_ptr<const Sink> sink;  // guarded by mutex; null means standard error
  std::atomic<int> minimum{static_cast<int>(levelFromEnvironment())};
};

State& state() {
  static State s;
  return s;
}

void writeToStderr(const Record& r) {
  std::timespec ts{};
  std::timespec_get(&ts, TIME_UTC);
  std::tm tm{};
  gmtime_r(&ts.tv_sec, &tm);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03ld", tm.tm_hour, tm.tm_min, tm.tm_sec, ts.tv_nsec / 1000000);
  std::string line;
  line.reserve(r.message.size() + 64);
  line.append(stamp).append(" [").append(levelName(r.level)).append("] ");
  line.append(r.subsystem).append(":").append(r.category).append(": ").append(r.message);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace

std::string_view levelName(Level level) {
  switch (level) {
    case Level::debug:
      return "debug";
    case Level::info:
      return "info";
    case Level::notice:
      return "notice";
    case Level::error:
      return "error";
    case Level::fault:
      return "fault";
  }
  return "info";
}

void setSink(Sink sink) {
  auto next = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
  std::lock_guard<std::mutex> guard(state().mutex);
  state().sink = std::move(next);
}

void setMinimumLevel(Level level) { state().minimum.store(static_cast<int>(level)); }
Level minimumLevel() { return static_cast<Level>(state().minimum.load()); }
bool isEnabled(Level level) { return static_cast<int>(level) >= state().minimum.load(); }

void write(Level level, std::string_view subsystem, std::string_view category, std::string_view message) {
  if (!isEnabled(level)) return;
  std::shared_ptr<const Sink> sink;
  {
    std::lock_guard<std::mutex> guard(state().mutex);
    sink = state().sink;
  }
  Record record{level, subsystem, category, message};
  if (sink) {
    (*sink)(record);
  } else {
    writeToStderr(record);
  }
}

SignpostInterval::SignpostInterval(const Logger& logger, std::string name)
    : logger_(logger), name_(std::move(name)), start_(std::chrono::steady_clock::now()) {
  if (logger_.isEnabled(Level::debug)) logger_.debug("begin " + name_);
}

double SignpostInterval::end() {
  if (ended_) return seconds_;
  ended_ = true;
  seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (logger_.isEnabled(Level::debug)) {
    char ms[32];
    std::snprintf(ms, sizeof ms, "%.3f", seconds_ * 1000.0);
    logger_.debug("end " + name_ + " (" + ms + " ms)");
  }
  return seconds_;
}

}  // namespace platform::log
