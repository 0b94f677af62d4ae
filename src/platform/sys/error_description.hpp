// The text of an error held in a std::exception_ptr, for log lines and messages.
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace platform::sys {

// What the error in `error` says of itself: what() of a std::exception, else (or for a null
// pointer) `unknown`.
inline std::string describeError(const std::exception_ptr& error, std::string_view unknown = "unknown error") {
  if (!error) return std::string(unknown);
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return std::string(unknown);
  }
}

}  // namespace platform::sys
