#include "transcription/transcript_sanitizer.hpp"

#include <algorithm>

#include "platform/text/text.hpp"

namespace velmoria {
namespace {

constexpr float kLowWordProbability = 0.3f;

bool isLowProbabilityOneWordSegment(const TranscriptSegment& segment) {
  return segment.words && segment.words->size() == 1 && segment.words->front().probability < kLowWordProbability;
}

// `text` without white space and line breaks at either end.
std::u16string trimmed(const std::string& text) {
  const std::u16string units = platform::text::toUtf16(text);
  std::size_t begin = 0;
  std::size_t end = units.size();
  while (begin < end && platform::text::isWhitespace(units[begin])) ++begin;
  while (end > begin && platform::text::isWhitespace(units[end - 1])) --end;
  return units.substr(begin, end - begin);
}

}  // namespace

TranscriptResult TranscriptSanitizer::sanitize(const TranscriptResult& transcript, double audioDuration) {
  TranscriptResult result = transcript;
  result.segments.clear();
  for (const TranscriptSegment& segment : transcript.segments) {
    if (!(audioDuration > segment.startTime)) continue;
    TranscriptSegment kept = segment;
    const double end = std::min(audioDuration, segment.endTime);
    if (end != segment.endTime) kept.endTime = end;
    result.segments.push_back(std::move(kept));
  }
  while (!result.segments.empty() && isLowProbabilityOneWordSegment(result.segments.back())) {
    result.segments.pop_back();
  }
  return result;
}

std::optional<float> TranscriptSanitizer::deriveConfidence(const TranscriptSegment& segment) {
  if (!segment.words || segment.words->empty()) return std::nullopt;
  float sum = 0;
  for (const TranscriptWord& word : *segment.words) sum += word.probability;
  return sum / float(segment.words->size());
}

std::optional<std::string> VocabularyFormatter::formatPrompt(const std::vector<std::string>& terms) {
  std::string joined;
  std::size_t total = 0;
  bool any = false;
  for (const std::string& term : terms) {
    const std::u16string text = trimmed(term);
    if (text.empty()) continue;
    const std::size_t cost = total + platform::text::graphemeCount(text) + 2;
    if (cost >= kPromptBudget) break;
    total = cost;
    if (any) joined += ", ";
    joined += platform::text::toUtf8(text);
    any = true;
  }
  if (!any) return std::nullopt;
  return "Transcript mentioning: " + joined + ".";
}

}  // namespace velmoria
