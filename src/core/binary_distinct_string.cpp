#include "core/binary_distinct_string.hpp"

#include <cstdio>
#include <cstdlib>

#include "platform/log/check.hpp"
#include "platform/text/text.hpp"

namespace noxtal {
namespace {

[[noreturn]] void indexOutOfBounds() { platform::log::checkFailed("Index out of bounds"); }

}  // namespace

BinaryDistinctCharacter::BinaryDistinctCharacter(const char* utf8)
    : bytes_(platform::text::toUtf16(utf8 ? std::string_view(utf8) : std::string_view())) {}

BinaryDistinctCharacter::BinaryDistinctCharacter(std::string_view utf8) : bytes_(platform::text::toUtf16(utf8)) {}

std::string BinaryDistinctCharacter::string() const { return platform::text::toUtf8(bytes_); }

std::string BinaryDistinctCharacter::description() const {
  std::string out = "BinaryDistinctCharacter('" + string() + "', bytes: [";
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    char unit[16];
    std::snprintf(unit, sizeof unit, "0x%02X", static_cast<unsigned>(bytes_[i]));
    if (i > 0) out += ", ";
    out += '"';
    out += unit;
    out += '"';
  }
  out += "])";
  return out;
}

BinaryDistinctString::BinaryDistinctString(const char* utf8)
    : value_(platform::text::toUtf16(utf8 ? std::string_view(utf8) : std::string_view())) {}

BinaryDistinctString::BinaryDistinctString(std::string_view utf8) : value_(platform::text::toUtf16(utf8)) {}

BinaryDistinctString::BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters) {
  for (const auto& c : characters) value_ += c.bytes();
}

std::string BinaryDistinctString::string() const { return platform::text::toUtf8(value_); }

std::size_t BinaryDistinctString::count() const { return platform::text::graphemeCount(value_); }

bool BinaryDistinctString::hasPrefix(const BinaryDistinctString& prefix) const {
  return view().starts_with(prefix.view());
}

bool BinaryDistinctString::hasSuffix(const BinaryDistinctString& suffix) const {
  return view().ends_with(suffix.view());
}

BinaryDistinctString BinaryDistinctString::lowercased() const {
  return BinaryDistinctString(platform::text::toLower(view()));
}

BinaryDistinctString BinaryDistinctString::replacingOccurrences(const BinaryDistinctString& target,
                                                                const BinaryDistinctString& replacement) const {
  if (target.empty()) return *this;
  std::u16string out;
  out.reserve(value_.size());
  std::size_t last = 0;
  for (std::size_t at = value_.find(target.value_); at != std::u16string::npos; at = value_.find(target.value_, last)) {
    out.append(value_, last, at - last);
    out += replacement.value_;
    last = at + target.value_.size();
  }
  out.append(value_, last, std::u16string::npos);
  return BinaryDistinctString(std::move(out));
}

std::size_t BinaryDistinctString::index(std::size_t i, std::ptrdiff_t offsetBy) const {
  const auto target = static_cast<std::ptrdiff_t>(i) + offsetBy;
  if (target < 0 || static_cast<std::size_t>(target) > count()) indexOutOfBounds();
  return static_cast<std::size_t>(target);
}

std::optional<std::size_t> BinaryDistinctString::index(std::size_t i, std::ptrdiff_t offsetBy,
                                                       std::size_t limitedBy) const {
  const auto target = static_cast<std::ptrdiff_t>(i) + offsetBy;
  if (target > static_cast<std::ptrdiff_t>(limitedBy)) return std::nullopt;
  if (target < 0) indexOutOfBounds();
  return static_cast<std::size_t>(target);
}

BinaryDistinctString BinaryDistinctString::slice(std::size_t lower, std::size_t upper) const {
  const auto bounds = platform::text::graphemeBoundaries(value_);
  const std::size_t n = bounds.size() - 1;
  if (lower > upper || upper > n) indexOutOfBounds();
  return BinaryDistinctString(view().substr(bounds[lower], bounds[upper] - bounds[lower]));
}

BinaryDistinctString BinaryDistinctString::slice(std::size_t lower) const {
  const auto bounds = platform::text::graphemeBoundaries(value_);
  if (lower > bounds.size() - 1) indexOutOfBounds();
  return BinaryDistinctString(view().substr(bounds[lower]));
}

std::vector<BinaryDistinctCharacter> BinaryDistinctString::characters() const {
  const auto bounds = platform::text::graphemeBoundaries(value_);
  std::vector<BinaryDistinctCharacter> out;
  out.reserve(bounds.size() - 1);
  for (std::size_t i = 1; i < bounds.size(); ++i) {
    out.emplace_back(view().substr(bounds[i - 1], bounds[i] - bounds[i - 1]));
  }
  return out;
}

BinaryDistinctString::Iterator BinaryDistinctString::begin() const {
  auto bounds = std::make_shared<const std::vector<std::size_t>>(platform::text::graphemeBoundaries(value_));
  return Iterator(&value_, std::move(bounds), 0);
}

BinaryDistinctString::Iterator BinaryDistinctString::end() const { return Iterator(&value_, nullptr, count()); }

BinaryDistinctCharacter BinaryDistinctString::Iterator::operator*() const {
  if (!bounds_ || position_ + 1 >= bounds_->size()) indexOutOfBounds();
  const std::size_t b = (*bounds_)[position_];
  return BinaryDistinctCharacter(std::u16string_view(*text_).substr(b, (*bounds_)[position_ + 1] - b));
}

}  // namespace noxtal
