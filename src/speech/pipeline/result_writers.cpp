#include "speech/pipeline/result_writers.hpp"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <utility>
#include <vector>

#include "platform/json/json.hpp"
#include "platform/net/url.hpp"
#include "platform/sys/checked_cast.hpp"

namespace vostrane {

namespace fs = std::filesystem;

std::string ResultWriting::formatTime(float seconds, bool alwaysIncludeHours, std::string_view decimalMarker) const {
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  const float hours = seconds / 3600.0f;
  const float minutes = std::fmod(seconds, 3600.0f) / 60.0f;
  const float wholeSeconds = std::fmod(seconds, 60.0f);
  const float milliseconds = (seconds - std::floor(seconds)) * 1000.0f;
  const int h = platform::sys::saturatingIntegerCast<int>(hours);
  const int m = platform::sys::saturatingIntegerCast<int>(minutes);
  const int s = platform::sys::saturatingIntegerCast<int>(wholeSeconds);
  const int ms = platform::sys::saturatingIntegerCast<int>(milliseconds);
  const std::string marker(decimalMarker);
  char buffer[64];
  if (h >= 1 || alwaysIncludeHours) {
    std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", h, m, s);
  } else {
    std::snprintf(buffer, sizeof buffer, "%02d:%02d", m, s);
  }
  char millis[16];
  std::snprintf(millis, sizeof millis, "%03d", ms);
  return std::string(buffer) + marker + millis;
}

std::string ResultWriting::formatSegment(int index, float start, float end, std::string_view text) const {
  std::string entry = std::to_string(index);
  entry += '\n';
  entry += formatTime(start, true, ",");
  entry += " --> ";
  entry += formatTime(end, true, ",");
  entry += '\n';
  entry += text;
  entry += "\n\n";
  return entry;
}

std::string ResultWriting::formatTiming(float start, float end, std::string_view text) const {
  std::string cue = formatTime(start, false, ".");
  cue += " --> ";
  cue += formatTime(end, false, ".");
  cue += '\n';
  cue += text;
  cue += "\n\n";
  return cue;
}

std::string collapseBlankLines(std::string_view text) {
  if (text.find_first_of("\r\n") == std::string_view::npos) return std::string(text);
  std::vector<std::string_view> lines;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    const std::size_t stop = text.find_first_of("\r\n", begin);
    if (stop == std::string_view::npos) {
      lines.push_back(text.substr(begin));
      break;
    }
    lines.push_back(text.substr(begin, stop - begin));
    begin = stop + 1;
    if (text[stop] == '\r' && begin < text.size() && text[begin] == '\n') ++begin;
  }
  std::string out;
  for (const std::string_view line : lines) {
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    if (!out.empty()) out += '\n';
    out += line;
  }
  return out;
}

std::string escapeVttText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string fileUrlText(const fs::path& path) {
  fs::path absolute = path;
  if (!absolute.is_absolute()) {
    std::error_code ignored;
    absolute = fs::absolute(path, ignored);
    if (absolute.empty()) absolute = fs::path("/") / path;
  }
  return "file://" + platform::net::percentEncodePath(absolute.lexically_normal().string());
}

namespace {

// Writes `bytes` atomically to `path`, turning every failure into the outcome's exception.
ResultWriteOutcome writeOutcome(platform::fs::FileSystem& fileSystem, const fs::path& path,
                                std::string_view bytes) {
  try {
    fileSystem.writeFile(path, bytes);
    return fileUrlText(path);
  } catch (...) {
    return std::current_exception();
  }
}

// Calls cue(start, end, text) for every subtitle entry of `result`, in order: one per word of
// a segment with a non-empty word list, else one for the segment.
template <class Cue>
void forEachCue(const TranscriptionResult& result, const Cue& cue) {
  for (const TranscriptionSegment& segment : result.segments()) {
    if (segment.words && !segment.words->empty()) {
      for (const WordTiming& word : *segment.words) cue(word.start, word.end, word.word);
    } else {
      cue(segment.start, segment.end, segment.text);
    }
  }
}

}  // namespace

WriteJSON::WriteJSON(std::string outputDir, platform::fs::FileSystem& fileSystem)
    : outputDir_(std::move(outputDir)), fileSystem_(fileSystem) {}

ResultWriteOutcome WriteJSON::write(const TranscriptionResult& result, const std::string& file,
                                    const std::optional<ResultWriterOptions>& /*options*/) {
  std::string bytes;
  try {
    bytes = platform::json::dump(result.toJson(), 2);
  } catch (...) {
    return std::current_exception();
  }
  return writeOutcome(fileSystem_, fs::path(outputDir_) / (file + ".json"), bytes);
}

WriteSRT::WriteSRT(std::string outputDir, platform::fs::FileSystem& fileSystem)
    : outputDir_(std::move(outputDir)), fileSystem_(fileSystem) {}

ResultWriteOutcome WriteSRT::write(const TranscriptionResult& result, const std::string& file,
                                   const std::optional<ResultWriterOptions>& /*options*/) {
  std::string text;
  try {
    int index = 1;
    forEachCue(result, [&](float start, float end, const std::string& words) {
      text += formatSegment(index++, start, end, collapseBlankLines(words));
    });
  } catch (...) {
    return std::current_exception();
  }
  return writeOutcome(fileSystem_, fs::path(outputDir_) / (file + ".srt"), text);
}

WriteVTT::WriteVTT(std::string outputDir, platform::fs::FileSystem& fileSystem)
    : outputDir_(std::move(outputDir)), fileSystem_(fileSystem) {}

ResultWriteOutcome WriteVTT::write(const TranscriptionResult& result, const std::string& file,
                                   const std::optional<ResultWriterOptions>& /*options*/) {
  std::string text = "WEBVTT\n\n";
  try {
    forEachCue(result, [&](float start, float end, const std::string& words) {
      text += formatTiming(start, end, escapeVttText(collapseBlankLines(words)));
    });
  } catch (...) {
    return std::current_exception();
  }
  return writeOutcome(fileSystem_, fs::path(outputDir_) / (file + ".vtt"), text);
}

}  // namespace vostrane
