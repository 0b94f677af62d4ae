#include "core/process_info.hpp"

#include <optional>

#include "platform/sys/system.hpp"
#include "platform/text/text.hpp"

namespace noxtal {
namespace {

std::string cleanText(std::optional<std::string> value) {
  if (!value) return {};
  std::string& text = *value;
  const auto zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  // Round trip through UTF-16 replaces invalid sequences with U+FFFD.
  return platform::text::toUtf8(platform::text::toUtf16(text));
}

}  // namespace

std::string stringFromSysctl(std::string_view name) {
  if (name == "machdep.cpu.brand_string") return cleanText(platform::sys::cpuInfoField("model name"));
  if (name == "machdep.cpu.vendor") return cleanText(platform::sys::cpuInfoField("vendor_id"));
  if (name == "machdep.cpu.family") return cleanText(platform::sys::cpuInfoField("cpu family"));
  if (name == "machdep.cpu.core_count") return std::to_string(platform::sys::physicalCoreCount());
  if (name == "machdep.cpu.thread_count") return std::to_string(platform::sys::processorCount());
  if (name == "hw.model") return cleanText(platform::sys::dmiString("product_name"));
  return {};
}

const std::string& processor() {
  static const std::string value = stringFromSysctl("machdep.cpu.brand_string");
  return value;
}

const std::string& cores() {
  static const std::string value = stringFromSysctl("machdep.cpu.core_count");
  return value;
}

const std::string& threads() {
  static const std::string value = stringFromSysctl("machdep.cpu.thread_count");
  return value;
}

const std::string& vendor() {
  static const std::string value = stringFromSysctl("machdep.cpu.vendor");
  return value;
}

const std::string& family() {
  static const std::string value = stringFromSysctl("machdep.cpu.family");
  return value;
}

const std::string& hwModel() {
  static const std::string value = stringFromSysctl("hw.model");
  return value;
}

}  // namespace noxtal
