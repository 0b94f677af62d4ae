// The numeric toolkit of speaker clustering: Euclidean and cosine distances, agglomerative
// clustering with centroid linkage, the flat cut of its tree at a distance threshold, a seeded
// k-means (k-means++ seeding, restarts), per-row / per-column arg-max and small matrix helpers
// (transpose, product, flatten, reshape, column sums, softmax, log-sum-exp).
//
// Everything works on 32-bit floats, keeps no state between calls, never throws and returns
// empty or neutral results for degenerate input (as each function says). Every function is a
// pure function of its arguments (k-means of its seed as well) and thread-safe. Vector lists
// must hold vectors of one length (the first vector's); that is the caller's contract.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace dellomar {

using Vector = std::vector<float>;
using VectorList = std::vector<Vector>;

// Condensed distance list of n vectors: the n(n-1)/2 distances of the pairs i < j, row by row
// ((0,1), (0,2), ..., (0,n-1), (1,2), ...).
struct CondensedDistances {
  std::vector<float> values;
  std::size_t count = 0;  // n

  // Index of the pair (i, j), i < j < count.
  std::size_t index(std::size_t i, std::size_t j) const { return i * count - i * (i + 1) / 2 + (j - i - 1); }
  float at(std::size_t i, std::size_t j) const { return values[index(i, j)]; }
};

// Euclidean distances of every pair, in single precision. A distance that is not finite (NaN or
// infinite input) is stored as the largest finite float, so later comparisons stay exact.
// `threads` (clamped to 1 ... 64) threads fill the list, each entry by one thread (the calling
// thread alone when they cannot be started); the result does not depend on the thread count.
CondensedDistances pairwiseDistances(const VectorList& vectors, int threads = 1);

// The nearest live cluster y > x (sizes[y] > 0) by the condensed list; the smallest y among
// equal distances. (-1, +inf) when there is none.
struct NearestNeighbour {
  std::ptrdiff_t index = -1;
  float distance = std::numeric_limits<float>::infinity();
};
NearestNeighbour findNearestNeighbour(std::size_t x, std::span<const std::size_t> sizes,
                                      const CondensedDistances& distances);

// A binary min-heap of (index, value) pairs with a position array, so that the value of an
// index can be changed in place. Equal values never move during sifting.
class MinDistanceHeap {
 public:
  // One entry per index 0 ... values.size() - 1, then heapified.
  explicit MinDistanceHeap(std::span<const float> values);

  bool empty() const { return heap_.empty(); }
  std::size_t size() const { return heap_.size(); }
  // The entry with the smallest value; the heap must not be empty.
  std::pair<std::size_t, float> top() const { return {heap_[0].index, heap_[0].value}; }
  // Changes the value of `index` (which must be in the heap) and restores the order.
  void changeValue(std::size_t index, float value);
  void removeTop();
  bool contains(std::size_t index) const { return index < position_.size() && position_[index] != kAbsent; }

 private:
  struct Entry {
    std::size_t index;
    float value;
  };
  static constexpr std::size_t kAbsent = static_cast<std::size_t>(-1);
  void siftDown(std::size_t slot);
  void siftUp(std::size_t slot);
  void swapSlots(std::size_t a, std::size_t b);

  std::vector<Entry> heap_;
  std::vector<std::size_t> position_;
};

// Agglomerative clustering with centroid linkage. n - 1 rows of (smaller id, larger id, merge
// distance, merged size), ids and sizes as floats; inputs are ids 0 ... n-1 and merge k forms
// id n + k. Empty for fewer than two vectors. Rows are in merge order (centroid linkage may
// give non-monotonic distances). With non-finite input, distances saturate at the largest finite
// float instead of poisoning the tree. `threads` is handed to pairwiseDistances.
VectorList centroidLinkage(const VectorList& vectors, int threads = 1);

// Cuts the linkage tree: rows are merged in order until the first row whose distance exceeds
// `threshold` (a distance equal to it still merges). Labels for the rows + 1 inputs, numbered
// from 0 by first appearance. An empty linkage gives one label 0; a row with an id outside the
// tree ends the merging there.
std::vector<int> flatClusters(const VectorList& linkage, float threshold);

// The SplitMix64 generator with Lemire's bounded integers and 24-bit uniform floats.
class SplitMix64Generator {
 public:
  explicit SplitMix64Generator(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();
  // Uniform in [0, n); n must be > 0.
  std::uint64_t nextBounded(std::uint64_t n);
  // Uniform in [0, total); total must be positive and finite.
  float nextFloat(float total);

 private:
  std::uint64_t state_;
};

struct CentroidAssignment {
  std::vector<int> labels;
  float inertia = 0;  // sum of the smallest squared distances, in point order
};
// Nearest centroid (squared Euclidean, ties to the lowest index, 0 when nothing compares) for
// every point, with the inertia (+inf per point without centroids).
CentroidAssignment nearestCentroidAssignment(const VectorList& centroids, const VectorList& points);

// Seeded k-means with k-means++ seeding; `restarts` runs with seeds seed, seed + 1, ...; the
// labels of the run with the strictly smallest inertia (the earliest on ties). Empty for no
// points or dimension 0; all zeros when min(k, n) < 2; 0 ... n-1 when k >= n. A cluster that
// loses all its points keeps its centroid. maxIterations and restarts below 0 count as 0.
std::vector<int> kMeans(const VectorList& points, int k, int maxIterations, int restarts, std::uint64_t seed);

// 1 - cos(a, b) clamped to [0, 2] (NaN gives 2); 1 for empty or unequal-length vectors or a
// vector of norm 0.
float cosineDistance(std::span<const float> a, std::span<const float> b);
// a.size() rows by b.size() columns; empty when either list is empty.
VectorList cosineDistanceMatrix(const VectorList& a, const VectorList& b);

// Per row (perRow) the index of the row's largest value, or per column (of the first row's
// length) the row holding its largest value; the first maximum wins. Empty for an empty matrix
// or empty first row; rows must not be empty.
std::vector<int> maxIndices(const VectorList& matrix, bool perRow);

// Row-major flat matrix.
struct FlatMatrix {
  std::vector<float> values;
  std::size_t rows = 0;
  std::size_t columns = 0;
};

// Empty for an empty matrix or empty first row.
VectorList transposed(const VectorList& matrix);
// A (m x p) times B (p x q); empty with counts 0 when A's columns differ from B's rows.
FlatMatrix matrixProduct(const VectorList& a, const VectorList& b);
// Concatenated rows with the row count and the first row's length.
FlatMatrix flattened(const VectorList& matrix);
// The first rows x columns values as consecutive rows; values must hold that many.
VectorList reshaped(std::span<const float> values, std::size_t rows, std::size_t columns);
// Sums over all rows (in row order) of columns [begin, end).
Vector columnSums(const VectorList& matrix, std::size_t begin, std::size_t end);
// exp(v - max) / sum; empty for empty input.
Vector softmax(std::span<const float> values);
VectorList softmax(const VectorList& rows);
// log(sum exp(v - max)) + max; -inf for an empty vector.
float logSumExp(std::span<const float> values);
// a[i] * b[i] over the shorter length.
Vector elementwiseProduct(std::span<const float> a, std::span<const float> b);
// "key: value" per entry, in the given order.
std::vector<std::string> keyValueLines(const std::vector<std::pair<std::string, std::string>>& entries);

}  // namespace dellomar
