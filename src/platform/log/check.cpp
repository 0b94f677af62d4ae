#include "platform/log/check.hpp"

#include <cstdlib>
#include <string>

#include "platform/log/log.hpp"

namespace platform::log {

void checkFailed(std::string_view message, const char* file, unsigned line) {
  std::string text = "Precondition failed: ";
  text += message;
  text += " (";
  text += file;
  text += ':';
  text += std::to_string(line);
  text += ')';
  write(Level::fault, "platform", "check", text);
  std::abort();
}

}  // namespace platform::log
