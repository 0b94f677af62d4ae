#include "speech/decoding/logits_filters.hpp"

#include <algorithm>
#include <limits>

#include "core/logging.hpp"
#include "core/vector_ops.hpp"

namespace vostrane {

namespace {

using platform::ml::DataType;
using platform::ml::MultiArray;

constexpr float kMasked = -std::numeric_limits<float>::infinity();

// The logits as float32 (converted when needed).
MultiArray asFloat32(MultiArray logits) {
  if (logits.dataType() == DataType::float32) return logits;
  return logits.converted(DataType::float32);
}

// The V logits of a [1, ..., 1, V] float32 array; empty for any other shape.
std::span<float> logitsVector(MultiArray& logits) {
  if (logits.rank() == 0 || logits.dataType() != DataType::float32) return {};
  if (logits.count() != logits.shape().back()) return {};
  return logits.span<float>();
}

void mask(std::span<float> logits, int id) {
  if (id >= 0 && static_cast<std::size_t>(id) < logits.size()) logits[static_cast<std::size_t>(id)] = kMasked;
}

// Masks the ids [begin, end), clamped to the vocabulary.
void maskRange(std::span<float> logits, std::int64_t begin, std::int64_t end) {
  const auto size = static_cast<std::int64_t>(logits.size());
  begin = std::clamp<std::int64_t>(begin, 0, size);
  end = std::clamp<std::int64_t>(end, 0, size);
  if (begin < end) std::fill(logits.begin() + begin, logits.begin() + end, kMasked);
}

// Masks the last component of each index list (all lists have the form [0, 0, id]).
void maskIndexes(std::span<float> logits, const TokenIndexes& indexes) {
  for (const auto& index : indexes) {
    const std::int64_t id = index.back();
    if (id >= 0 && id < static_cast<std::int64_t>(logits.size())) logits[static_cast<std::size_t>(id)] = kMasked;
  }
}

int tokenCount(std::span<const int> tokens) { return static_cast<int>(tokens.size()); }

}  // namespace

SuppressTokensFilter::SuppressTokensFilter(std::vector<int> suppressTokens) : suppressTokens_(std::move(suppressTokens)) {
  if (std::any_of(suppressTokens_.begin(), suppressTokens_.end(), [](int id) { return id < 0; })) {
    noxtal::Logging::debug(
        "SuppressTokensFilter: ignoring negative ids in suppressTokens; the -1 sentinel (suppress default "
        "non-speech tokens) is not supported");
  }
  suppressTokenIndexes_.reserve(suppressTokens_.size());
  for (int id : suppressTokens_) suppressTokenIndexes_.push_back({0, 0, id});
}

MultiArray SuppressTokensFilter::filterLogits(MultiArray logits, std::span<const int>) const {
  logits = asFloat32(std::move(logits));
  maskIndexes(logitsVector(logits), suppressTokenIndexes_);
  return logits;
}

SuppressBlankFilter::SuppressBlankFilter(SpecialTokens specialTokens, int sampleBegin)
    : specialTokens_(specialTokens),
      sampleBegin_(sampleBegin),
      suppressTokenIndexes_{{0, 0, specialTokens.whitespaceToken}, {0, 0, specialTokens.endToken}} {}

MultiArray SuppressBlankFilter::filterLogits(MultiArray logits, std::span<const int> tokens) const {
  if (tokenCount(tokens) != sampleBegin_) return logits;
  logits = asFloat32(std::move(logits));
  maskIndexes(logitsVector(logits), suppressTokenIndexes_);
  return logits;
}

TimestampRulesFilter::TimestampRulesFilter(SpecialTokens specialTokens, int sampleBegin,
                                           std::optional<int> maxInitialTimestampIndex, bool isModelMultilingual)
    : specialTokens_(specialTokens),
      sampleBegin_(sampleBegin),
      maxInitialTimestampIndex_(maxInitialTimestampIndex),
      isModelMultilingual_(isModelMultilingual) {}

std::optional<int> TimestampRulesFilter::effectiveSampleBegin(std::span<const int> tokens) const {
  if (!isModelMultilingual_) return sampleBegin_;
  const std::size_t end = std::min<std::size_t>(3, tokens.size());
  for (std::size_t p = 0; p < end; ++p) {
    if (tokens[p] == specialTokens_.transcribeToken || tokens[p] == specialTokens_.translateToken) {
      return std::max(static_cast<int>(p) + 1, sampleBegin_);
    }
  }
  return std::nullopt;
}

MultiArray TimestampRulesFilter::filterLogits(MultiArray logits, std::span<const int> tokens) const {
  const std::optional<int> begin = effectiveSampleBegin(tokens);
  const int n = tokenCount(tokens);
  if (!begin || n < *begin) return logits;
  logits = asFloat32(std::move(logits));
  const std::span<float> values = logitsVector(logits);
  if (values.empty()) return logits;
  const int b = *begin;
  const int timeBegin = specialTokens_.timeTokenBegin;
  const auto vocabulary = static_cast<std::int64_t>(values.size());

  mask(values, specialTokens_.noTimestampsToken);
  if (n > b) {
    const int last = tokens.back();
    bool stepPast = true;
    if (last >= timeBegin) {
      const bool penultimateIsTimestamp = n - b < 2 || tokens[tokens.size() - 2] >= timeBegin;
      if (penultimateIsTimestamp) {
        maskRange(values, timeBegin, vocabulary);
      } else {
        maskRange(values, 0, specialTokens_.endToken);
        stepPast = false;
      }
    }
    std::optional<int> lastTimestamp;
    for (std::size_t i = static_cast<std::size_t>(b); i < tokens.size(); ++i) {
      if (tokens[i] >= timeBegin) lastTimestamp = tokens[i];
    }
    if (lastTimestamp) {
      const std::int64_t bound = static_cast<std::int64_t>(*lastTimestamp) + (stepPast ? 1 : 0);
      maskRange(values, timeBegin, bound);
    }
  }
  if (timestampsOutweighText(values, timeBegin)) maskRange(values, 0, timeBegin);
  return logits;
}

bool timestampsOutweighText(std::span<const float> logits, int timeTokenBegin) {
  if (timeTokenBegin <= 0 || static_cast<std::size_t>(timeTokenBegin) >= logits.size()) return false;
  const auto k = static_cast<std::size_t>(timeTokenBegin);
  // Log-softmax shifts every value by the same log-sum-exp of all logits, so comparing the
  // log-sum-exp of the timestamp logits with the largest other logit decides the same test
  // without a pass over the whole vocabulary.
  const float timestamps = noxtal::vec::logSumExp(logits.subspan(k));
  const float text = noxtal::vec::maximum(logits.first(k));
  return timestamps > text;
}

LanguageLogitsFilter::LanguageLogitsFilter(std::set<int> allLanguageTokens, int logitsDim, int sampleBegin)
    : allLanguageTokens_(std::move(allLanguageTokens)),
      logitsDim_(logitsDim),
      sampleBegin_(sampleBegin),
      nonLanguageTokenIndexes_(::vostrane::nonLanguageTokenIndexes(allLanguageTokens_, logitsDim)) {}

MultiArray LanguageLogitsFilter::filterLogits(MultiArray logits, std::span<const int> tokens) const {
  if (tokenCount(tokens) < sampleBegin_) return logits;
  logits = asFloat32(std::move(logits));
  maskIndexes(logitsVector(logits), nonLanguageTokenIndexes_);
  return logits;
}

TokenIndexes nonLanguageTokenIndexes(const std::set<int>& languageTokens, int logitsDim) {
  TokenIndexes indexes;
  for (int i = 0; i < logitsDim; ++i) {
    if (!languageTokens.contains(i)) indexes.push_back({0, 0, i});
  }
  return indexes;
}

}  // namespace vostrane
