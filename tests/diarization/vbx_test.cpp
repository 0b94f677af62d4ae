// VBx against the double-precision reference after 1, 2 and 20 iterations, with one cluster,
// with the smoothing start, and on the inputs that must give two empty arrays.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>

#include "diarization/vbx.hpp"
#include "diarization/clustering_reference.hpp"

namespace dellomar {
namespace {

std::vector<double> phiAsDouble() { return {pldaPhi().begin(), pldaPhi().end()}; }

void expectMatchesReference(const std::vector<int>& labels, const VectorList& features, int iterations) {
  SCOPED_TRACE("iterations " + std::to_string(iterations));
  const VBxResult result = vbx(labels, features, iterations, false, 0.07f, 0.8f, 7.0f);
  const reference::VBx expected =
      reference::vbx(labels, reference::toDouble(features), iterations, 0.07, 0.8, 7.0, phiAsDouble());
  ASSERT_EQ(result.gamma.size(), expected.gamma.size());
  ASSERT_EQ(result.pi.size(), expected.pi.size());
  for (std::size_t s = 0; s < result.pi.size(); ++s) EXPECT_NEAR(result.pi[s], expected.pi[s], 1e-4);
  for (std::size_t t = 0; t < result.gamma.size(); ++t) {
    ASSERT_EQ(result.gamma[t].size(), expected.gamma[t].size());
    for (std::size_t s = 0; s < result.gamma[t].size(); ++s) {
      ASSERT_NEAR(result.gamma[t][s], expected.gamma[t][s], 1e-3) << "frame " << t << " speaker " << s;
    }
  }
}

TEST(PldaPhi, StrictlyDecreasingThroughTheKnownValues) {
  const auto& phi = pldaPhi();
  EXPECT_EQ(phi[0], 25.88238f);
  EXPECT_EQ(phi[1], 10.64655f);
  EXPECT_EQ(phi[2], 7.097497f);
  EXPECT_EQ(phi[3], 5.708421f);
  EXPECT_EQ(phi[60], 1.172044f);
  EXPECT_EQ(phi[125], 0.6014566f);
  EXPECT_EQ(phi[126], 0.584011f);
  EXPECT_EQ(phi[127], 0.5696054f);
  for (std::size_t d = 1; d < phi.size(); ++d) EXPECT_LT(phi[d], phi[d - 1]) << d;
  EXPECT_NEAR(std::accumulate(phi.begin(), phi.end(), 0.0), 225.59, 0.5);
}

TEST(VBx, MatchesTheReferenceOnSeparatedAndOverlappingSpeakers) {
  // Three speakers, initial labels with some frames put in the wrong cluster.
  const VectorList features = reference::gaussianClusters(97, kPldaDimension, 3, 1.0f, 17);
  std::vector<int> labels(features.size());
  for (std::size_t t = 0; t < labels.size(); ++t) labels[t] = static_cast<int>((t % 3 + (t % 11 == 0 ? 1 : 0)) % 3);
  for (const int iterations : {1, 2, 20}) expectMatchesReference(labels, features, iterations);

  // Four initial clusters over two real speakers: one cluster should fade.
  const VectorList two = reference::gaussianClusters(60, kPldaDimension, 2, 2.0f, 5);
  std::vector<int> split(two.size());
  for (std::size_t t = 0; t < split.size(); ++t) split[t] = static_cast<int>(t % 4);
  for (const int iterations : {1, 2, 20}) expectMatchesReference(split, two, iterations);
}

TEST(VBx, StartWithoutIterationsAndWithOneCluster) {
  const VectorList features = reference::gaussianClusters(5, kPldaDimension, 2, 1.0f, 3);
  const VBxResult start = vbx(std::vector<int>{0, 1, 2, 0, 1}, features, 0, false, 0.07f, 0.8f, 7.0f);
  ASSERT_EQ(start.gamma.size(), 5u);
  const float own = std::exp(7.0f) / (std::exp(7.0f) + 2.0f);
  EXPECT_NEAR(start.gamma[0][0], own, 1e-6f);
  EXPECT_NEAR(start.gamma[0][1], 1.0f / (std::exp(7.0f) + 2.0f), 1e-6f);
  EXPECT_EQ(start.pi, (Vector{1.0f / 3, 1.0f / 3, 1.0f / 3}));
  const VBxResult hard = vbx(std::vector<int>{0, 1, 2, 0, 1}, features, 0, false, 0.07f, 0.8f, -1.0f);
  EXPECT_EQ(hard.gamma[2], (Vector{0, 0, 1}));

  const VBxResult single = vbx(std::vector<int>(5, 0), features, 20, false, 0.07f, 0.8f, 7.0f);
  ASSERT_EQ(single.pi.size(), 1u);
  EXPECT_FLOAT_EQ(single.pi[0], 1.0f);
  for (const Vector& row : single.gamma) EXPECT_EQ(row, Vector{1.0f});

  // An unlabelled frame starts uniform.
  const VBxResult partial = vbx(std::vector<int>{0, -1, 1, 0, 1}, features, 0, false, 0.07f, 0.8f, 7.0f);
  EXPECT_EQ(partial.gamma[1], (Vector{0.5f, 0.5f}));
}

TEST(VBx, MalformedInputGivesTwoEmptyArrays) {
  const VectorList features = reference::gaussianClusters(4, kPldaDimension, 2, 1.0f, 3);
  const auto isEmpty = [](const VBxResult& r) { return r.gamma.empty() && r.pi.empty(); };
  EXPECT_TRUE(isEmpty(vbx(std::vector<int>{}, {}, 5, false, 0.07f, 0.8f, 7.0f)));
  EXPECT_TRUE(isEmpty(vbx(std::vector<int>{0, 1, 0}, features, 5, false, 0.07f, 0.8f, 7.0f)));
  EXPECT_TRUE(isEmpty(vbx(std::vector<int>{0, 1}, reference::gaussianClusters(2, 64, 2, 1, 1), 5, false, 0.07f,
                          0.8f, 7.0f)));
  VectorList shortRow = features;
  shortRow[3].pop_back();  // only the first row's length was checked before: a read past the end
  EXPECT_TRUE(isEmpty(vbx(std::vector<int>{0, 1, 0, 1}, shortRow, 5, false, 0.07f, 0.8f, 7.0f)));
  VectorList nan = features;
  nan[2][40] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(isEmpty(vbx(std::vector<int>{0, 1, 0, 1}, nan, 5, false, 0.07f, 0.8f, 7.0f)));
  EXPECT_TRUE(isEmpty(vbx(std::vector<int>{-1, -1, -1, -1}, features, 5, false, 0.07f, 0.8f, 7.0f)));
}

}  // namespace
}  // namespace dellomar
