// The clustering step of the pyannote pipeline: VBxClustering stores the speaker embeddings the
// embedding workers produce during a run and, when asked, gives every embedding a speaker
// (cluster) id and every speaker a centroid embedding.
//
// Recipe: only trainable embeddings (non-overlapped frame ratio above the trainable ratio)
// shape the clusters; agglomerative clustering with centroid linkage, cut at the distance
// threshold, gives the starting partition of VBx over the PLDA-projected embeddings; speakers
// whose prior is not above the floor are dropped; a requested speaker count different from
// VBx's is forced by k-means; finally every embedding goes to the nearest speaker centroid by
// cosine distance. An embedding holding a non-finite value is left out of clustering and of
// the result (with an error line), so one bad window cannot collapse every speaker into one.
//
// Thread-safety: every member of VBxClustering is thread-safe; append, read, reset and
// cluster are serialised (cluster holds the store for its whole computation). The free
// functions are pure.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "diarization/clustering_numerics.hpp"
#include "diarization/diarization_config.hpp"
#include "diarization/speaker_embedder.hpp"

namespace dellomar {

struct ClusteringParameters {
  float threshold = 0.6f;
  float fa = 0.07f;
  float fb = 0.8f;
  float minSpeakerPrior = 1e-7f;
  float trainableRatio = 0.2f;
  int maxIterations = 20;
  float initSmoothing = 7.0f;
  // A count below 1 counts as absent; a count above the trainable embeddings is clamped to it.
  std::optional<int> numberOfSpeakers;
  SpeakerCentroidSource centroidSource = SpeakerCentroidSource::finalAssignment;
};

using SpeakerCentroids = std::map<int, std::vector<float>>;

struct ClusteringOutcome {
  std::vector<int> labels;                   // one per returned embedding, equal to its clusterId
  std::vector<SpeakerEmbedding> embeddings;  // sorted by (windowIndex, speakerIndex)
  SpeakerCentroids centroids;
};

// The embedding store and clustering of a pipeline run.
class Clusterer {
 public:
  virtual ~Clusterer() = default;
  // Adds one chunk's embeddings, in their order, as one step.
  virtual void append(std::vector<SpeakerEmbedding> embeddings) = 0;
  // A copy of the stored list.
  virtual std::vector<SpeakerEmbedding> speakerEmbeddings() const = 0;
  virtual void reset() = 0;
  // Sorts, labels and returns the stored embeddings with the speaker centroids. Never throws
  // for any stored content.
  virtual ClusteringOutcome cluster(const ClusteringParameters& parameters) = 0;
};

class VBxClustering final : public Clusterer {
 public:
  // `threads` is handed to the distance computation of the agglomerative step (1 ... 64); the
  // labels do not depend on it.
  explicit VBxClustering(int threads = 1) : threads_(threads) {}

  void append(std::vector<SpeakerEmbedding> embeddings) override;
  std::vector<SpeakerEmbedding> speakerEmbeddings() const override;
  void reset() override;
  // Empty store: empty outcome, nothing logged. The stored list keeps the labelled (and
  // sorted) embeddings, without those left out (with an error line) for non-finite values or
  // for a shape other than the first's (raw width, projection width or its absence).
  ClusteringOutcome cluster(const ClusteringParameters& parameters) override;

 private:
  const int threads_;
  mutable std::mutex mutex_;
  std::vector<SpeakerEmbedding> speakerEmbeddings_;  // guarded by mutex_
};

struct ClusterAssignment {
  std::vector<int> labels;  // one per embedding
  SpeakerCentroids centroids;
};

// The whole assignment over embeddings already sorted (see the header comment), all of one
// shape (cluster() leaves out the others; a caller that does not is a programming error).
ClusterAssignment assignClusters(const std::vector<SpeakerEmbedding>& embeddings,
                                 const ClusteringParameters& parameters, int threads = 1);
// The speaker columns VBx keeps: those whose prior is above `minSpeakerPrior`, ascending; all
// columns when none is.
std::vector<std::size_t> keptSpeakerColumns(std::span<const float> priors, float minSpeakerPrior);
// Responsibility-weighted means of `embeddings`, one per row of `responsibilities`; d zeros for
// a row without weight. Empty when either is empty or the first embedding is empty.
VectorList weightedCentroids(const VectorList& responsibilities, const VectorList& embeddings);
// Per-cluster means over the first min(labels, embeddings) entries; a label outside [0,
// clusterCount) is skipped; a cluster without members is d zeros. Empty for no embeddings,
// an empty first embedding or clusterCount < 1.
VectorList clusterMeans(const std::vector<int>& labels, const VectorList& embeddings, int clusterCount);
// The centroid with the smallest cosine distance for each vector (lowest index on ties).
std::vector<int> assignToNearestCentroid(const VectorList& vectors, const VectorList& centroids);
// Mean embedding per label >= 0, over all embeddings (finalAssignment) or the trainable ones
// (trainableOnly); empty vectors and vectors of another length than the label's first are
// skipped.
SpeakerCentroids speakerCentroids(const std::vector<int>& labels, const std::vector<SpeakerEmbedding>& embeddings,
                                  SpeakerCentroidSource source, float trainableRatio);

}  // namespace dellomar
