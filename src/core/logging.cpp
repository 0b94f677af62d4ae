#include "core/logging.hpp"

#include <cmath>
#include <cstdio>

#include "platform/sys/system.hpp"

namespace noxtal {
namespace {

constexpr std::string_view kSubsystem = "com.velmoria.noxtal";
constexpr std::string_view kCategory = "Noxtal";

Logging::LogLevel levelOfType(platform::log::Level type) {
  switch (type) {
    case platform::log::Level::debug:
      return Logging::LogLevel::debug;
    case platform::log::Level::error:
    case platform::log::Level::fault:
      return Logging::LogLevel::error;
    case platform::log::Level::info:
    case platform::log::Level::notice:
      break;
  }
  return Logging::LogLevel::info;
}

}  // namespace

Logging::Logging() : logger_(std::string(kSubsystem), std::string(kCategory)) {}

Logging& Logging::shared() {
  static Logging* instance = new Logging();
  return *instance;
}

std::optional<Logging::LogLevel> Logging::logLevelFromRawValue(int rawValue) {
  if (rawValue < 1 || rawValue > 4) return std::nullopt;
  return static_cast<LogLevel>(rawValue);
}

Logging::LogLevel Logging::logLevel() const {
  return mutex_.withLock([&] { return state_.logLevel; });
}

void Logging::setLogLevel(LogLevel level) {
  mutex_.withLock([&] { state_.logLevel = level; });
}

Logging::Callback Logging::loggingCallback() const {
  return mutex_.withLock([&]() -> Callback { return state_.loggingCallback ? *state_.loggingCallback : Callback{}; });
}

void Logging::setLoggingCallback(Callback callback) {
  auto next = callback ? std::make_shared<const Callback>(std::move(callback)) : nullptr;
  std::shared_ptr<const Callback> previous;
  mutex_.withLock([&] { previous = std::exchange(state_.loggingCallback, std::move(next)); });
  // `previous` is destroyed here, outside the lock.
}

bool Logging::isEnabled() const { return logLevel() != LogLevel::none; }

bool Logging::isEnabled(LogLevel level) const {
  const LogLevel current = logLevel();
  return current != LogLevel::none && level >= current;
}

std::optional<std::shared_ptr<const Logging::Callback>> Logging::passingCallback(platform::log::Level type) const {
  const LogLevel messageLevel = levelOfType(type);
  return mutex_.withLock([&]() -> std::optional<std::shared_ptr<const Callback>> {
    const LogLevel current = state_.logLevel;
    if (current == LogLevel::none || messageLevel < current) return std::nullopt;
    return state_.loggingCallback;
  });
}

void Logging::deliver(platform::log::Level type, const std::shared_ptr<const Callback>& callback,
                      const std::string& text) const {
  if (callback) {
    (*callback)(text);
    return;
  }
  if (logger_.isEnabled(type)) logger_.log(type, text);
}

std::uint64_t Logging::getMemoryUsage() {
  const auto bytes = platform::sys::residentMemoryBytes();
  return bytes ? (*bytes >> 20) : 0;
}

void Logging::logCurrentMemoryUsage(std::string_view prefix) {
  if (!isLoggingEnabled(LogLevel::debug)) return;
  debug(std::string(prefix) + " - Memory usage: " + std::to_string(getMemoryUsage()) + " MB");
}

std::string Logging::formatTimeWithPercentage(double time, double runs, double fullPipelineDuration) {
  const double ms = time * 1000.0;
  const double perRun = runs > 0 ? ms / runs : 0.0;
  double percentage = ms / fullPipelineDuration * 100.0;
  // 0 / 0 leaves a NaN with the sign bit set on x86, which printf writes as "-nan".
  if (std::isnan(percentage)) percentage = std::fabs(percentage);
  char buffer[160];
  const int n = std::snprintf(buffer, sizeof buffer, "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%", ms, runs, perRun,
                              percentage);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<std::size_t>(n));
  std::string large(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(large.data(), large.size(), "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%", ms, runs, perRun,
                percentage);
  large.resize(static_cast<std::size_t>(n));
  return large;
}

}  // namespace noxtal
