#include "speech/decoding/segment_seeker.hpp"

#include <algorithm>
#include <limits>

#include "platform/sys/checked_cast.hpp"

namespace vostrane {

namespace {

constexpr float kSecondsPerTimestamp = 0.02F;

float timestampSeconds(int token, int timeToken) { return static_cast<float>(token - timeToken) * kSecondsPerTimestamp; }

std::string segmentText(const std::vector<int>& tokens, bool skipSpecialTokens, const WhisperTokenizer& tokenizer) {
  if (!skipSpecialTokens) return tokenizer.decode(tokens);
  const int specialBegin = tokenizer.specialTokens().specialTokenBegin;
  std::vector<int> text;
  std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(text), [&](int id) { return id < specialBegin; });
  return tokenizer.decode(text);
}

}  // namespace

std::pair<int, std::optional<std::vector<TranscriptionSegment>>> SegmentSeeker::findSeekPointAndSegments(
    const DecodingResult& decodingResult, const DecodingOptions& options, int allSegmentsCount, int currentSeek,
    int segmentSize, int sampleRate, int timeToken, int /*specialToken*/, const WhisperTokenizer& tokenizer) const {
  if (options.noSpeechThreshold && decodingResult.noSpeechProb > *options.noSpeechThreshold) {
    const bool rescued = options.logProbThreshold && decodingResult.avgLogProb > *options.logProbThreshold;
    if (!rescued) return {currentSeek + segmentSize, std::nullopt};
  }

  const std::vector<int>& tokens = decodingResult.tokens;
  const std::size_t count = tokens.size();
  std::vector<bool> isTimestamp(count);
  for (std::size_t i = 0; i < count; ++i) isTimestamp[i] = tokens[i] >= timeToken;

  bool singleTimestampEnding = false;
  bool noTimestampEnding = false;
  if (count >= 3) {
    const bool a = isTimestamp[count - 3];
    const bool b = isTimestamp[count - 2];
    const bool c = isTimestamp[count - 1];
    singleTimestampEnding = !a && b && !c;
    noTimestampEnding = !a && !b && !c;
  }

  std::vector<std::size_t> consecutive;
  for (std::size_t i = 1; i < count; ++i) {
    if (isTimestamp[i] && isTimestamp[i - 1]) consecutive.push_back(i);
  }

  const float timeOffset = static_cast<float>(currentSeek) / static_cast<float>(sampleRate);
  const auto logProbsOf = [&](std::size_t from, std::size_t to) {
    std::vector<std::map<int, float>> slice;
    slice.reserve(to - from);
    for (std::size_t i = from; i < to; ++i) {
      slice.push_back(i < decodingResult.tokenLogProbs.size() ? decodingResult.tokenLogProbs[i] : std::map<int, float>{});
    }
    return slice;
  };
  const auto makeSegment = [&](int id, float start, float end, std::vector<int> sliceTokens,
                               std::vector<std::map<int, float>> sliceLogProbs) {
    TranscriptionSegment segment;
    segment.id = id;
    segment.seek = currentSeek;
    segment.start = start;
    segment.end = end;
    segment.text = segmentText(sliceTokens, options.skipSpecialTokens, tokenizer);
    segment.tokens = std::move(sliceTokens);
    segment.tokenLogProbs = std::move(sliceLogProbs);
    segment.temperature = decodingResult.temperature;
    segment.avgLogprob = decodingResult.avgLogProb;
    segment.compressionRatio = decodingResult.compressionRatio;
    segment.noSpeechProb = decodingResult.noSpeechProb;
    return segment;
  };

  if (consecutive.empty()) {
    std::optional<int> lastTimestamp;
    for (int token : tokens) {
      if (token > timeToken) lastTimestamp = token;
    }
    const float duration = lastTimestamp ? timestampSeconds(*lastTimestamp, timeToken)
                                         : static_cast<float>(segmentSize) / static_cast<float>(sampleRate);
    std::vector<TranscriptionSegment> segments;
    segments.push_back(makeSegment(allSegmentsCount, timeOffset, timeOffset + duration, tokens, logProbsOf(0, count)));
    return {currentSeek + segmentSize, std::move(segments)};
  }

  std::vector<std::size_t> sliceEnds = consecutive;
  if (singleTimestampEnding) {
    std::size_t lastTimestamp = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (isTimestamp[i]) lastTimestamp = i;
    }
    sliceEnds.push_back(lastTimestamp + 1);
  } else if (noTimestampEnding) {
    sliceEnds.push_back(count);
  }

  std::vector<TranscriptionSegment> segments;
  std::size_t sliceStart = 0;
  for (std::size_t sliceEnd : sliceEnds) {
    std::vector<int> sliceTokens(tokens.begin() + static_cast<std::ptrdiff_t>(sliceStart),
                                 tokens.begin() + static_cast<std::ptrdiff_t>(sliceEnd));
    std::optional<int> first;
    std::optional<int> last;
    for (int token : sliceTokens) {
      if (token < timeToken) continue;
      if (!first) first = token;
      last = token;
    }
    // Every slice holds a timestamp: it starts at 0 or at the second timestamp of a pair.
    const float start = first ? timestampSeconds(*first, timeToken) : 0.0F;
    const float end = last ? timestampSeconds(*last, timeToken) : 0.0F;
    segments.push_back(makeSegment(allSegmentsCount + static_cast<int>(segments.size()), timeOffset + start,
                                   timeOffset + end, std::move(sliceTokens), logProbsOf(sliceStart, sliceEnd)));
    sliceStart = sliceEnd;
  }

  int seek = currentSeek + segmentSize;
  if (!noTimestampEnding) {
    const std::size_t lastEnd = sliceEnds.back();
    const int token = singleTimestampEnding ? tokens[lastEnd - 1] : tokens[lastEnd];
    const float samples = timestampSeconds(token, timeToken) * static_cast<float>(sampleRate);
    if (const std::optional<int> offset = platform::sys::checkedIntegerCast<int>(samples);
        offset && static_cast<long long>(currentSeek) + *offset <= std::numeric_limits<int>::max()) {
      seek = currentSeek + *offset;
    }
  }
  return {seek, std::move(segments)};
}

}  // namespace vostrane
