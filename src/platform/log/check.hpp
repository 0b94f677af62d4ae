// The one check for programming errors.
//
// A broken precondition that no input can reach (an index outside a container, a typed view of
// the wrong element type, a state machine in a state it cannot be in) is a bug. requireThat
// stops the process on it in every build type, after one fault-level line in the project's log
// (subsystem "platform", category "check") naming the failed condition and where it was checked.
// Libraries never print: the line goes through platform::log, which a program can redirect.
// Failures that input can cause are thrown as typed errors instead, never checked here.
#pragma once

#include <source_location>
#include <string_view>

namespace platform::log {

// Logs `message` at fault level with the caller's file and line, then aborts.
[[noreturn]] void checkFailed(std::string_view message,
                              std::source_location where = std::source_location::current());

// Aborts through checkFailed when `condition` is false. Active in every build type.
inline void requireThat(bool condition, std::string_view message,
                        std::source_location where = std::source_location::current()) {
  if (!condition) [[unlikely]]
    checkFailed(message, where);
}

}  // namespace platform::log
