#include "tools/score-der/rttm.hpp"

#include <cmath>
#include <cstdlib>

namespace rttm {

namespace {

constexpr double kLongestTime = 1e7;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && isBlank(line[i])) ++i;
    const std::size_t begin = i;
    while (i < line.size() && !isBlank(line[i])) ++i;
    if (i > begin) out.push_back(line.substr(begin, i - begin));
  }
  return out;
}

bool isTypeName(std::string_view word) {
  for (const char c : word) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '/';
    if (!ok) return false;
  }
  return !word.empty();
}

[[noreturn]] void fail(std::size_t lineNumber, const std::string& reason) {
  throw RttmError("line " + std::to_string(lineNumber) + ": " + reason);
}

double seconds(std::string_view word, std::size_t lineNumber, const char* what) {
  // Digits, one optional sign, point and exponent only: no "inf", "nan" or hexadecimal forms.
  for (const char c : word) {
    const bool ok = (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E';
    if (!ok) fail(lineNumber, std::string(what) + " is not a number: \"" + std::string(word) + "\"");
  }
  const std::string copy(word);
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (copy.empty() || end != copy.c_str() + copy.size()) {
    fail(lineNumber, std::string(what) + " is not a number: \"" + copy + "\"");
  }
  if (!std::isfinite(value) || value < 0 || value > kLongestTime) {
    fail(lineNumber, std::string(what) + " out of range: \"" + copy + "\"");
  }
  return value;
}

}  // namespace

std::vector<Segment> parse(std::string_view text) {
  std::vector<Segment> out;
  std::size_t lineNumber = 0;
  std::size_t position = 0;
  while (position < text.size()) {
    std::size_t end = text.find('\n', position);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(position, end - position);
    position = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const auto words = fields(line);
    if (words.empty()) continue;
    if (words[0].starts_with("#") || words[0].starts_with(";;")) continue;
    if (line.find('\0') != std::string_view::npos) fail(lineNumber, "NUL byte");
    if (!isTypeName(words[0])) fail(lineNumber, "not an RTTM record: \"" + std::string(words[0]) + "\"");
    if (words[0] != "SPEAKER") continue;
    if (words.size() < 8) {
      fail(lineNumber, "SPEAKER record with " + std::to_string(words.size()) + " fields (at least 8 needed)");
    }
    Segment segment;
    segment.file = std::string(words[1]);
    segment.onset = seconds(words[3], lineNumber, "onset");
    segment.duration = seconds(words[4], lineNumber, "duration");
    segment.speaker = std::string(words[7]);
    out.push_back(std::move(segment));
  }
  return out;
}

std::string fileIdFor(const std::filesystem::path& audioPath) {
  std::string id = audioPath.stem().string();
  for (char& c : id) {
    if (isBlank(c) || c == '\r' || c == '\n') c = '_';
  }
  return id.empty() ? "audio" : id;
}

}  // namespace rttm
