#include "diarization/clustering_numerics.hpp"

#include <algorithm>
#include <cmath>

#include "diarization/vector_ops.hpp"
#include "platform/log/check.hpp"
#include "platform/sync/task_group.hpp"
#include "platform/sys/checked_cast.hpp"

namespace dellomar {

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr float kLargestFinite = std::numeric_limits<float>::max();

float saturate(float distance) { return std::isfinite(distance) ? distance : kLargestFinite; }

}  // namespace

CondensedDistances pairwiseDistances(const VectorList& vectors, int threads) {
  CondensedDistances result;
  const std::size_t n = vectors.size();
  result.count = n;
  if (n < 2) return result;
  result.values.resize(n * (n - 1) / 2);
  // Few rows are not worth a thread: then one worker fills every row.
  const std::size_t workers = n < 64 ? 1 : static_cast<std::size_t>(std::clamp(threads, 1, 64));
  // Rows are dealt out round-robin in pairs from both ends, so each worker gets a similar share
  // of the triangle; entry (i, j) is written by the one worker that owns row i.
  const auto fillRows = [&](std::size_t worker, std::stop_token) {
    for (std::size_t k = worker; k < n - 1; k += workers) {
      const std::size_t i = (k % 2 == 0) ? k / 2 : n - 2 - k / 2;
      const std::span<const float> a(vectors[i]);
      float* out = result.values.data() + result.index(i, i + 1);
      for (std::size_t j = i + 1; j < n; ++j) *out++ = saturate(std::sqrt(vec::distanceSquared(a, vectors[j])));
    }
  };
  if (workers == 1) {
    fillRows(0, {});
  } else {
    try {
      platform::sync::runConcurrently(workers, workers, fillRows);
    } catch (const platform::sync::ThreadStartError&) {
      // No call was made (a group makes none without all its threads): this thread fills them.
      for (std::size_t worker = 0; worker < workers; ++worker) fillRows(worker, {});
    }
  }
  return result;
}

NearestNeighbour findNearestNeighbour(std::size_t x, std::span<const std::size_t> sizes,
                                      const CondensedDistances& distances) {
  NearestNeighbour best;
  const std::size_t n = distances.count;
  if (x + 1 >= n) return best;
  const float* row = distances.values.data() + distances.index(x, x + 1);
  for (std::size_t y = x + 1; y < n; ++y) {
    if (sizes[y] == 0) continue;
    const float d = row[y - x - 1];
    if (d < best.distance) {
      best.distance = d;
      best.index = static_cast<std::ptrdiff_t>(y);
    }
  }
  return best;
}

MinDistanceHeap::MinDistanceHeap(std::span<const float> values) : position_(values.size()) {
  heap_.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    heap_.push_back({i, values[i]});
    position_[i] = i;
  }
  for (std::size_t slot = heap_.size() / 2; slot-- > 0;) siftDown(slot);
}

void MinDistanceHeap::swapSlots(std::size_t a, std::size_t b) {
  std::swap(heap_[a], heap_[b]);
  position_[heap_[a].index] = a;
  position_[heap_[b].index] = b;
}

void MinDistanceHeap::siftDown(std::size_t slot) {
  for (;;) {
    std::size_t smallest = slot;
    const std::size_t left = 2 * slot + 1;
    const std::size_t right = left + 1;
    if (left < heap_.size() && heap_[slot].value > heap_[left].value) smallest = left;
    if (right < heap_.size() && heap_[smallest].value > heap_[right].value) smallest = right;
    if (smallest == slot) return;
    swapSlots(slot, smallest);
    slot = smallest;
  }
}

void MinDistanceHeap::siftUp(std::size_t slot) {
  while (slot > 0) {
    const std::size_t parent = (slot - 1) / 2;
    if (!(heap_[slot].value < heap_[parent].value)) return;
    swapSlots(slot, parent);
    slot = parent;
  }
}

void MinDistanceHeap::changeValue(std::size_t index, float value) {
  const std::size_t slot = position_[index];
  const float old = heap_[slot].value;
  heap_[slot].value = value;
  if (value < old) {
    siftUp(slot);
  } else {
    siftDown(slot);
  }
}

void MinDistanceHeap::removeTop() {
  position_[heap_[0].index] = kAbsent;
  const Entry last = heap_.back();
  heap_.pop_back();
  if (heap_.empty()) return;
  heap_[0] = last;
  position_[last.index] = 0;
  siftDown(0);
}

VectorList centroidLinkage(const VectorList& vectors, int threads) {
  const std::size_t n = vectors.size();
  VectorList rows;
  if (n < 2) return rows;
  CondensedDistances distances = pairwiseDistances(vectors, threads);
  std::vector<float>& d = distances.values;
  std::vector<std::size_t> size(n, 1);
  std::vector<std::size_t> clusterId(n);
  for (std::size_t i = 0; i < n; ++i) clusterId[i] = i;
  std::vector<std::ptrdiff_t> neighbour(n - 1);
  std::vector<float> minDist(n - 1);
  for (std::size_t x = 0; x + 1 < n; ++x) {
    const NearestNeighbour nearest = findNearestNeighbour(x, size, distances);
    neighbour[x] = nearest.index;
    minDist[x] = nearest.distance;
  }
  MinDistanceHeap heap(minDist);
  rows.reserve(n - 1);

  for (std::size_t k = 0; k + 1 < n; ++k) {
    std::size_t x = 0;
    std::ptrdiff_t y = -1;
    float dxy = kInfinity;
    bool accepted = false;
    for (std::size_t attempt = 0; attempt < n - k && !heap.empty(); ++attempt) {
      const auto [topIndex, topValue] = heap.top();
      x = topIndex;
      y = neighbour[x];
      dxy = topValue;
      if (y >= 0 && size[static_cast<std::size_t>(y)] > 0 && dxy == distances.at(x, static_cast<std::size_t>(y))) {
        accepted = true;
        break;
      }
      const NearestNeighbour nearest = findNearestNeighbour(x, size, distances);
      neighbour[x] = nearest.index;
      minDist[x] = nearest.distance;
      heap.changeValue(x, nearest.distance);
      y = nearest.index;
      dxy = nearest.distance;
    }
    // With finite distances the attempts always find a live pair; should they run out on a
    // cluster without live neighbours, the tree ends here rather than merging a dead slot.
    if (!accepted && (y < 0 || size[static_cast<std::size_t>(y)] == 0)) break;
    const std::size_t yy = static_cast<std::size_t>(y);
    // After a last recomputation x may no longer be on top; bring it there before removing it.
    if (!accepted) heap.changeValue(x, -kInfinity);
    heap.removeTop();

    const std::size_t nx = size[x];
    const std::size_t ny = size[yy];
    const std::size_t idX = clusterId[x];
    const std::size_t idY = clusterId[yy];
    rows.push_back({static_cast<float>(std::min(idX, idY)), static_cast<float>(std::max(idX, idY)), dxy,
                    static_cast<float>(nx + ny)});
    size[x] = 0;
    size[yy] = nx + ny;
    clusterId[yy] = n + k;

    const float fx = static_cast<float>(nx);
    const float fy = static_cast<float>(ny);
    const float fxy = static_cast<float>(nx + ny);
    const float dxySquared = dxy * dxy;
    for (std::size_t z = 0; z < n; ++z) {
      if (size[z] == 0 || z == yy) continue;
      const float dzx = z < x ? d[distances.index(z, x)] : d[distances.index(x, z)];
      const std::size_t zyIndex = z < yy ? distances.index(z, yy) : distances.index(yy, z);
      const float dzy = d[zyIndex];
      float argument = (fx * dzx * dzx + fy * dzy * dzy - fx * fy * dxySquared / fxy) / fxy;
      // Rounding drives the argument slightly below zero for near-identical points.
      if (argument < 0) argument = 0;
      const float updated = saturate(std::sqrt(argument));
      d[zyIndex] = updated;
      if (z < x && neighbour[z] == static_cast<std::ptrdiff_t>(x)) neighbour[z] = y;
      if (z < yy && updated < minDist[z]) {
        neighbour[z] = y;
        minDist[z] = updated;
        heap.changeValue(z, updated);
      }
    }
    if (yy + 1 < n) {
      const NearestNeighbour nearest = findNearestNeighbour(yy, size, distances);
      if (nearest.index != -1) {
        neighbour[yy] = nearest.index;
        minDist[yy] = nearest.distance;
        heap.changeValue(yy, nearest.distance);
      }
    }
  }
  return rows;
}

std::vector<int> flatClusters(const VectorList& linkage, float threshold) {
  const std::size_t n = linkage.size() + 1;
  std::vector<std::size_t> parent(2 * n - 1);
  for (std::size_t i = 0; i < parent.size(); ++i) parent[i] = i;
  const auto root = [&parent](std::size_t i) {
    while (parent[i] != i) i = parent[i];
    return i;
  };
  const auto treeId = [n](float value, std::size_t row) -> std::optional<std::size_t> {
    const std::optional<std::int64_t> id = platform::sys::checkedIntegerCast<std::int64_t>(value);
    if (!id || *id < 0 || static_cast<std::size_t>(*id) >= n + row) return std::nullopt;
    return static_cast<std::size_t>(*id);
  };
  for (std::size_t i = 0; i < linkage.size(); ++i) {
    const Vector& row = linkage[i];
    if (row.size() < 3 || row[2] > threshold) break;
    const std::optional<std::size_t> a = treeId(row[0], i);
    const std::optional<std::size_t> b = treeId(row[1], i);
    if (!a || !b) break;
    const std::size_t rootA = root(*a);
    const std::size_t rootB = root(*b);
    parent[rootA] = n + i;
    parent[rootB] = n + i;
    parent[n + i] = n + i;
  }
  std::vector<int> labels(n);
  std::vector<int> labelOfRoot(2 * n - 1, -1);
  int next = 0;
  for (std::size_t j = 0; j < n; ++j) {
    const std::size_t r = root(j);
    if (labelOfRoot[r] < 0) labelOfRoot[r] = next++;
    labels[j] = labelOfRoot[r];
  }
  return labels;
}

std::uint64_t SplitMix64Generator::next() {
  state_ += 0x9E3779B97F4A7C15ULL;
  std::uint64_t z = state_;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t SplitMix64Generator::nextBounded(std::uint64_t n) {
  unsigned __int128 m = static_cast<unsigned __int128>(next()) * n;
  std::uint64_t low = static_cast<std::uint64_t>(m);
  if (low < n) {
    const std::uint64_t t = (0 - n) % n;
    while (low < t) {
      m = static_cast<unsigned __int128>(next()) * n;
      low = static_cast<std::uint64_t>(m);
    }
  }
  return static_cast<std::uint64_t>(m >> 64);
}

float SplitMix64Generator::nextFloat(float total) {
  for (;;) {
    const float u = static_cast<float>(next() & 0xFFFFFFULL) * 0x1p-24f;
    const float value = u * total;
    if (value != total) return value;
  }
}

CentroidAssignment nearestCentroidAssignment(const VectorList& centroids, const VectorList& points) {
  CentroidAssignment result;
  result.labels.resize(points.size(), 0);
  for (std::size_t i = 0; i < points.size(); ++i) {
    float best = kInfinity;
    int label = 0;
    for (std::size_t c = 0; c < centroids.size(); ++c) {
      const float dist = vec::distanceSquared(points[i], centroids[c]);
      if (dist < best) {
        best = dist;
        label = static_cast<int>(c);
      }
    }
    result.labels[i] = label;
    result.inertia += best;
  }
  return result;
}

std::vector<int> kMeans(const VectorList& points, int k, int maxIterations, int restarts, std::uint64_t seed) {
  const std::size_t n = points.size();
  if (n == 0 || points[0].empty()) return {};
  const std::size_t dimension = points[0].size();
  const std::size_t clusters = std::min(static_cast<std::size_t>(std::max(k, 0)), n);
  if (clusters < 2) return std::vector<int>(n, 0);
  if (clusters >= n) {
    std::vector<int> identity(n);
    for (std::size_t i = 0; i < n; ++i) identity[i] = static_cast<int>(i);
    return identity;
  }
  std::vector<int> bestLabels(n, 0);
  float bestInertia = kInfinity;
  for (int restart = 0; restart < restarts; ++restart) {
    SplitMix64Generator generator(seed + static_cast<std::uint64_t>(restart));
    VectorList centroids;
    centroids.reserve(clusters);
    centroids.push_back(points[generator.nextBounded(n)]);
    // Smallest squared distance of every point to the centroids chosen so far.
    std::vector<float> nearest(n, kInfinity);
    while (centroids.size() < clusters) {
      const Vector& latest = centroids.back();
      for (std::size_t i = 0; i < n; ++i) nearest[i] = std::min(nearest[i], vec::distanceSquared(points[i], latest));
      float total = 0;
      for (const float value : nearest) total += value;
      std::size_t chosen = n - 1;
      if (total > 0 && std::isfinite(total)) {
        const float r = generator.nextFloat(total);
        float running = 0;
        for (std::size_t i = 0; i < n; ++i) {
          running += nearest[i];
          if (running >= r) {
            chosen = i;
            break;
          }
        }
      } else {
        chosen = centroids.size() % n;
      }
      centroids.push_back(points[chosen]);
    }

    std::vector<int> previous(n, 0);
    std::vector<std::size_t> counts(clusters);
    for (int iteration = 0; iteration < maxIterations; ++iteration) {
      const std::vector<int> labels = nearestCentroidAssignment(centroids, points).labels;
      if (labels == previous) break;
      VectorList sums(clusters, Vector(dimension, 0.0f));
      std::fill(counts.begin(), counts.end(), 0);
      for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<std::size_t>(labels[i]);
        vec::add(sums[c], points[i], sums[c]);
        ++counts[c];
      }
      for (std::size_t c = 0; c < clusters; ++c) {
        if (counts[c] == 0) continue;
        vec::scale(sums[c], 1.0f / static_cast<float>(counts[c]), sums[c]);
        centroids[c] = std::move(sums[c]);
      }
      previous = labels;
    }
    CentroidAssignment assignment = nearestCentroidAssignment(centroids, points);
    if (assignment.inertia < bestInertia) {
      bestInertia = assignment.inertia;
      bestLabels = std::move(assignment.labels);
    }
  }
  return bestLabels;
}

float cosineDistance(std::span<const float> a, std::span<const float> b) {
  if (a.empty() || b.empty() || a.size() != b.size()) return 1;
  const float dotProduct = vec::dot(a, b);
  const float na = std::sqrt(vec::sumOfSquares(a));
  const float nb = std::sqrt(vec::sumOfSquares(b));
  if (!(na > 0) || !(nb > 0)) return 1;
  float distance = 1 - dotProduct / (na * nb);
  if (!(distance <= 2)) distance = 2;
  if (distance < 0) distance = 0;
  return distance;
}

VectorList cosineDistanceMatrix(const VectorList& a, const VectorList& b) {
  VectorList result;
  if (a.empty() || b.empty()) return result;
  result.reserve(a.size());
  for (const Vector& row : a) {
    Vector distances(b.size());
    for (std::size_t j = 0; j < b.size(); ++j) distances[j] = cosineDistance(row, b[j]);
    result.push_back(std::move(distances));
  }
  return result;
}

std::vector<int> maxIndices(const VectorList& matrix, bool perRow) {
  if (matrix.empty() || matrix[0].empty()) return {};
  std::vector<int> result;
  if (perRow) {
    result.reserve(matrix.size());
    for (const Vector& row : matrix) {
      std::size_t best = 0;
      for (std::size_t j = 1; j < row.size(); ++j) {
        if (row[j] > row[best]) best = j;
      }
      result.push_back(static_cast<int>(best));
    }
  } else {
    const std::size_t columns = matrix[0].size();
    result.reserve(columns);
    for (std::size_t j = 0; j < columns; ++j) {
      std::size_t best = 0;
      for (std::size_t i = 1; i < matrix.size(); ++i) {
        if (j < matrix[i].size() && matrix[i][j] > matrix[best][j]) best = i;
      }
      result.push_back(static_cast<int>(best));
    }
  }
  return result;
}

VectorList transposed(const VectorList& matrix) {
  if (matrix.empty() || matrix[0].empty()) return {};
  const FlatMatrix flat = flattened(matrix);
  std::vector<float> out(flat.rows * flat.columns);
  vec::transpose(flat.values.data(), out.data(), flat.rows, flat.columns);
  return reshaped(out, flat.columns, flat.rows);
}

FlatMatrix matrixProduct(const VectorList& a, const VectorList& b) {
  const FlatMatrix left = flattened(a);
  const FlatMatrix right = flattened(b);
  if (left.columns != right.rows) return {};
  FlatMatrix result;
  result.rows = left.rows;
  result.columns = right.columns;
  result.values.assign(result.rows * result.columns, 0.0f);
  vec::matrixMultiply(left.values.data(), right.values.data(), result.values.data(), left.rows, left.columns,
                      right.columns);
  return result;
}

FlatMatrix flattened(const VectorList& matrix) {
  FlatMatrix result;
  if (matrix.empty()) return result;
  result.rows = matrix.size();
  result.columns = matrix[0].size();
  result.values.reserve(result.rows * result.columns);
  for (const Vector& row : matrix) {
    platform::log::requireThat(row.size() == result.columns, "matrix rows differ in length");
    result.values.insert(result.values.end(), row.begin(), row.end());
  }
  return result;
}

VectorList reshaped(std::span<const float> values, std::size_t rows, std::size_t columns) {
  platform::log::requireThat(values.size() >= rows * columns, "too few values to reshape");
  VectorList result;
  result.reserve(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    result.emplace_back(values.begin() + static_cast<std::ptrdiff_t>(r * columns),
                        values.begin() + static_cast<std::ptrdiff_t>((r + 1) * columns));
  }
  return result;
}

Vector columnSums(const VectorList& matrix, std::size_t begin, std::size_t end) {
  Vector sums(end > begin ? end - begin : 0, 0.0f);
  for (const Vector& row : matrix) {
    for (std::size_t c = begin; c < end; ++c) sums[c - begin] += row[c];
  }
  return sums;
}

Vector softmax(std::span<const float> values) {
  if (values.empty()) return {};
  const float m = *std::max_element(values.begin(), values.end());
  Vector e(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) e[i] = std::exp(values[i] - m);
  const float total = vec::sum(e);
  for (float& v : e) v /= total;
  return e;
}

VectorList softmax(const VectorList& rows) {
  VectorList result;
  result.reserve(rows.size());
  for (const Vector& row : rows) result.push_back(softmax(row));
  return result;
}

float logSumExp(std::span<const float> values) {
  if (values.empty()) return -kInfinity;
  const float m = *std::max_element(values.begin(), values.end());
  float total = 0;
  for (const float v : values) total += std::exp(v - m);
  return std::log(total) + m;
}

Vector elementwiseProduct(std::span<const float> a, std::span<const float> b) {
  const std::size_t n = std::min(a.size(), b.size());
  Vector result(n);
  for (std::size_t i = 0; i < n; ++i) result[i] = a[i] * b[i];
  return result;
}

std::vector<std::string> keyValueLines(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::vector<std::string> lines;
  lines.reserve(entries.size());
  for (const auto& [key, value] : entries) lines.push_back(key + ": " + value);
  return lines;
}

}  // namespace dellomar
