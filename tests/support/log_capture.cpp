#include "support/log_capture.hpp"

namespace testsupport {

LogCapture::LogCapture(std::optional<platform::log::Level> minimum) : previousMinimum_(platform::log::minimumLevel()) {
  platform::log::setSink([this](const platform::log::Record& r) {
    std::lock_guard<std::mutex> guard(mutex_);
    records_.push_back({r.level, std::string(r.subsystem), std::string(r.category), std::string(r.message)});
  });
  if (minimum) platform::log::setMinimumLevel(*minimum);
}

LogCapture::~LogCapture() {
  platform::log::setSink(nullptr);
  platform::log::setMinimumLevel(previousMinimum_);
}

std::vector<CapturedRecord> LogCapture::records() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return records_;
}

std::vector<std::string> LogCapture::messages(platform::log::Level atLeast) const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<std::string> out;
  for (const auto& r : records_) {
    if (r.level >= atLeast) out.push_back(r.message);
  }
  return out;
}

bool LogCapture::contains(std::string_view text, platform::log::Level atLeast) const {
  for (const auto& m : messages(atLeast)) {
    if (m.find(text) != std::string::npos) return true;
  }
  return false;
}

void LogCapture::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  records_.clear();
}

}  // namespace testsupport
