#include "speech/decoding/token_sampler.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

#include "speech/model/whisper_error.hpp"

namespace vostrane {
namespace {

using platform::ml::DataType;
using platform::ml::MultiArray;

constexpr int kEot = 50257;
constexpr float kInf = std::numeric_limits<float>::infinity();

MultiArray logitsOf(const std::vector<float>& values) {
  return MultiArray::fromValues<float>({1, 1, static_cast<std::int64_t>(values.size())}, values);
}

GreedyTokenSampler sampler(float temperature, int topK, GreedyTokenSampler::RandomSource random = {}) {
  return GreedyTokenSampler(temperature, kEot, DecodingOptions{.topK = topK}, std::move(random));
}

TEST(GreedySampler, TemperatureZeroTakesTheLargestLogitWithItsLogProbability) {
  auto greedy = sampler(0, 5);
  const auto [token, logProb] = greedy.sample(logitsOf({0, std::log(3.0F)}));
  EXPECT_EQ(token, 1);
  EXPECT_NEAR(logProb, std::log(0.75F), 1e-6);
  // Ties go to the first; other element types are converted first.
  EXPECT_EQ(greedy.sample(logitsOf({1, 4, 4, 2}).converted(DataType::float16)).first, 1);
}

TEST(GreedySampler, UpdateAppendsOneTokenAndCompletesOnlyAtTheEndToken) {
  auto greedy = sampler(0, 5);
  std::vector<float> logits(kEot + 1, 0);
  logits[7] = 5;
  const std::vector<int> tokens{1, 2};
  const std::vector<float> logProbs{-0.5F, -0.25F};
  const SamplingResult step = greedy.update(tokens, logitsOf(logits), logProbs);
  EXPECT_EQ(step.tokens, (std::vector<int>{1, 2, 7}));
  ASSERT_EQ(step.logProbs.size(), 3U);
  EXPECT_EQ(step.logProbs[1], -0.25F);
  EXPECT_FALSE(step.completed);
  logits[kEot] = 9;
  EXPECT_TRUE(greedy.update(tokens, logitsOf(logits), logProbs).completed);
}

TEST(GreedySampler, FinalizeClosesTheSequenceOnce) {
  auto greedy = sampler(0, 5);
  const SamplingResult closed = greedy.finalize(std::vector<int>{1, 2, kEot}, std::vector<float>{-1, -2, -3});
  EXPECT_EQ(closed.tokens, (std::vector<int>{1, 2, kEot}));
  EXPECT_EQ(closed.logProbs, (std::vector<float>{-1, -2, -3}));
  EXPECT_TRUE(closed.completed);
  const SamplingResult open = greedy.finalize(std::vector<int>{1, 2}, std::vector<float>{-1, -2});
  EXPECT_EQ(open.tokens, (std::vector<int>{1, 2, kEot}));
  EXPECT_EQ(open.logProbs, (std::vector<float>{-1, -2, 0}));
  const SamplingResult empty = greedy.finalize({}, {});
  EXPECT_EQ(empty.tokens, (std::vector<int>{kEot}));
  EXPECT_EQ(empty.logProbs, (std::vector<float>{0}));
}

// Reference walk: softmax in double of the scaled logits, candidates by descending probability
// (ties by lower index), the first whose running sum exceeds r x their sum.
int referenceDraw(const std::vector<float>& logits, float temperature, std::size_t k, double u) {
  std::vector<double> p(logits.size());
  double m = -INFINITY;
  for (float v : logits) m = std::max(m, static_cast<double>(v) / temperature);
  for (std::size_t i = 0; i < logits.size(); ++i) p[i] = std::exp(static_cast<double>(logits[i]) / temperature - m);
  std::vector<std::size_t> order(logits.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return p[a] > p[b]; });
  order.resize(k);
  double sum = 0;
  for (std::size_t i : order) sum += p[i];
  const double r = u * sum;
  double running = 0;
  for (std::size_t i : order) {
    running += p[i];
    if (running > r) return static_cast<int>(i);
  }
  return static_cast<int>(order.front());
}

TEST(GreedySampler, SeededTopKDrawFollowsTheReferenceWalk) {
  std::mt19937 random(5);
  std::normal_distribution<float> noise(0, 2);
  std::vector<float> logits(1001);
  for (float& v : logits) v = noise(random);
  std::vector<double> draws;
  std::uniform_real_distribution<double> uniform(0, 1);
  for (int i = 0; i < 200; ++i) draws.push_back(uniform(random));
  std::size_t next = 0;
  auto topK = sampler(0.7F, 5, [&] { return draws[next++]; });
  std::set<int> seen;
  for (double u : draws) {
    const auto [token, logProb] = topK.sample(logitsOf(logits));
    ASSERT_EQ(token, referenceDraw(logits, 0.7F, 5, u)) << "u " << u;
    EXPECT_LT(logProb, 0);
    seen.insert(token);
  }
  EXPECT_GT(seen.size(), 1U);  // the draw really varies
  EXPECT_LE(seen.size(), 5U);
}

TEST(GreedySampler, TopKIsClampedAndTopOneIsTheArgmax) {
  const std::vector<float> logits{0.5F, 3, 1, 2.9F};
  for (int k : {1, 0, -3}) {
    auto greedy = sampler(1.5F, k, [] { return 0.999; });
    EXPECT_EQ(greedy.sample(logitsOf(logits)).first, 1) << "topK " << k;
  }
  auto all = sampler(1, 100, [] { return 0.999999; });
  EXPECT_EQ(all.sample(logitsOf(logits)).first, 0);  // the least probable of all four comes last
}

TEST(GreedySampler, NoFiniteLogitDrawsTheEndTokenAtMinusInfinity) {
  const std::vector<float> masked(8, -kInf);
  for (float temperature : {0.0F, 1.0F}) {
    auto greedy = sampler(temperature, 5, [] { return 0.5; });
    const auto [token, logProb] = greedy.sample(logitsOf(masked));
    EXPECT_EQ(token, kEot);
    EXPECT_EQ(logProb, -kInf);
    EXPECT_EQ(greedy.sample(logitsOf({NAN, NAN})).first, kEot);
  }
}

TEST(BeamSearchSampler, ChecksItsConfigurationAndHasNoSearch) {
  BeamSearchTokenSampler beam(5, kEot, 1.0F);
  EXPECT_EQ(beam.maxCandidates(), 5);
  EXPECT_TRUE(beam.finishedSequences().empty());
  try {
    BeamSearchTokenSampler tooSmall(5, kEot, 0.1F);
    ADD_FAILURE() << "5 x 0.1 accepted";
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.errorCase(), WhisperError::Case::decodingFailed);
    EXPECT_EQ(e.message(), "Invalid beam size 5 or patience 0.1");
  }
  try {
    beam.update(std::vector<int>{}, logitsOf({0}), std::vector<float>{});
    ADD_FAILURE();
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.message(), "Not implemented: update(tokens:logits:logProbs:)");
  }
  try {
    beam.finalize(std::vector<int>{}, std::vector<float>{});
    ADD_FAILURE();
  } catch (const WhisperError& e) {
    EXPECT_EQ(e.message(), "Not implemented: finalize(tokens:logProbs:)");
  }
}

}  // namespace
}  // namespace vostrane
