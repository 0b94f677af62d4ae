// The one logging facade of all libraries: a process-wide level and an optional callback.
//
// A message below the current level is dropped before any text is built; a message that passes
// goes to the installed callback or, when there is none, to the platform log (subsystem
// "com.velmoria.noxtal", category "Noxtal"). The level starts at none, so nothing is logged until
// a library raises it. Callers write their own component tag ("[ModelDownloader] ") into the text.
// Besides messages: the resident-memory figure and one formatted line of a timing report.
//
// All members are thread-safe. The callback runs on the logging thread, outside any lock, and
// may be called from several threads at once.
#pragma once

#include <charconv>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/log/log.hpp"
#include "platform/sync/mutex.hpp"

namespace noxtal {

namespace detail {

template <class T>
concept Streamable = requires(std::ostream& out, const T& value) {
  out << value;
};

// Appends the platform's text form of a floating value: the shortest digits that read back as
// the same value, in decimal notation with at least one fractional digit ("2.5", "3.0",
// "1000000.0", "0.0001"), or in exponential notation when the value is below 1e-4 or at least
// 2^24 (float) / 2^53 (double) ("1e-05", "1.5e+10"); "nan", "inf", "-inf" otherwise.
template <std::floating_point F>
void appendFloatingText(std::string& out, F value) {
  char buffer[128];
  if (!std::isfinite(value)) {
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    out.append(buffer, end);
    return;
  }
  constexpr F kDecimalLimit = std::is_same_v<F, float> ? F(0x1p24) : F(0x1p53);
  const auto scientific = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(scientific.ptr - buffer));
  int exponent = 0;
  if (const auto e = text.find('e'); e != std::string_view::npos) {
    const char* first = text.data() + e + 1;
    if (*first == '+') ++first;
    std::from_chars(first, text.data() + text.size(), exponent);
  }
  if (value != 0 && (exponent < -4 || std::fabs(value) >= kDecimalLimit)) {
    out += text;
    return;
  }
  const auto fixed = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  const std::string_view decimal(buffer, static_cast<std::size_t>(fixed.ptr - buffer));
  out += decimal;
  if (decimal.find('.') == std::string_view::npos) out += ".0";
}

// Appends the text form of one log item: strings as they are, bool as "true"/"false", a char as
// that character, other integers in decimal, floating values as appendFloatingText writes them
// ("2.5", "3.0", "0.1" for 0.1f, "1e-05"), paths as their native string, anything else through
// operator<<.
template <class T>
void appendLogItem(std::string& out, const T& item) {
  if constexpr (std::is_same_v<T, bool>) {
    out += item ? "true" : "false";
  } else if constexpr (std::is_same_v<T, char>) {
    out.push_back(item);
  } else if constexpr (std::is_pointer_v<T> && std::is_same_v<std::remove_cv_t<std::remove_pointer_t<T>>, char>) {
    out += item != nullptr ? std::string_view(item) : std::string_view("(null)");
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    out += std::string_view(item);
  } else if constexpr (std::is_integral_v<T>) {
    char buffer[24];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, item).ptr;
    out.append(buffer, end);
  } else if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
    appendFloatingText(out, item);
  } else if constexpr (std::is_floating_point_v<T>) {
    appendFloatingText(out, static_cast<double>(item));
  } else if constexpr (std::is_same_v<T, std::filesystem::path>) {
    out += item.string();
  } else if constexpr (std::is_enum_v<T> && !Streamable<T>) {
    appendLogItem(out, static_cast<std::underlying_type_t<T>>(item));
  } else {
    static_assert(Streamable<T>, "a log item needs a text form (string, number, bool or operator<<)");
    std::ostringstream stream;
    stream << item;
    out += stream.str();
  }
}

}  // namespace detail

// The text form of a floating value that log lines and descriptions use (see
// detail::appendFloatingText): "44100.0", "0.0005", "1e-05", "1.6777216e+07", "nan".
template <std::floating_point F>
std::string floatingText(F value) {
  std::string text;
  detail::appendFloatingText(text, value);
  return text;
}

class Logging {
 public:
  enum class LogLevel { debug = 1, info = 2, error = 3, none = 4 };
  using Callback = std::function<void(const std::string&)>;

  // How the items of one message are joined: `separator` between items, `terminator` (when
  // present) after the last one.
  struct Format {
    std::string separator = " ";
    std::optional<std::string> terminator;
  };

  // The level with the given raw value (1 to 4); absent otherwise.
  static std::optional<LogLevel> logLevelFromRawValue(int rawValue);

  // The process-wide instance, created on first use (level none, no callback). Never destroyed.
  static Logging& shared();

  Logging(const Logging&) = delete;
  Logging& operator=(const Logging&) = delete;

  // Level and callback of this instance (each read or written under the lock).
  LogLevel logLevel() const;
  void setLogLevel(LogLevel level);
  Callback loggingCallback() const;
  // An empty function removes the callback.
  void setLoggingCallback(Callback callback);

  // Current level is not none / `level` passes the current level (and it is not none).
  bool isEnabled() const;
  bool isEnabled(LogLevel level) const;
  static bool isLoggingEnabled() { return shared().isEnabled(); }
  static bool isLoggingEnabled(LogLevel level) { return shared().isEnabled(level); }

  static void updateLogLevel(LogLevel level) { shared().setLogLevel(level); }
  static void updateCallback(Callback callback) { shared().setLoggingCallback(std::move(callback)); }

  // The core operation. `type` is the platform log type of the message: debug maps to debug,
  // info and notice to info, error and fault to error. A message whose level does not pass is
  // dropped before its text is built. The text goes to the callback when one is installed,
  // else to the platform log at `type` (when that log is enabled for `type`).
  template <class... Items>
  void log(platform::log::Level type, const Items&... items) {
    log(Format{}, type, items...);
  }

  template <class... Items>
  void log(const Format& format, platform::log::Level type, const Items&... items) {
    auto callback = passingCallback(type);
    if (!callback) return;
    std::string text;
    [[maybe_unused]] bool first = true;
    ((first ? void(first = false) : void(text += format.separator), detail::appendLogItem(text, items)), ...);
    if (format.terminator) text += *format.terminator;
    deliver(type, *callback, text);
  }

  template <class... Items>
  static void debug(const Items&... items) {
    shared().log(platform::log::Level::debug, items...);
  }
  template <class... Items>
  static void info(const Items&... items) {
    shared().log(platform::log::Level::info, items...);
  }
  template <class... Items>
  static void error(const Items&... items) {
    shared().log(platform::log::Level::error, items...);
  }

  // Resident size of this process in whole mebibytes (rounded down); 0 when unknown.
  static std::uint64_t getMemoryUsage();
  // Logs "<prefix> - Memory usage: <MiB> MB" at debug level.
  static void logCurrentMemoryUsage(std::string_view prefix);
  // One timing-report line: `time` in seconds, `runs` a count, `fullPipelineDuration` in
  // milliseconds; printf "%8.2f ms / %6.0f runs (%8.2f ms/run) %5.2f%%" of the time in ms, runs,
  // ms per run (0 when runs <= 0) and the share of the full pipeline in per cent.
  static std::string formatTimeWithPercentage(double time, double runs, double fullPipelineDuration);

 private:
  Logging();

  struct State {
    LogLevel logLevel = LogLevel::none;
    std::shared_ptr<const Callback> loggingCallback;  // null when absent
  };

  // The message passes: a (possibly empty) callback pointer inside; drops: absent. One lock
  // round trip, no copy of the callback when the message is dropped.
  std::optional<std::shared_ptr<const Callback>> passingCallback(platform::log::Level type) const;
  void deliver(platform::log::Level type, const std::shared_ptr<const Callback>& callback,
               const std::string& text) const;

  mutable platform::sync::Mutex mutex_;
  State state_;  // guarded by mutex_
  platform::log::Logger logger_;
};

}  // namespace noxtal
