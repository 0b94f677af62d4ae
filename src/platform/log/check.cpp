#include "platform/log/check.hpp"

#include <cstdlib>
#include <string>

#include "platform/log/log.hpp"

namespace platform::log {

void checkFailed(std::string_view message, std::source_location where) {
  std::string line = "Precondition failed: ";
  line += message;
  line += " (";
  line += where.file_name();
  line += ':';
  line += std::to_string(where.line());
  line += ')';
  write(Level::fault, "platform", "check", line);
  std::abort();
}

}  // namespace platform::log
