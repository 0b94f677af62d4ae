// Word timings of one window: the SegmentSeeker operations behind addWordTimestamps.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/extensions.hpp"
#include "core/logging.hpp"
#include "platform/text/text.hpp"
#include "speech/decoding/segment_seeker.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {

namespace {

using platform::ml::DataType;
using platform::ml::MultiArray;

constexpr float kSecondsPerFrame = 0.02F;
constexpr int kFramesWhenNoPath = 1500;
constexpr float kMedianCap = 0.7F;

bool isSentenceEnd(std::string_view word) {
  static constexpr std::string_view kMarks[] = {".", "\u3002", "!", "\uFF01", "?", "\uFF1F"};
  return std::find(std::begin(kMarks), std::end(kMarks), word) != std::end(kMarks);
}

std::size_t scalarLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 1;
}

bool startsWithWhitespace(std::string_view text) {
  return !text.empty() && platform::text::isWhitespace(platform::text::firstCodePoint(text));
}

// `text` without whitespace (the White_Space property) at either end.
std::string_view trimmed(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size() && startsWithWhitespace(text.substr(begin))) {
    begin += scalarLength(static_cast<unsigned char>(text[begin]));
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t lead = end - 1;
    while (lead > begin && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) --lead;
    if (!startsWithWhitespace(text.substr(lead, end - lead))) break;
    end = lead;
  }
  return text.substr(begin, std::min(end, text.size()) - begin);
}

// Membership in a punctuation text: occurrence as a substring; the empty text is in no set.
bool belongsTo(std::string_view text, std::string_view marks) {
  return !text.empty() && marks.find(text) != std::string_view::npos;
}

// The weights as doubles in row-major order.
std::vector<double> weightsOf(const MultiArray& matrix) {
  std::vector<double> values(static_cast<std::size_t>(matrix.count()));
  switch (matrix.dataType()) {
    case DataType::float32: {
      const auto source = matrix.span<float>();
      std::copy(source.begin(), source.end(), values.begin());
      break;
    }
    case DataType::float64: {
      const auto source = matrix.span<double>();
      std::copy(source.begin(), source.end(), values.begin());
      break;
    }
    default: {
      const std::vector<float> source = matrix.toFloatVector();
      std::copy(source.begin(), source.end(), values.begin());
      break;
    }
  }
  return values;
}

// Copies up to `rows` rows of `source` (its columns = its last dimension) into the
// [rows, columns] matrix `target` of the same element type, element by element through the
// strides; rows the source lacks stay 0.
void copyRows(const MultiArray& source, MultiArray& target, std::int64_t rows, std::int64_t columns) {
  const std::size_t size = platform::ml::elementSize(source.dataType());
  const auto* from = static_cast<const std::byte*>(source.data());
  auto* to = static_cast<std::byte*>(target.data());
  const auto& strides = source.strides();
  std::int64_t sourceRows = 0;
  std::int64_t rowStride = 0;
  std::int64_t columnStride = 1;
  if (source.rank() == 1) {
    sourceRows = 1;
    columnStride = strides[0];
  } else if (source.rank() == 2) {
    sourceRows = source.shape()[0];
    rowStride = strides[0];
    columnStride = strides[1];
  } else {
    // Leading dimensions flattened into rows (storage is row-major).
    sourceRows = columns > 0 ? source.count() / columns : 0;
    rowStride = columns;
  }
  const auto& targetStrides = target.strides();
  for (std::int64_t r = 0; r < std::min(rows, sourceRows); ++r) {
    for (std::int64_t c = 0; c < columns; ++c) {
      std::memcpy(to + static_cast<std::size_t>(r * targetStrides[0] + c * targetStrides[1]) * size,
                  from + static_cast<std::size_t>(r * rowStride + c * columnStride) * size, size);
    }
  }
}

}  // namespace

AlignmentPath SegmentSeeker::computeAlignmentPath(const MultiArray& matrix) const {
  if (matrix.rank() != 2 || matrix.shape()[0] < 1 || matrix.shape()[1] < 1 ||
      matrix.shape()[0] >= std::numeric_limits<int>::max() || matrix.shape()[1] >= std::numeric_limits<int>::max()) {
    throw WhisperError::segmentingFailed("Invalid alignment matrix shape");
  }
  const int n = static_cast<int>(matrix.shape()[0]);
  const int m = static_cast<int>(matrix.shape()[1]);
  const std::vector<double> x = weightsOf(matrix);
  const std::size_t width = static_cast<std::size_t>(m) + 1;
  std::vector<double> cost((static_cast<std::size_t>(n) + 1) * width, std::numeric_limits<double>::infinity());
  TraceMatrix trace{n, m, std::vector<std::int8_t>(cost.size(), -1)};
  cost[0] = 0;
  for (std::size_t j = 1; j < width; ++j) trace.steps[j] = 2;
  for (std::size_t i = 1; i <= static_cast<std::size_t>(n); ++i) trace.steps[i * width] = 1;

  for (std::size_t i = 1; i <= static_cast<std::size_t>(n); ++i) {
    const double* above = cost.data() + (i - 1) * width;
    double* row = cost.data() + i * width;
    std::int8_t* steps = trace.steps.data() + i * width;
    const double* weights = x.data() + (i - 1) * static_cast<std::size_t>(m);
    for (std::size_t j = 1; j < width; ++j) {
      const double w = weights[j - 1];
      const double c0 = above[j - 1] - w;
      const double c1 = above[j] - w;
      const double c2 = row[j - 1] - w;
      if (c0 < c1 && c0 < c2) {
        row[j] = c0;
        steps[j] = 0;
      } else if (c1 < c0 && c1 < c2) {
        row[j] = c1;
        steps[j] = 1;
      } else {
        row[j] = c2;
        steps[j] = 2;
      }
    }
  }
  return tracePath(trace);
}

AlignmentPath SegmentSeeker::tracePath(const TraceMatrix& trace) const {
  AlignmentPath path;
  int i = trace.rows;
  int j = trace.columns;
  while (i > 0 || j > 0) {
    path.tokenIndices.push_back(i - 1);
    path.frameIndices.push_back(j - 1);
    const std::int8_t step = trace.at(i, j);
    if (step == 0) {
      --i;
      --j;
    } else if (step == 1) {
      --i;
    } else if (step == 2) {
      --j;
    } else {
      break;  // a cell the warping never reached
    }
    i = std::max(i, 0);
    j = std::max(j, 0);
  }
  std::reverse(path.tokenIndices.begin(), path.tokenIndices.end());
  std::reverse(path.frameIndices.begin(), path.frameIndices.end());
  return path;
}

std::vector<WordTiming> SegmentSeeker::wordTimingsFromAlignment(const std::vector<int>& tokens,
                                                                const MultiArray& alignment,
                                                                const std::vector<float>& logProbs,
                                                                const WhisperTokenizer& tokenizer) const {
  const AlignmentPath path = computeAlignmentPath(alignment);
  const WordTokens split = tokenizer.splitToWordTokens(tokens);
  if (split.words.size() < 2) return {};

  std::vector<float> starts{0.0F};
  std::vector<float> ends;
  if (!path.tokenIndices.empty()) {
    int lastToken = path.tokenIndices.front();
    for (std::size_t k = 0; k < path.tokenIndices.size(); ++k) {
      if (path.tokenIndices[k] == lastToken) continue;
      lastToken = path.tokenIndices[k];
      const float time = static_cast<float>(path.frameIndices[k]) * kSecondsPerFrame;
      starts.push_back(time);
      ends.push_back(time);
    }
  }
  ends.push_back(static_cast<float>(path.frameIndices.empty() ? kFramesWhenNoPath : path.frameIndices.back()) *
                 kSecondsPerFrame);

  std::vector<WordTiming> words;
  std::size_t t = 0;
  for (std::size_t w = 0; w < split.words.size(); ++w) {
    const std::vector<int>& wordTokens = split.wordTokens[w];
    const std::size_t n = wordTokens.size();
    if (n == 0) continue;
    if (t + n > starts.size() || t + n > ends.size()) break;
    float sum = 0;
    for (std::size_t k = t; k < t + n; ++k) sum += k < logProbs.size() ? logProbs[k] : 0.0F;
    words.push_back(WordTiming{split.words[w], wordTokens, starts[t], ends[t + n - 1],
                               std::exp(sum / static_cast<float>(n))});
    t += n;
  }
  return words;
}

WordDurationConstraints SegmentSeeker::calculateWordDurationConstraints(const std::vector<WordTiming>& alignment) const {
  std::vector<float> durations;
  for (const WordTiming& word : alignment) {
    const float duration = word.end - word.start;
    if (duration > 0) durations.push_back(duration);
  }
  std::sort(durations.begin(), durations.end());
  float median = durations.empty() ? 0.0F : durations[durations.size() / 2];
  median = std::min(median, kMedianCap);
  return {median, 2 * median};
}

std::vector<WordTiming> SegmentSeeker::truncateLongWordsAtSentenceBoundaries(const std::vector<WordTiming>& words,
                                                                            float maxDuration) const {
  std::vector<WordTiming> out = words;
  if (out.size() < 2) return out;
  for (std::size_t i = 1; i < out.size(); ++i) {
    WordTiming& word = out[i];
    if (word.end - word.start <= maxDuration) continue;
    if (isSentenceEnd(word.word)) {
      word.end = word.start + maxDuration;
    } else if (isSentenceEnd(out[i - 1].word)) {
      word.start = word.end - maxDuration;
    }
  }
  return out;
}

std::vector<WordTiming> SegmentSeeker::mergePunctuationMarks(const std::vector<WordTiming>& words,
                                                             std::string_view prepend, std::string_view append) const {
  if (words.empty()) return {};

  // Opening marks join the word after them.
  std::vector<WordTiming> opened;
  const bool firstHeld = belongsTo(trimmed(words.front().word), prepend);
  if (!firstHeld) opened.push_back(words.front());
  for (std::size_t i = 1; i < words.size(); ++i) {
    const WordTiming& w = words[i];
    const WordTiming& p = words[i - 1];
    const bool pIsOpening = belongsTo(trimmed(p.word), prepend);
    const bool joins = pIsOpening && (startsWithWhitespace(p.word) || (i == 1 && firstHeld));
    if (!joins) {
      opened.push_back(w);
      continue;
    }
    WordTiming joined = w;
    if (opened.empty()) {
      joined.word = p.word + w.word;
      joined.tokens = p.tokens;
    } else {
      joined.word = opened.back().word + w.word;
      joined.tokens = opened.back().tokens;
      opened.pop_back();
    }
    joined.tokens.insert(joined.tokens.end(), w.tokens.begin(), w.tokens.end());
    opened.push_back(std::move(joined));
  }

  // Closing marks join the word before them.
  std::vector<WordTiming> closed;
  for (std::size_t i = 0; i < opened.size(); ++i) {
    const WordTiming& w = opened[i];
    if (i > 0) {
      const WordTiming& p = opened[i - 1];
      const bool pEndsWithBlank = !p.word.empty() && p.word.back() == ' ';
      if (!pEndsWithBlank && belongsTo(trimmed(w.word), append)) {
        WordTiming& last = closed.back();
        last.word += w.word;
        last.tokens.insert(last.tokens.end(), w.tokens.begin(), w.tokens.end());
        continue;
      }
    }
    closed.push_back(w);
  }

  std::vector<WordTiming> kept;
  for (WordTiming& word : closed) {
    if (word.word.empty() || belongsTo(word.word, append) || belongsTo(word.word, prepend)) continue;
    kept.push_back(std::move(word));
  }
  return kept;
}

std::vector<TranscriptionSegment> SegmentSeeker::updateSegmentsWithWordTimings(
    const std::vector<TranscriptionSegment>& segments, const std::vector<WordTiming>& mergedAlignment, int seek,
    float lastSpeechTimestamp, float constrainedMedianDuration, float maxDuration,
    const WhisperTokenizer& tokenizer) const {
  const int specialBegin = tokenizer.specialTokens().specialTokenBegin;
  const float median = constrainedMedianDuration;
  const float timeOffset = static_cast<float>(seek) / 16000.0F;

  // The text tokens of all segments in order, each with its segment. A word belongs to the
  // segment holding its first text token; tokens of words removed while merging marks are
  // passed over, so they still count for their own segment.
  struct TextToken {
    int token;
    std::size_t segment;
  };
  std::vector<TextToken> stream;
  for (std::size_t s = 0; s < segments.size(); ++s) {
    for (int token : segments[s].tokens) {
      if (token < specialBegin) stream.push_back({token, s});
    }
  }
  std::vector<std::vector<WordTiming>> placed(segments.size());
  std::size_t cursor = 0;
  for (const WordTiming& word : mergedAlignment) {
    std::vector<int> textTokens;
    std::copy_if(word.tokens.begin(), word.tokens.end(), std::back_inserter(textTokens),
                 [&](int id) { return id < specialBegin; });
    if (textTokens.empty() || segments.empty()) continue;
    std::optional<std::size_t> at;
    for (std::size_t p = cursor; p + textTokens.size() <= stream.size() && !at; ++p) {
      bool matches = true;
      for (std::size_t k = 0; k < textTokens.size() && matches; ++k) matches = stream[p + k].token == textTokens[k];
      if (matches) at = p;
    }
    std::size_t segment = segments.size() - 1;
    if (at) {
      segment = stream[*at].segment;
      cursor = *at + textTokens.size();
    } else if (cursor < stream.size()) {
      segment = stream[cursor].segment;
    }
    WordTiming timed;
    timed.word = textTokens.size() == word.tokens.size() ? word.word : tokenizer.decode(textTokens);
    timed.tokens = std::move(textTokens);
    timed.start = noxtal::rounded(word.start + timeOffset, 2);
    timed.end = noxtal::rounded(word.end + timeOffset, 2);
    timed.probability = noxtal::rounded(word.probability, 2);
    placed[segment].push_back(std::move(timed));
  }

  std::vector<TranscriptionSegment> out;
  out.reserve(segments.size());
  float lastSpeech = lastSpeechTimestamp;
  for (std::size_t s = 0; s < segments.size(); ++s) {
    TranscriptionSegment segment = segments[s];
    std::vector<WordTiming>& words = placed[s];
    for (std::size_t i = 0; i < words.size(); ++i) {
      WordTiming& word = words[i];
      if (word.end - word.start >= median * 0.25F) continue;
      std::optional<float> previousEnd;
      if (i > 0) {
        previousEnd = words[i - 1].end;
      } else if (!out.empty()) {
        previousEnd = out.back().end;
      }
      if (previousEnd && word.start > *previousEnd) {
        word.start = noxtal::rounded(word.start - std::min(median * 0.5F, word.start - *previousEnd), 2);
      }
    }
    if (!words.empty()) {
      WordTiming& a = words.front();
      WordTiming* b = words.size() > 1 ? &words[1] : nullptr;
      if (a.end - lastSpeech > median * 4 &&
          (a.end - a.start > maxDuration || (b != nullptr && b->end - a.start > 2 * maxDuration))) {
        if (b != nullptr && b->end - b->start > maxDuration) {
          const float boundary = std::max(b->end * 0.5F, b->end - maxDuration);
          a.end = boundary;
          b->start = boundary;
        }
        a.start = std::max(lastSpeech, a.end - maxDuration);
      }
      if (segment.start < a.end && segment.start - 0.5F > a.start) {
        a.start = std::max(0.0F, std::min(a.end - median, segment.start));
      } else {
        segment.start = a.start;
      }
      WordTiming& z = words.back();
      if (segment.end > z.start && segment.end + 0.5F < z.end) {
        z.end = std::max(z.start + median, segment.end);
      } else {
        segment.end = z.end;
      }
      lastSpeech = segment.end;
    }
    segment.words = std::move(words);
    out.push_back(std::move(segment));
  }
  return out;
}

std::vector<TranscriptionSegment> SegmentSeeker::addWordTimestamps(
    const std::vector<TranscriptionSegment>& segments, const MultiArray& alignmentWeights,
    const WhisperTokenizer& tokenizer, int seek, int /*segmentSize*/, std::string_view prependPunctuations,
    std::string_view appendPunctuations, float lastSpeechTimestamp, const DecodingOptions& /*options*/,
    const TranscriptionTimings& /*timings*/) const {
  std::vector<int> tokens;
  std::vector<float> logProbs;
  for (const TranscriptionSegment& segment : segments) {
    for (std::size_t i = 0; i < segment.tokens.size(); ++i) {
      const int token = segment.tokens[i];
      tokens.push_back(token);
      float logProb = 0;
      if (i < segment.tokenLogProbs.size()) {
        if (auto found = segment.tokenLogProbs[i].find(token); found != segment.tokenLogProbs[i].end()) {
          logProb = found->second;
        }
      }
      logProbs.push_back(logProb);
    }
  }

  const platform::ml::Shape& shape = alignmentWeights.shape();
  if (shape.empty()) throw WhisperError::segmentingFailed("Invalid shape in alignmentWeights");
  const std::int64_t columns = shape.back();

  std::vector<WordTiming> alignment;
  WordDurationConstraints constraints;
  if (!tokens.empty() && columns > 0) {
    const auto rows = static_cast<std::int64_t>(tokens.size());
    MultiArray matrix({rows, columns}, alignmentWeights.dataType());
    copyRows(alignmentWeights, matrix, rows, columns);
    noxtal::Logging::debug("Alignment weights shape: " + platform::ml::shapeText(matrix.shape()));
    alignment = wordTimingsFromAlignment(tokens, matrix, logProbs, tokenizer);
    constraints = calculateWordDurationConstraints(alignment);
    alignment = truncateLongWordsAtSentenceBoundaries(alignment, constraints.max);
    if (!alignment.empty()) alignment = mergePunctuationMarks(alignment, prependPunctuations, appendPunctuations);
  }
  return updateSegmentsWithWordTimings(segments, alignment, seek, lastSpeechTimestamp, constraints.median,
                                       constraints.max, tokenizer);
}

}  // namespace vostrane
