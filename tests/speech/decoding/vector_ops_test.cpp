#include "core/vector_ops.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>

namespace noxtal::vec {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kGuard = 12345.0F;

std::vector<float> randomValues(std::size_t n, unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<float> noise(0, 4);
  std::vector<float> values(n);
  for (float& v : values) v = noise(random);
  return values;
}

// An output buffer with one guard value on each side.
struct Guarded {
  explicit Guarded(std::size_t n) : buffer(n + 2, kGuard) {}
  std::span<float> inside() { return std::span<float>(buffer).subspan(1, buffer.size() - 2); }
  bool guardsIntact() const { return buffer.front() == kGuard && buffer.back() == kGuard; }
  std::vector<float> buffer;
};

TEST(VectorOps, AgreeWithADoubleReferenceOverSizes) {
  for (std::size_t n : {0U, 1U, 2U, 7U, 33U, 1001U}) {
    SCOPED_TRACE(n);
    const std::vector<float> in = randomValues(n, static_cast<unsigned>(n) + 1);
    double m = -INFINITY;
    for (float v : in) m = std::max(m, static_cast<double>(v));
    double sum = 0;
    for (float v : in) sum += std::exp(v - m);
    const double lse = n == 0 ? -INFINITY : m + std::log(sum);

    EXPECT_EQ(maximum(in), n == 0 ? -kInf : static_cast<float>(m));
    if (n == 0) {
      EXPECT_EQ(logSumExp(in), -kInf);
    } else {
      EXPECT_NEAR(logSumExp(in), lse, 1e-5 * std::max(1.0, std::abs(lse)));
    }

    Guarded probabilities(n);
    softmax(in, probabilities.inside());
    Guarded logProbabilities(n);
    logSoftmax(in, logProbabilities.inside());
    Guarded scaled(n);
    scale(in, -0.5F, scaled.inside());
    EXPECT_TRUE(probabilities.guardsIntact());
    EXPECT_TRUE(logProbabilities.guardsIntact());
    EXPECT_TRUE(scaled.guardsIntact());
    for (std::size_t i = 0; i < n; ++i) {
      const double p = std::exp(in[i] - lse);
      EXPECT_NEAR(probabilities.inside()[i], p, 1e-6 + 1e-5 * p);
      EXPECT_NEAR(logProbabilities.inside()[i], in[i] - lse, 1e-5 * std::max(1.0, std::abs(in[i] - lse)));
      EXPECT_EQ(scaled.inside()[i], in[i] * -0.5F);
    }

    const auto best = argmax(in);
    EXPECT_EQ(best.has_value(), n > 0);
    if (best) {
      EXPECT_EQ(in[*best], static_cast<float>(m));
    }

    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return in[a] > in[b]; });
    for (std::size_t k : {0U, 1U, 5U, 2000U}) {
      const std::vector<Candidate> top = topK(in, k);
      ASSERT_EQ(top.size(), std::min(k, n));
      for (std::size_t i = 0; i < top.size(); ++i) EXPECT_EQ(top[i], (Candidate{in[order[i]], order[i]}));
    }
  }
}

TEST(VectorOps, TiesAndNonFiniteValues) {
  const std::vector<float> ties{1, 3, 2, 3, 3};
  EXPECT_EQ(argmax(ties), 1U);
  EXPECT_EQ(topK(ties, 4), (std::vector<Candidate>{{3, 1}, {3, 3}, {3, 4}, {2, 2}}));

  const std::vector<float> withNan{NAN, 2, NAN, 5};
  EXPECT_EQ(argmax(withNan), 3U);
  EXPECT_EQ(maximum(withNan), 5);
  const auto ranked = topK(withNan, 4);
  EXPECT_EQ(ranked[1], (Candidate{2, 1}));
  EXPECT_TRUE(std::isnan(ranked[2].value));
  EXPECT_EQ(ranked[2].index, 0U);
  EXPECT_FALSE(argmax(std::vector<float>{NAN}));

  const std::vector<float> masked{-kInf, -kInf};
  std::vector<float> out(2, kGuard);
  softmax(masked, out);
  EXPECT_EQ(out, (std::vector<float>{0, 0}));
  logSoftmax(masked, out);
  EXPECT_EQ(out, (std::vector<float>{-kInf, -kInf}));
  EXPECT_EQ(logSumExp(masked), -kInf);

  const std::vector<float> partly{-kInf, 0, -kInf, 0};
  softmax(partly, out = std::vector<float>(4));
  EXPECT_EQ(out, (std::vector<float>{0, 0.5F, 0, 0.5F}));
  const std::vector<float> infinite{1, kInf, kInf};
  out.assign(3, 0);
  softmax(infinite, out);
  EXPECT_EQ(out, (std::vector<float>{0, 0.5F, 0.5F}));
  EXPECT_EQ(logSumExp(infinite), kInf);

  // Large logits do not overflow.
  const std::vector<float> large{1000, 1000};
  EXPECT_NEAR(logSumExp(large), 1000 + std::log(2.0F), 1e-3);
}

}  // namespace
}  // namespace noxtal::vec
