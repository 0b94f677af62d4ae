#include "diarization/vbx_clustering.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "core/logging.hpp"
#include "diarization/vbx.hpp"
#include "diarization/vector_ops.hpp"

namespace dellomar {

namespace {

bool allFinite(const std::vector<float>& values) {
  return std::all_of(values.begin(), values.end(), [](float v) { return std::isfinite(v); });
}

bool isTrainable(const SpeakerEmbedding& embedding, float trainableRatio) {
  return embedding.nonOverlappedFrameRatio > trainableRatio;
}

std::string shapeText(std::size_t width, std::optional<std::size_t> pldaWidth) {
  return std::to_string(width) + " values and " +
         (pldaWidth ? "a projection of " + std::to_string(*pldaWidth) : std::string("no projection"));
}

Vector normalised(const Vector& vector) {
  const float norm = std::sqrt(vec::sumOfSquares(vector));
  if (norm == 0) return vector;
  Vector out(vector.size());
  vec::scale(vector, 1.0f / norm, out);
  return out;
}

}  // namespace

void VBxClustering::append(std::vector<SpeakerEmbedding> embeddings) {
  const std::lock_guard lock(mutex_);
  speakerEmbeddings_.insert(speakerEmbeddings_.end(), std::make_move_iterator(embeddings.begin()),
                            std::make_move_iterator(embeddings.end()));
}

std::vector<SpeakerEmbedding> VBxClustering::speakerEmbeddings() const {
  const std::lock_guard lock(mutex_);
  return speakerEmbeddings_;
}

void VBxClustering::reset() {
  const std::lock_guard lock(mutex_);
  speakerEmbeddings_.clear();
}

ClusteringOutcome VBxClustering::cluster(const ClusteringParameters& parameters) {
  const std::lock_guard lock(mutex_);
  if (speakerEmbeddings_.empty()) return {};
  // Sorted through an index permutation: the embeddings themselves are moved once.
  std::vector<std::size_t> order(speakerEmbeddings_.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
    const SpeakerEmbedding& x = speakerEmbeddings_[a];
    const SpeakerEmbedding& y = speakerEmbeddings_[b];
    return x.windowIndex != y.windowIndex ? x.windowIndex < y.windowIndex : x.speakerIndex < y.speakerIndex;
  });
  std::vector<SpeakerEmbedding> sorted;
  sorted.reserve(order.size());
  for (const std::size_t i : order) sorted.push_back(std::move(speakerEmbeddings_[i]));
  speakerEmbeddings_ = std::move(sorted);
  // A single NaN would make every VBx responsibility NaN; such embeddings take no part.
  std::erase_if(speakerEmbeddings_, [](const SpeakerEmbedding& e) {
    const bool finite = allFinite(e.embedding) && (!e.pldaEmbedding || allFinite(*e.pldaEmbedding));
    if (!finite) {
      noxtal::Logging::error("[VBx] Embedding of window " + std::to_string(e.windowIndex) + ", speaker " +
                             std::to_string(e.speakerIndex) +
                             " holds a non-finite value; left out of clustering and the result");
    }
    return !finite;
  });
  // Distances are taken between every pair: an embedding of another width than the first (or
  // with a projection of another width, or none where the first has one) cannot take part.
  if (!speakerEmbeddings_.empty()) {
    const SpeakerEmbedding& first = speakerEmbeddings_.front();
    const std::size_t width = first.embedding.size();
    const std::optional<std::size_t> pldaWidth =
        first.pldaEmbedding ? std::optional<std::size_t>(first.pldaEmbedding->size()) : std::nullopt;
    std::erase_if(speakerEmbeddings_, [&](const SpeakerEmbedding& e) {
      const std::optional<std::size_t> projected =
          e.pldaEmbedding ? std::optional<std::size_t>(e.pldaEmbedding->size()) : std::nullopt;
      const bool fits = e.embedding.size() == width && projected == pldaWidth;
      if (!fits) {
        noxtal::Logging::error("[VBx] Embedding of window " + std::to_string(e.windowIndex) + ", speaker " +
                               std::to_string(e.speakerIndex) + " has " + shapeText(e.embedding.size(), projected) +
                               " where the first has " + shapeText(width, pldaWidth) +
                               "; left out of clustering and the result");
      }
      return !fits;
    });
  }
  ClusterAssignment assignment = assignClusters(speakerEmbeddings_, parameters, threads_);
  for (std::size_t i = 0; i < speakerEmbeddings_.size(); ++i) speakerEmbeddings_[i].clusterId = assignment.labels[i];
  return {std::move(assignment.labels), speakerEmbeddings_, std::move(assignment.centroids)};
}

ClusterAssignment assignClusters(const std::vector<SpeakerEmbedding>& embeddings,
                                 const ClusteringParameters& parameters, int threads) {
  VectorList raw;    // X: trainable, raw
  VectorList plda;   // P: trainable, PLDA-projected
  VectorList every;  // A: all, raw
  every.reserve(embeddings.size());
  for (const SpeakerEmbedding& e : embeddings) {
    every.push_back(e.embedding);
    if (!isTrainable(e, parameters.trainableRatio)) continue;
    raw.push_back(e.embedding);
    plda.push_back(e.pldaEmbedding ? *e.pldaEmbedding : Vector{});
  }
  VectorList unit;
  unit.reserve(raw.size());
  for (const Vector& v : raw) unit.push_back(normalised(v));

  const std::vector<int> flat = flatClusters(centroidLinkage(unit, threads), parameters.threshold);
  noxtal::Logging::debug("Calling vbx with " + std::to_string(plda.size()) + " embeddings");
  const VBxResult vbxResult = vbx(flat, plda, parameters.maxIterations, false, parameters.fa, parameters.fb,
                                  parameters.initSmoothing);

  const std::vector<std::size_t> surviving = keptSpeakerColumns(vbxResult.pi, parameters.minSpeakerPrior);
  VectorList kept;
  kept.reserve(vbxResult.gamma.size());
  for (const Vector& row : vbxResult.gamma) {
    Vector columns;
    columns.reserve(surviving.size());
    for (const std::size_t k : surviving) columns.push_back(k < row.size() ? row[k] : 0.0f);
    kept.push_back(std::move(columns));
  }
  const VectorList responsibilities = transposed(kept);
  const std::vector<int> working = responsibilities.empty() ? flat : maxIndices(responsibilities, false);
  VectorList centroids = weightedCentroids(responsibilities, raw);
  noxtal::Logging::debug("VBx clustering completed with " + std::to_string(centroids.size()) + " speakers");

  // A requested count below 1 means none; more speakers than trainable embeddings cannot be
  // formed.
  if (parameters.numberOfSpeakers && *parameters.numberOfSpeakers >= 1) {
    const int k = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(*parameters.numberOfSpeakers),
                                                         raw.size()));
    if (k >= 1 && static_cast<std::size_t>(k) != centroids.size()) {
      noxtal::Logging::debug("K-Means correction: VBx gave " + std::to_string(centroids.size()) +
                             " speakers, requested " + std::to_string(*parameters.numberOfSpeakers));
      const std::vector<int> km = kMeans(unit, k, 300, 3, 42);
      centroids = clusterMeans(km, raw, k);
    }
  }

  std::vector<int> labels;
  if (!centroids.empty()) {
    labels = assignToNearestCentroid(every, centroids);
    noxtal::Logging::debug("Cluster reassignment completed");
  } else {
    const int largest = working.empty() ? -1 : *std::max_element(working.begin(), working.end());
    const VectorList fallback = largest + 1 >= 1 ? clusterMeans(working, raw, largest + 1) : VectorList{};
    if (!fallback.empty()) {
      labels = assignToNearestCentroid(every, fallback);
      noxtal::Logging::debug("Cluster reassignment from AHC fallback completed");
    } else {
      labels.assign(embeddings.size(), 0);
      noxtal::Logging::debug("No trainable embeddings; assigning all to cluster 0");
    }
  }
  if (labels.size() != embeddings.size()) labels.resize(embeddings.size(), 0);
  return {labels, speakerCentroids(labels, embeddings, parameters.centroidSource, parameters.trainableRatio)};
}

std::vector<std::size_t> keptSpeakerColumns(std::span<const float> priors, float minSpeakerPrior) {
  std::vector<std::size_t> kept;
  for (std::size_t k = 0; k < priors.size(); ++k) {
    if (priors[k] > minSpeakerPrior) kept.push_back(k);
  }
  if (kept.empty()) {
    for (std::size_t k = 0; k < priors.size(); ++k) kept.push_back(k);
  }
  return kept;
}

VectorList weightedCentroids(const VectorList& responsibilities, const VectorList& embeddings) {
  if (responsibilities.empty() || embeddings.empty() || embeddings.front().empty()) return {};
  const std::size_t d = embeddings.front().size();
  VectorList centroids;
  centroids.reserve(responsibilities.size());
  for (const Vector& row : responsibilities) {
    float weight = 0;
    for (const float r : row) weight += r;
    Vector centroid(d, 0.0f);
    if (weight > 0) {
      const std::size_t count = std::min(row.size(), embeddings.size());
      for (std::size_t j = 0; j < count; ++j) {
        if (embeddings[j].size() != d) continue;
        for (std::size_t i = 0; i < d; ++i) centroid[i] += row[j] * embeddings[j][i];
      }
      for (float& value : centroid) value /= weight;
    }
    centroids.push_back(std::move(centroid));
  }
  return centroids;
}

VectorList clusterMeans(const std::vector<int>& labels, const VectorList& embeddings, int clusterCount) {
  if (embeddings.empty() || embeddings.front().empty() || clusterCount < 1) return {};
  const std::size_t d = embeddings.front().size();
  const auto k = static_cast<std::size_t>(clusterCount);
  VectorList sums(k, Vector(d, 0.0f));
  std::vector<std::size_t> counts(k, 0);
  const std::size_t count = std::min(labels.size(), embeddings.size());
  for (std::size_t i = 0; i < count; ++i) {
    const int label = labels[i];
    if (label < 0 || static_cast<std::size_t>(label) >= k || embeddings[i].size() != d) continue;
    vec::add(sums[static_cast<std::size_t>(label)], embeddings[i], sums[static_cast<std::size_t>(label)]);
    ++counts[static_cast<std::size_t>(label)];
  }
  for (std::size_t c = 0; c < k; ++c) {
    if (counts[c] == 0) continue;
    for (float& value : sums[c]) value /= static_cast<float>(counts[c]);
  }
  return sums;
}

std::vector<int> assignToNearestCentroid(const VectorList& vectors, const VectorList& centroids) {
  if (vectors.empty() || centroids.empty()) return {};
  VectorList similarity = cosineDistanceMatrix(vectors, centroids);
  for (Vector& row : similarity) {
    for (float& value : row) value = 2 - value;
  }
  return maxIndices(similarity, true);
}

SpeakerCentroids speakerCentroids(const std::vector<int>& labels, const std::vector<SpeakerEmbedding>& embeddings,
                                  SpeakerCentroidSource source, float trainableRatio) {
  std::map<int, std::pair<Vector, std::size_t>> sums;
  const std::size_t count = std::min(labels.size(), embeddings.size());
  for (std::size_t i = 0; i < count; ++i) {
    const int label = labels[i];
    const SpeakerEmbedding& e = embeddings[i];
    if (label < 0) continue;
    if (source == SpeakerCentroidSource::trainableOnly && !isTrainable(e, trainableRatio)) continue;
    if (e.embedding.empty()) continue;
    auto [it, inserted] = sums.try_emplace(label, e.embedding, 1);
    if (inserted) continue;
    if (it->second.first.size() != e.embedding.size()) continue;
    vec::add(it->second.first, e.embedding, it->second.first);
    ++it->second.second;
  }
  SpeakerCentroids centroids;
  for (auto& [label, entry] : sums) {
    for (float& value : entry.first) value /= static_cast<float>(entry.second);
    centroids.emplace(label, std::move(entry.first));
  }
  return centroids;
}

}  // namespace dellomar
