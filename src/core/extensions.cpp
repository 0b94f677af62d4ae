#include "core/extensions.hpp"

#include <fnmatch.h>

#include <cmath>

#include "platform/sys/paths.hpp"
#include "platform/text/text.hpp"

namespace noxtal {

std::vector<std::string> matching(std::span<const std::string> names, std::string_view glob) {
  const std::string pattern(glob);
  std::vector<std::string> out;
  for (const auto& name : names) {
    if (::fnmatch(pattern.c_str(), name.c_str(), 0) == 0) out.push_back(name);
  }
  return out;
}

std::string trimmingFromEnd(std::string_view text, std::string_view character, int upto) {
  if (upto <= 0 || character.empty()) return std::string(text);
  const std::u16string wide = platform::text::toUtf16(text);
  // Characters compare by canonical equivalence, as the platform's characters do: both sides
  // are compared in NFC.
  const auto nfc = [](std::u16string_view units) {
    return platform::text::normalize(units, platform::text::NormalizationForm::nfc);
  };
  const std::u16string target = nfc(platform::text::toUtf16(character));
  const std::vector<std::size_t> bounds = platform::text::graphemeBoundaries(wide);
  std::size_t end = wide.size();
  std::size_t index = bounds.size() - 1;  // bounds[index] == end
  for (int removed = 0; removed < upto && index > 0; ++removed) {
    const std::size_t start = bounds[index - 1];
    if (nfc(std::u16string_view(wide).substr(start, end - start)) != target) break;
    end = start;
    --index;
  }
  if (end == wide.size()) return std::string(text);
  return platform::text::toUtf8(std::u16string_view(wide).substr(0, end));
}

float rounded(float value, int decimals) {
  const float multiplier = std::pow(10.0f, static_cast<float>(decimals));
  return std::round(value * multiplier) / multiplier;
}

std::string resolveAbsolutePath(std::string_view path) {
  std::string expanded(path);
  if (!path.empty() && path[0] == '~' && (path.size() == 1 || path[1] == '/')) {
    std::string_view rest = path.substr(1);
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    const auto home = platform::sys::homeDirectory();
    expanded = (rest.empty() ? home : home / rest).string();
  }
  if (!expanded.empty() && expanded[0] == '/') return expanded;
  return (platform::sys::currentDirectory() / expanded).string();
}

}  // namespace noxtal
