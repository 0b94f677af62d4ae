// The one check for programming errors.
//
// A broken precondition that no input can reach (an index outside a container, a typed view of
// the wrong element type, a state machine in a state it cannot be in) is a bug. requireThat
// stops the process on it in every build type, after one fault-level line in the project's log
// (subsystem "platform", category "check") naming the failed condition and where it was checked.
// Libraries never print: the line goes through platform::log, which a program can redirect.
// Failures that input can cause are thrown as typed errors instead, never checked here.
#pragma once

#include <string_view>

namespace platform::log {

// The caller's place comes from the compiler builtins (std::source_location is not available to
// every compiler the project builds with: clang 14 over libstdc++ lacks it).

// Logs `message` at fault level with the caller's file and line, then aborts.
[[noreturn]] void checkFailed(std::string_view message, const char* file = __builtin_FILE(),
                              unsigned line = __builtin_LINE());

// Aborts through checkFailed when `condition` is false. Active in every build type.
inline void requireThat(bool condition, std::string_view message, const char* file = __builtin_FILE(),
                        unsigned line = __builtin_LINE()) {
  if (!condition) [[unlikely]]
    checkFailed(message, file, line);
}

}  // namespace platform::log
