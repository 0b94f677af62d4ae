// Logits filters: before each token is sampled, the decoder passes the model's logits for the
// next position through a chain of filters. Each masks the tokens that must not come next by
// setting their logits to negative infinity, in place, and hands the array on.
//
// The logits are a float32 multi-array of shape [1, 1, V]; token id i is element i. A filter
// given an array of another element type works on a float32 copy and returns that; an array
// of another shape (not V elements along the last axis with every other dimension 1) is
// returned unchanged. Ids outside [0, V) address no logit, so a tokenizer whose special ids
// exceed the model's vocabulary never writes outside the array.
//
// The text decoder builds a fresh chain for each decoding run; filters hold no state between
// calls, and their const members are safe to call from several threads on different arrays.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "platform/ml/multi_array.hpp"
#include "speech/decoding/whisper_tokenizer.hpp"

namespace vostrane {

using TokenIndexes = std::vector<std::vector<std::int64_t>>;

class LogitsFiltering {
 public:
  virtual ~LogitsFiltering() = default;
  // `tokens` are all ids of the sequence so far, prompt included. Returns the filtered logits
  // (the same array unless it had to be converted to float32).
  virtual platform::ml::MultiArray filterLogits(platform::ml::MultiArray logits, std::span<const int> tokens) const = 0;
};

// Masks a fixed list of ids at every step.
class SuppressTokensFilter : public LogitsFiltering {
 public:
  // Negative ids suppress nothing (one debug line says so).
  explicit SuppressTokensFilter(std::vector<int> suppressTokens);
  platform::ml::MultiArray filterLogits(platform::ml::MultiArray logits, std::span<const int> tokens) const override;

  const std::vector<int>& suppressTokens() const { return suppressTokens_; }
  const TokenIndexes& suppressTokenIndexes() const { return suppressTokenIndexes_; }

 private:
  std::vector<int> suppressTokens_;
  TokenIndexes suppressTokenIndexes_;
};

// Bans the blank and the end token as the first sampled token (when the token count equals
// sampleBegin).
class SuppressBlankFilter : public LogitsFiltering {
 public:
  SuppressBlankFilter(SpecialTokens specialTokens, int sampleBegin);
  platform::ml::MultiArray filterLogits(platform::ml::MultiArray logits, std::span<const int> tokens) const override;

  const SpecialTokens& specialTokens() const { return specialTokens_; }
  int sampleBegin() const { return sampleBegin_; }
  const TokenIndexes& suppressTokenIndexes() const { return suppressTokenIndexes_; }

 private:
  SpecialTokens specialTokens_;
  int sampleBegin_;
  TokenIndexes suppressTokenIndexes_;
};

// The timestamp rules: no "no timestamps" token, timestamps in pairs and never decreasing, and
// only timestamps when their combined probability beats the best single other token.
class TimestampRulesFilter : public LogitsFiltering {
 public:
  // `maxInitialTimestampIndex` is kept but no rule reads it.
  TimestampRulesFilter(SpecialTokens specialTokens, int sampleBegin, std::optional<int> maxInitialTimestampIndex,
                       bool isModelMultilingual);
  platform::ml::MultiArray filterLogits(platform::ml::MultiArray logits, std::span<const int> tokens) const override;

  // sampleBegin for a model that is not multilingual; for a multilingual one the position after
  // the first task token among the first three tokens (at least sampleBegin), or absent when
  // there is none (the filter then changes nothing).
  virtual std::optional<int> effectiveSampleBegin(std::span<const int> tokens) const;

  const SpecialTokens& specialTokens() const { return specialTokens_; }
  int sampleBegin() const { return sampleBegin_; }
  const std::optional<int>& maxInitialTimestampIndex() const { return maxInitialTimestampIndex_; }
  bool isModelMultilingual() const { return isModelMultilingual_; }

 private:
  SpecialTokens specialTokens_;
  int sampleBegin_;
  std::optional<int> maxInitialTimestampIndex_;
  bool isModelMultilingual_;
};

// Only language tokens may follow once the token count reaches sampleBegin (language detection).
class LanguageLogitsFilter : public LogitsFiltering {
 public:
  LanguageLogitsFilter(std::set<int> allLanguageTokens, int logitsDim, int sampleBegin);
  platform::ml::MultiArray filterLogits(platform::ml::MultiArray logits, std::span<const int> tokens) const override;

  const std::set<int>& allLanguageTokens() const { return allLanguageTokens_; }
  int logitsDim() const { return logitsDim_; }
  int sampleBegin() const { return sampleBegin_; }
  const TokenIndexes& nonLanguageTokenIndexes() const { return nonLanguageTokenIndexes_; }

 private:
  std::set<int> allLanguageTokens_;
  int logitsDim_;
  int sampleBegin_;
  TokenIndexes nonLanguageTokenIndexes_;
};

// [0, 0, i] for every i in [0, logitsDim) that is not in `languageTokens`, ascending.
TokenIndexes nonLanguageTokenIndexes(const std::set<int>& languageTokens, int logitsDim);

// True when the log-sum-exp of the log-softmax over the timestamp tokens [timeTokenBegin, V)
// is strictly greater than the largest log-probability of the tokens below timeTokenBegin.
// False unless 0 < timeTokenBegin < V (otherwise no timestamp or no other token exists).
bool timestampsOutweighText(std::span<const float> logits, int timeTokenBegin);

}  // namespace vostrane
