#include "speech/decoding/token_sampler.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <random>

#include "core/vector_ops.hpp"
#include "platform/sys/checked_cast.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {

namespace {

using platform::ml::DataType;

constexpr float kNegativeInfinity = -std::numeric_limits<float>::infinity();

// Shortest round-trip text of a float, with ".0" for whole numbers ("0.1", "1.0").
std::string floatText(float value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  if (text.find_first_of(".eni") == std::string::npos) text += ".0";
  return text;
}

GreedyTokenSampler::RandomSource systemRandomSource() {
  auto engine = std::make_shared<std::mt19937_64>(std::random_device{}());
  return [engine] { return std::uniform_real_distribution<double>(0.0, 1.0)(*engine); };
}

}  // namespace

GreedyTokenSampler::GreedyTokenSampler(float temperature, int eotToken, DecodingOptions decodingOptions,
                                       RandomSource random)
    : temperature_(temperature),
      eotToken_(eotToken),
      decodingOptions_(std::move(decodingOptions)),
      random_(random ? std::move(random) : systemRandomSource()) {}

std::pair<int, float> GreedyTokenSampler::sample(const platform::ml::MultiArray& logits) {
  platform::ml::MultiArray converted = logits.dataType() == DataType::float32 ? logits : logits.converted(DataType::float32);
  std::span<const float> values = std::as_const(converted).span<float>();
  std::vector<float> scaled;
  if (temperature_ != 0) {
    scaled.resize(values.size());
    noxtal::vec::scale(values, 1.0F / temperature_, scaled);
    values = scaled;
  }
  const float lse = noxtal::vec::logSumExp(values);
  const float best = noxtal::vec::maximum(values);
  if (!std::isfinite(lse) && best == kNegativeInfinity) return {eotToken_, kNegativeInfinity};
  const auto logProbOf = [&](std::size_t index) {
    const float v = values[index];
    // An infinite winner is certain; the shift would give NaN.
    if (std::isinf(lse)) return v == lse ? 0.0F : kNegativeInfinity;
    return v - lse;
  };
  if (temperature_ == 0) {
    const std::size_t index = *noxtal::vec::argmax(values);
    return {static_cast<int>(index), logProbOf(index)};
  }
  const std::size_t k = static_cast<std::size_t>(std::clamp<std::int64_t>(decodingOptions_.topK, 1,
                                                                          static_cast<std::int64_t>(values.size())));
  // Probabilities are monotonic in the logits, so the k best logits are the k best tokens.
  const std::vector<noxtal::vec::Candidate> candidates = noxtal::vec::topK(values, k);
  std::vector<double> probabilities;
  probabilities.reserve(candidates.size());
  double sum = 0;
  for (const auto& candidate : candidates) {
    const double p = std::exp(static_cast<double>(logProbOf(candidate.index)));
    probabilities.push_back(p);
    sum += p;
  }
  std::size_t chosen = 0;
  if (sum > 0 && std::isfinite(sum)) {
    const double r = random_() * sum;
    double running = 0;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      running += probabilities[i];
      if (running > r) {
        chosen = i;
        break;
      }
    }
  }
  const std::size_t index = candidates[chosen].index;
  return {static_cast<int>(index), logProbOf(index)};
}

SamplingResult GreedyTokenSampler::update(std::span<const int> tokens, const platform::ml::MultiArray& logits,
                                          std::span<const float> logProbs) {
  const auto [token, logProb] = sample(logits);
  SamplingResult result;
  result.tokens.assign(tokens.begin(), tokens.end());
  result.tokens.push_back(token);
  result.logProbs.assign(logProbs.begin(), logProbs.end());
  result.logProbs.push_back(logProb);
  result.completed = token == eotToken_;
  return result;
}

SamplingResult GreedyTokenSampler::finalize(std::span<const int> tokens, std::span<const float> logProbs) {
  SamplingResult result;
  result.tokens.assign(tokens.begin(), tokens.end());
  result.logProbs.assign(logProbs.begin(), logProbs.end());
  if (result.tokens.empty() || result.tokens.back() != eotToken_) {
    result.tokens.push_back(eotToken_);
    result.logProbs.push_back(0);
  }
  result.completed = true;
  return result;
}

BeamSearchTokenSampler::BeamSearchTokenSampler(int beamSize, int eotToken, float patience)
    : beamSize_(beamSize), eotToken_(eotToken), patience_(patience) {
  const std::optional<int> candidates =
      platform::sys::checkedIntegerCast<int>(static_cast<float>(beamSize) * patience);
  if (!candidates || *candidates <= 0) {
    throw WhisperError::decodingFailed("Invalid beam size " + std::to_string(beamSize) + " or patience " +
                                       floatText(patience));
  }
  maxCandidates_ = *candidates;
}

void BeamSearchTokenSampler::reset() { finishedSequences_.clear(); }

SamplingResult BeamSearchTokenSampler::update(std::span<const int>, const platform::ml::MultiArray&,
                                              std::span<const float>) {
  throw WhisperError::decodingFailed("Not implemented: update(tokens:logits:logProbs:)");
}

SamplingResult BeamSearchTokenSampler::finalize(std::span<const int>, std::span<const float>) {
  throw WhisperError::decodingFailed("Not implemented: finalize(tokens:logProbs:)");
}

}  // namespace vostrane
