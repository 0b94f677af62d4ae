// The clustering numerics against the double-precision reference, over sizes 0, 1, 2, 3, odd
// and large, plus the tie-breaks and degenerate inputs whose outcome is fixed exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "diarization/clustering_numerics.hpp"
#include "diarization/vector_ops.hpp"
#include "diarization/clustering_reference.hpp"
#include "diarization/thread_starts.hpp"

namespace dellomar {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

void expectLinkageMatchesReference(const VectorList& points) {
  SCOPED_TRACE("n = " + std::to_string(points.size()));
  const VectorList rows = centroidLinkage(points);
  const auto expected = reference::centroidLinkage(reference::toDouble(points));
  ASSERT_EQ(rows.size(), expected.size());
  for (std::size_t k = 0; k < rows.size(); ++k) {
    SCOPED_TRACE("row " + std::to_string(k));
    ASSERT_EQ(rows[k].size(), 4u);
    EXPECT_EQ(rows[k][0], static_cast<float>(expected[k].a));
    EXPECT_EQ(rows[k][1], static_cast<float>(expected[k].b));
    EXPECT_NEAR(rows[k][2], expected[k].distance, 1e-4 * expected[k].distance + 1e-6);
    EXPECT_EQ(rows[k][3], static_cast<float>(expected[k].size));
  }
}

TEST(CentroidLinkage, MatchesTheReferenceAcrossSizes) {
  EXPECT_TRUE(centroidLinkage({}).empty());
  EXPECT_TRUE(centroidLinkage({{1.0f, 2.0f}}).empty());
  for (const std::size_t n : {2u, 3u, 7u, 31u, 200u}) {
    expectLinkageMatchesReference(reference::gaussianClusters(n, 16, 4, 0.7f, static_cast<std::uint32_t>(n)));
  }
  // Odd dimensions exercise the tails of the eight-lane reductions.
  expectLinkageMatchesReference(reference::gaussianClusters(41, 13, 3, 1.0f, 5));
  expectLinkageMatchesReference(reference::gaussianClusters(50, 1, 50, 0.5f, 9));
}

TEST(CentroidLinkage, TwoPointsGiveOneRowAndEqualDistancesMergeTheFirstPairFirst) {
  const VectorList two = centroidLinkage({{0.0f, 0.0f}, {3.0f, 4.0f}});
  ASSERT_EQ(two.size(), 1u);
  EXPECT_EQ(two[0], (Vector{0.0f, 1.0f, 5.0f, 2.0f}));

  // D(0,1) = D(1,2) = 1 < D(0,2) = 2: (0, 1) first, then point 2 with cluster 3.
  const VectorList line = centroidLinkage({{0.0f}, {1.0f}, {2.0f}});
  ASSERT_EQ(line.size(), 2u);
  EXPECT_EQ(line[0], (Vector{0.0f, 1.0f, 1.0f, 2.0f}));
  EXPECT_EQ(line[1][0], 2.0f);
  EXPECT_EQ(line[1][1], 3.0f);
  EXPECT_NEAR(line[1][2], 1.5f, 1e-6f);
  EXPECT_EQ(line[1][3], 3.0f);
}

TEST(CentroidLinkage, NearDuplicatesAndNonFiniteInputStayFiniteAndComplete) {
  // Near-identical points: the update's square-root argument rounds below zero without a clamp.
  VectorList close;
  for (int i = 0; i < 40; ++i) close.push_back({1.0f + 1e-7f * static_cast<float>(i % 3), 2.0f, -3.0f});
  const VectorList rows = centroidLinkage(close);
  ASSERT_EQ(rows.size(), close.size() - 1);
  for (const Vector& row : rows) {
    EXPECT_TRUE(std::isfinite(row[2]));
    EXPECT_GE(row[2], 0.0f);
  }
  EXPECT_EQ(rows.back()[3], 40.0f);

  VectorList poisoned = reference::gaussianClusters(9, 4, 3, 0.5f, 3);
  poisoned[4][2] = kNaN;
  poisoned[7][0] = std::numeric_limits<float>::infinity();
  const VectorList tree = centroidLinkage(poisoned);
  ASSERT_EQ(tree.size(), 8u);
  std::vector<int> used(17, 0);
  for (std::size_t k = 0; k < tree.size(); ++k) {
    EXPECT_TRUE(std::isfinite(tree[k][2]));
    for (int c = 0; c < 2; ++c) {
      const int id = static_cast<int>(tree[k][c]);
      ASSERT_GE(id, 0);
      ASSERT_LT(id, static_cast<int>(9 + k));
      EXPECT_EQ(++used[id], 1) << "cluster " << id << " merged twice";
    }
  }
  EXPECT_EQ(tree.back()[3], 9.0f);
}

TEST(PairwiseDistances, LayoutThreadsAndSaturation) {
  // Below and above the size from which the rows are filled concurrently; every entry is
  // checked, since a row left to a worker that never runs stays 0.
  for (const std::size_t n : {2u, 3u, 22u, 63u, 64u, 131u}) {
    SCOPED_TRACE(n);
    const VectorList points = reference::gaussianClusters(n, 23, 5, 1.0f, 11);
    const CondensedDistances one = pairwiseDistances(points, 1);
    ASSERT_EQ(one.values.size(), n * (n - 1) / 2);
    for (const int threads : {4, 5}) EXPECT_EQ(pairwiseDistances(points, threads).values, one.values);
    {
      const testing::FailingThreadStarts noThreads;  // the calling thread fills every row
      EXPECT_EQ(pairwiseDistances(points, 4).values, one.values);
    }
    const auto ref = reference::toDouble(points);
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = i + 1; j < n; ++j) {
        ASSERT_NEAR(one.at(i, j), std::sqrt(reference::squaredDistance(ref[i], ref[j])), 1e-4) << i << "," << j;
      }
    }
  }
  const CondensedDistances bad = pairwiseDistances({{0.0f}, {kNaN}, {1.0f}});
  EXPECT_EQ(bad.at(0, 1), std::numeric_limits<float>::max());
  EXPECT_EQ(bad.at(0, 2), 1.0f);
}

TEST(MinDistanceHeap, OrdersValuesKeepsEqualValuesInPlaceAndTracksChanges) {
  MinDistanceHeap heap(std::vector<float>{3, 1, 1, 5, 0.5f});
  EXPECT_EQ(heap.top().first, 4u);
  heap.removeTop();
  EXPECT_EQ(heap.top().first, 1u);  // equal values: the build does not move index 2 above 1
  heap.changeValue(3, 0.25f);
  EXPECT_EQ(heap.top().first, 3u);
  heap.changeValue(3, 9.0f);
  std::vector<std::size_t> order;
  while (!heap.empty()) {
    order.push_back(heap.top().first);
    heap.removeTop();
  }
  EXPECT_EQ(order, (std::vector<std::size_t>{1, 2, 0, 3}));
}

TEST(FlatClusters, CutsAtTheThresholdAndMatchesTheReference) {
  const VectorList points = reference::gaussianClusters(61, 8, 5, 0.4f, 21);
  const VectorList rows = centroidLinkage(points);
  const auto refRows = reference::centroidLinkage(reference::toDouble(points));
  for (const float threshold : {0.0f, 0.5f, 1.0f, 2.0f, 4.0f, 100.0f}) {
    SCOPED_TRACE(threshold);
    EXPECT_EQ(flatClusters(rows, threshold), reference::flatClusters(refRows, points.size(), threshold));
  }
  std::vector<int> identity(61);
  for (int i = 0; i < 61; ++i) identity[static_cast<std::size_t>(i)] = i;
  EXPECT_EQ(flatClusters(rows, -1.0f), identity);
  EXPECT_EQ(flatClusters(rows, 1e9f), std::vector<int>(61, 0));

  // A row exactly at the threshold merges; merging stops at the first row above it even when a
  // later row is closer.
  const VectorList handmade = {{0, 1, 1.0f, 2}, {2, 3, 3.0f, 3}, {4, 5, 0.5f, 2}};
  EXPECT_EQ(flatClusters(handmade, 1.0f), (std::vector<int>{0, 0, 1, 2}));
  EXPECT_EQ(flatClusters({}, 1.0f), std::vector<int>{0});
  // An id outside the tree ends the merging instead of indexing out of bounds.
  EXPECT_EQ(flatClusters({{0, 1, 0.1f, 2}, {7, 2, 0.2f, 3}}, 1.0f), (std::vector<int>{0, 0, 1}));
}

TEST(SplitMix64, KnownSequenceBoundsAndFloats) {
  SplitMix64Generator generator(0);
  EXPECT_EQ(generator.next(), 0xE220A8397B1DCDAFULL);
  EXPECT_EQ(generator.next(), 0x6E789E6AA1B965F4ULL);
  EXPECT_EQ(generator.next(), 0x06C45D188009454FULL);
  SplitMix64Generator bounded(42);
  std::vector<int> histogram(7, 0);
  for (int i = 0; i < 7000; ++i) {
    const std::uint64_t v = bounded.nextBounded(7);
    ASSERT_LT(v, 7u);
    ++histogram[v];
  }
  for (const int count : histogram) EXPECT_GT(count, 800);
  SplitMix64Generator floats(7);
  for (int i = 0; i < 1000; ++i) {
    const float v = floats.nextFloat(3.5f);
    ASSERT_GE(v, 0.0f);
    ASSERT_LT(v, 3.5f);
  }
}

// Same steps as kMeans, in double precision, for one restart seed.
std::vector<int> referenceKMeans(const VectorList& pts, std::size_t k, int iterations, std::uint64_t seed,
                                 double* inertia) {
  const auto p = reference::toDouble(pts);
  const std::size_t n = p.size();
  SplitMix64Generator generator(seed);
  std::vector<std::vector<double>> centroids{p[generator.nextBounded(n)]};
  while (centroids.size() < k) {
    std::vector<double> dist(n);
    double total = 0;
    for (std::size_t i = 0; i < n; ++i) {
      dist[i] = std::numeric_limits<double>::infinity();
      for (const auto& c : centroids) dist[i] = std::min(dist[i], reference::squaredDistance(p[i], c));
      total += dist[i];
    }
    std::size_t chosen = n - 1;
    if (total > 0) {
      const double r = generator.nextFloat(static_cast<float>(total));
      double running = 0;
      for (std::size_t i = 0; i < n; ++i) {
        running += dist[i];
        if (running >= r) {
          chosen = i;
          break;
        }
      }
    } else {
      chosen = centroids.size() % n;
    }
    centroids.push_back(p[chosen]);
  }
  const auto assign = [&](double* sum) {
    std::vector<int> labels(n, 0);
    if (sum) *sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
      double best = std::numeric_limits<double>::infinity();
      for (std::size_t c = 0; c < k; ++c) {
        const double d = reference::squaredDistance(p[i], centroids[c]);
        if (d < best) {
          best = d;
          labels[i] = static_cast<int>(c);
        }
      }
      if (sum) *sum += best;
    }
    return labels;
  };
  std::vector<int> previous(n, 0);
  for (int it = 0; it < iterations; ++it) {
    const std::vector<int> labels = assign(nullptr);
    if (labels == previous) break;
    for (std::size_t c = 0; c < k; ++c) {
      std::vector<double> sum(p[0].size(), 0.0);
      std::size_t count = 0;
      for (std::size_t i = 0; i < n; ++i) {
        if (labels[i] != static_cast<int>(c)) continue;
        for (std::size_t d = 0; d < sum.size(); ++d) sum[d] += p[i][d];
        ++count;
      }
      if (count == 0) continue;
      for (double& v : sum) v /= double(count);
      centroids[c] = sum;
    }
    previous = labels;
  }
  return assign(inertia);
}

TEST(KMeans, SeededLabelsMatchTheReferenceAndRepeat) {
  const VectorList points = reference::gaussianClusters(157, 12, 6, 1.5f, 33);
  for (const std::uint64_t seed : {1ULL, 42ULL, 1000ULL}) {
    double bestInertia = std::numeric_limits<double>::infinity();
    std::vector<int> best;
    for (std::uint64_t r = 0; r < 3; ++r) {
      double inertia = 0;
      std::vector<int> labels = referenceKMeans(points, 6, 300, seed + r, &inertia);
      if (inertia < bestInertia) {
        bestInertia = inertia;
        best = labels;
      }
    }
    const std::vector<int> labels = kMeans(points, 6, 300, 3, seed);
    EXPECT_EQ(labels, best) << "seed " << seed;
    EXPECT_EQ(labels, kMeans(points, 6, 300, 3, seed));
  }
}

TEST(KMeans, DegenerateCounts) {
  const VectorList points = reference::gaussianClusters(5, 3, 2, 0.1f, 2);
  EXPECT_TRUE(kMeans({}, 3, 10, 1, 0).empty());
  EXPECT_TRUE(kMeans({{}, {}}, 2, 10, 1, 0).empty());
  EXPECT_EQ(kMeans(points, 1, 10, 3, 0), std::vector<int>(5, 0));
  EXPECT_EQ(kMeans(points, 5, 10, 3, 0), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(kMeans(points, 9, 10, 3, 0), (std::vector<int>{0, 1, 2, 3, 4}));
  // Identical points: seeding falls back to index (count mod n); the second cluster stays empty
  // and keeps its centroid, every point ties to centroid 0.
  const VectorList same(6, Vector{0.5f, -1.0f});
  EXPECT_EQ(kMeans(same, 3, 10, 2, 9), std::vector<int>(6, 0));
  // Two well-separated groups come apart whatever the seed.
  const VectorList groups = {{0, 0}, {0.1f, 0}, {10, 10}, {10, 10.1f}, {0, 0.1f}};
  const std::vector<int> labels = kMeans(groups, 2, 300, 3, 123);
  EXPECT_EQ(labels[0], labels[1]);
  EXPECT_EQ(labels[0], labels[4]);
  EXPECT_EQ(labels[2], labels[3]);
  EXPECT_NE(labels[0], labels[2]);
}

TEST(NearestCentroidAssignment, TiesInertiaAndNoCentroids) {
  const CentroidAssignment a = nearestCentroidAssignment({{0, 0}, {2, 0}}, {{1, 0}, {2, 1}, {-1, 0}});
  EXPECT_EQ(a.labels, (std::vector<int>{0, 1, 0}));
  EXPECT_FLOAT_EQ(a.inertia, 3.0f);
  const CentroidAssignment none = nearestCentroidAssignment({}, {{1, 0}});
  EXPECT_EQ(none.labels, std::vector<int>{0});
  EXPECT_TRUE(std::isinf(none.inertia));
}

TEST(CosineDistance, SpecialCasesAndMatrixAgainstReference) {
  const Vector a = {1, 2, 3};
  EXPECT_NEAR(cosineDistance(a, a), 0.0f, 1e-6f);
  EXPECT_FLOAT_EQ(cosineDistance(a, Vector{-1, -2, -3}), 2.0f);
  EXPECT_EQ(cosineDistance(a, Vector{0, 0, 0}), 1.0f);
  EXPECT_EQ(cosineDistance(a, Vector{1, 2}), 1.0f);
  EXPECT_EQ(cosineDistance(Vector{}, Vector{}), 1.0f);
  EXPECT_EQ(cosineDistance(a, Vector{kNaN, 1, 1}), 1.0f);  // a NaN norm is "not greater than 0"
  EXPECT_EQ(cosineDistance(a, Vector{std::numeric_limits<float>::infinity(), 1, 1}), 2.0f);

  const VectorList left = reference::gaussianClusters(7, 19, 3, 1.0f, 4);
  const VectorList right = reference::gaussianClusters(4, 19, 2, 1.0f, 8);
  const VectorList matrix = cosineDistanceMatrix(left, right);
  ASSERT_EQ(matrix.size(), 7u);
  const auto l = reference::toDouble(left), r = reference::toDouble(right);
  for (std::size_t i = 0; i < 7; ++i) {
    ASSERT_EQ(matrix[i].size(), 4u);
    for (std::size_t j = 0; j < 4; ++j) EXPECT_NEAR(matrix[i][j], reference::cosineDistance(l[i], r[j]), 1e-5);
  }
  EXPECT_TRUE(cosineDistanceMatrix({}, right).empty());
  EXPECT_TRUE(cosineDistanceMatrix(left, {}).empty());
}

TEST(MatrixHelpers, ArgMaxTransposeProductSoftmax) {
  EXPECT_EQ(maxIndices({{1, 3, 3}}, true), std::vector<int>{1});
  EXPECT_EQ(maxIndices({{1, 5}, {4, 5}, {4, 0}}, false), (std::vector<int>{1, 0}));
  EXPECT_TRUE(maxIndices({}, true).empty());
  EXPECT_TRUE(maxIndices({{}}, false).empty());

  EXPECT_EQ(transposed({{1, 2, 3}, {4, 5, 6}}), (VectorList{{1, 4}, {2, 5}, {3, 6}}));
  EXPECT_TRUE(transposed({}).empty());

  const VectorList a = reference::gaussianClusters(5, 9, 1, 1.0f, 1);
  const VectorList b = reference::gaussianClusters(9, 3, 1, 1.0f, 2);
  const FlatMatrix product = matrixProduct(a, b);
  ASSERT_EQ(product.rows, 5u);
  ASSERT_EQ(product.columns, 3u);
  for (std::size_t i = 0; i < 5; ++i) {
    for (std::size_t j = 0; j < 3; ++j) {
      double expected = 0;
      for (std::size_t k = 0; k < 9; ++k) expected += double(a[i][k]) * double(b[k][j]);
      EXPECT_NEAR(product.values[i * 3 + j], expected, 1e-4);
    }
  }
  const FlatMatrix mismatch = matrixProduct(a, a);
  EXPECT_TRUE(mismatch.values.empty());
  EXPECT_EQ(mismatch.rows, 0u);

  const FlatMatrix flat = flattened({{1, 2}, {3, 4}, {5, 6}});
  EXPECT_EQ(flat.values, (Vector{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(reshaped(flat.values, 2, 3), (VectorList{{1, 2, 3}, {4, 5, 6}}));
  EXPECT_TRUE(reshaped(flat.values, 0, 3).empty());
  EXPECT_EQ(columnSums({{1, 2, 3}, {4, 5, 6}}, 1, 3), (Vector{7, 9}));

  EXPECT_EQ(softmax(Vector{0, 0}), (Vector{0.5f, 0.5f}));
  const Vector big = softmax(Vector{1000, 1001});
  EXPECT_NEAR(big[1], 1 / (1 + std::exp(-1.0)), 1e-6);
  EXPECT_TRUE(std::isinf(logSumExp(Vector{})) && logSumExp(Vector{}) < 0);
  EXPECT_NEAR(logSumExp(Vector{1000, 1000}), 1000 + std::log(2.0), 1e-3);
  EXPECT_EQ(elementwiseProduct(Vector{1, 2, 3}, Vector{4, 5}), (Vector{4, 10}));
  EXPECT_EQ(keyValueLines({{"b", "1"}, {"a", "2"}}), (std::vector<std::string>{"b: 1", "a: 2"}));
}

TEST(VectorOps, ReductionsAgreeWithDoubleSumsAtEveryTailLength) {
  for (std::size_t n = 0; n <= 19; ++n) {
    Vector a(n), b(n);
    double dot = 0, sq = 0, dist = 0, sum = 0;
    for (std::size_t i = 0; i < n; ++i) {
      a[i] = 0.5f * static_cast<float>(i) - 3;
      b[i] = 1.0f / static_cast<float>(i + 1);
      dot += double(a[i]) * b[i];
      sq += double(a[i]) * a[i];
      dist += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
      sum += a[i];
    }
    EXPECT_NEAR(vec::dot(a, b), dot, 1e-4) << n;
    EXPECT_NEAR(vec::sumOfSquares(a), sq, 1e-4) << n;
    EXPECT_NEAR(vec::distanceSquared(a, b), dist, 1e-4) << n;
    EXPECT_NEAR(vec::sum(a), sum, 1e-4) << n;
  }
}

}  // namespace
}  // namespace dellomar
