// Token samplers: choose the next token from the decoder's filtered logits and keep the running
// lists of tokens and their log-probabilities. The text decoder and language detection call
// update() once per prediction and finalize() once at the end of a window.
//
// GreedyTokenSampler takes the most probable token at temperature 0 and otherwise draws among
// the topK most probable (probabilities are the softmax of the logits divided by the
// temperature). BeamSearchTokenSampler holds its configuration only; it has no search.
//
// A sampler serves one decoding call at a time and is not synchronised.
#pragma once

#include <functional>
#include <span>
#include <utility>
#include <vector>

#include "platform/ml/multi_array.hpp"
#include "speech/model/decoding_options.hpp"
#include "speech/model/decoding_records.hpp"

namespace vostrane {

class TokenSampling {
 public:
  virtual ~TokenSampling() = default;
  // The tokens and log-probabilities so far, each followed by the chosen token and its
  // log-probability; `completed` when the sequence has ended.
  virtual SamplingResult update(std::span<const int> tokens, const platform::ml::MultiArray& logits,
                                std::span<const float> logProbs) = 0;
  // Closes the sequence.
  virtual SamplingResult finalize(std::span<const int> tokens, std::span<const float> logProbs) = 0;
};

class GreedyTokenSampler : public TokenSampling {
 public:
  // Uniform random values in [0, 1); called once per top-k draw.
  using RandomSource = std::function<double()>;

  // Only decodingOptions.topK is read. Without `random` the sampler draws from its own
  // generator seeded from the system's random device.
  GreedyTokenSampler(float temperature, int eotToken, DecodingOptions decodingOptions, RandomSource random = {});

  float temperature() const { return temperature_; }
  void setTemperature(float temperature) { temperature_ = temperature; }
  int eotToken() const { return eotToken_; }
  void setEotToken(int eotToken) { eotToken_ = eotToken; }
  const DecodingOptions& decodingOptions() const { return decodingOptions_; }
  void setDecodingOptions(DecodingOptions options) { decodingOptions_ = std::move(options); }

  // Appends the drawn token and its log-probability; completed exactly when it is eotToken.
  SamplingResult update(std::span<const int> tokens, const platform::ml::MultiArray& logits,
                        std::span<const float> logProbs) override;
  // The lists unchanged when they end with eotToken, else with eotToken and 0 appended;
  // completed in both cases.
  SamplingResult finalize(std::span<const int> tokens, std::span<const float> logProbs) override;

  // The token and the natural logarithm of its probability. The logits are read as one vector
  // of count() scores (float32 in place; other element types converted first). Temperature 0
  // (comparing equal to 0): the first largest logit. Otherwise: the k = topK (clamped to
  // [1, V]) most probable tokens in descending order, r = uniform in [0, sum of their
  // probabilities), the first whose running sum exceeds r, else the first. With no finite
  // logit the result is (eotToken, -infinity).
  std::pair<int, float> sample(const platform::ml::MultiArray& logits);

 private:
  float temperature_;
  int eotToken_;
  DecodingOptions decodingOptions_;
  RandomSource random_;
};

class BeamSearchTokenSampler : public TokenSampling {
 public:
  // maxCandidates = integer part of beamSize x patience. Throws WhisperError::decodingFailed
  // ("Invalid beam size " + beamSize + " or patience " + patience) when it is 0 or less.
  BeamSearchTokenSampler(int beamSize, int eotToken, float patience = 1.0F);

  int beamSize() const { return beamSize_; }
  int eotToken() const { return eotToken_; }
  float patience() const { return patience_; }
  int maxCandidates() const { return maxCandidates_; }
  const std::vector<float>& finishedSequences() const { return finishedSequences_; }
  // Empties finishedSequences.
  void reset();

  // No search exists: both throw WhisperError::decodingFailed with "Not implemented: ...".
  SamplingResult update(std::span<const int> tokens, const platform::ml::MultiArray& logits,
                        std::span<const float> logProbs) override;
  SamplingResult finalize(std::span<const int> tokens, std::span<const float> logProbs) override;

 private:
  int beamSize_;
  int eotToken_;
  float patience_;
  int maxCandidates_ = 0;
  std::vector<float> finishedSequences_;
};

}  // namespace vostrane
