#include "diarization/rttm.hpp"

#include <cstdio>
#include <optional>
#include <string_view>

namespace dellomar {

namespace {

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

std::string line(std::string_view fileId, float start, float duration, std::string_view orthography,
                 std::string_view name) {
  char times[96];
  std::snprintf(times, sizeof times, " 1 %.3f %.3f ", static_cast<double>(start), static_cast<double>(duration));
  std::string out = "SPEAKER ";
  out += fileId;
  out += times;
  out += orthography;
  out += " <NA> ";
  out += name;
  out += " <NA> <NA>";
  return out;
}

}  // namespace

std::string rttmSpeakerName(int speakerId) {
  if (speakerId == -1) return "UNKNOWN";
  return std::string(1, static_cast<char>(65 + speakerId % 26));
}

RTTMLine RTTMLine::make(std::string fileId, int speakerId, float startTime, float duration, std::string orthography) {
  return {std::move(fileId), startTime, duration, std::move(orthography), rttmSpeakerName(speakerId)};
}

std::string RTTMLine::description() const { return line(fileId, startTime, duration, orthography, speakerName); }

std::string RTTMLine::tenFieldDescription() const {
  std::string file = fileId.empty() ? std::string("_") : fileId;
  for (char& c : file) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') c = '_';
  }
  std::string name = speakerName.empty() ? std::string("UNKNOWN") : speakerName;
  return line(file, startTime, duration, "<NA>", name);
}

std::vector<RTTMLine> RTTMLine::fromWords(const std::vector<WordWithSpeaker>& words, const std::string& fileName) {
  std::vector<RTTMLine> lines;
  if (words.empty()) return lines;
  struct Group {
    std::optional<int> speaker;
    float start = 0;
    float end = 0;
    std::string text;
  };
  Group group{words.front().speaker, words.front().wordTiming.start, words.front().wordTiming.end,
              std::string(trimBlanks(words.front().wordTiming.word))};
  const auto close = [&] {
    if (group.speaker) lines.push_back(make(fileName, *group.speaker, group.start, group.end - group.start, group.text));
  };
  for (std::size_t i = 1; i < words.size(); ++i) {
    const WordWithSpeaker& word = words[i];
    if (word.speaker != group.speaker) {
      close();
      group = Group{word.speaker, word.wordTiming.start, word.wordTiming.end, std::string(trimBlanks(word.wordTiming.word))};
      continue;
    }
    group.end = word.wordTiming.end;
    group.text += ' ';
    group.text += trimBlanks(word.wordTiming.word);
  }
  close();
  return lines;
}

}  // namespace dellomar
