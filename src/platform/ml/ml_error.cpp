#include "platform/ml/ml_error.hpp"

#include <cstdlib>
#include <string>

#include "platform/log/log.hpp"

namespace platform::ml {

void preconditionFailure(std::string_view message) {
  platform::log::write(platform::log::Level::fault, "platform", "ml", "Precondition failed: " + std::string(message));
  std::abort();
}

}  // namespace platform::ml
