// The clustering step: the trainable subset, VBx speaker pruning, the k-means correction, the
// final nearest-centroid assignment, centroid sources, and the guards against a bad speaker
// count and non-finite or misshapen embeddings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "diarization/vbx_clustering.hpp"
#include "support/log_capture.hpp"

namespace dellomar {
namespace {

// A raw 4-d embedding with its PLDA projection (10 x the raw values, padded to 128).
SpeakerEmbedding embeddingOf(std::vector<float> raw, int window, int speaker, float ratio = 0.5f) {
  SpeakerEmbedding e;
  e.embedding = raw;
  std::vector<float> plda(128, 0.0f);
  for (std::size_t i = 0; i < raw.size(); ++i) plda[i] = 10 * raw[i];
  e.pldaEmbedding = plda;
  e.activeFrames = std::vector<float>(10, 1.0f);
  e.windowIndex = window;
  e.speakerIndex = speaker;
  e.nonOverlappedFrameRatio = ratio;
  return e;
}

// Two voices: A near [1, 0, 0, 0], B near [0, 1, 0, 0], windows 0 ... 2n-1, alternating.
std::vector<SpeakerEmbedding> twoVoices(int n) {
  std::vector<SpeakerEmbedding> out;
  for (int i = 0; i < n; ++i) {
    const float wobble = 0.01f * static_cast<float>(i % 5);
    out.push_back(embeddingOf({1, wobble, 0.02f, 0}, 2 * i, 0));
    out.push_back(embeddingOf({wobble, 1, 0, 0.02f}, 2 * i + 1, 1));
  }
  return out;
}

// Captures the library's debug lines for a scope.
class DebugLines {
 public:
  DebugLines() : capture_(platform::log::Level::debug) { noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::debug); }
  ~DebugLines() { noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::none); }
  std::vector<std::string> lines() const { return capture_.messages(); }
  bool contains(std::string_view text) const { return capture_.contains(text); }

 private:
  testsupport::LogCapture capture_;
};

TEST(ClusteringStep, EmptyStoreGivesNothingAndLogsNothing) {
  DebugLines log;
  VBxClustering clustering;
  const ClusteringOutcome outcome = clustering.cluster({});
  EXPECT_TRUE(outcome.labels.empty());
  EXPECT_TRUE(outcome.embeddings.empty());
  EXPECT_TRUE(outcome.centroids.empty());
  EXPECT_TRUE(log.lines().empty());
}

TEST(ClusteringStep, AppendOrderDoesNotMatter) {
  const auto voices = twoVoices(6);
  VBxClustering forward;
  VBxClustering backward;
  for (std::size_t i = 0; i < voices.size(); i += 3) {
    forward.append({voices.begin() + static_cast<std::ptrdiff_t>(i), voices.begin() + static_cast<std::ptrdiff_t>(i + 3)});
  }
  for (std::size_t i = voices.size(); i > 0; --i) backward.append({voices[i - 1]});
  const ClusteringOutcome a = forward.cluster({});
  const ClusteringOutcome b = backward.cluster({});
  EXPECT_EQ(a.labels, b.labels);
  EXPECT_EQ(a.centroids, b.centroids);
  EXPECT_EQ(a.embeddings, b.embeddings);
  ASSERT_EQ(a.centroids.size(), 2u);
  for (std::size_t i = 0; i < a.embeddings.size(); ++i) {
    EXPECT_EQ(a.embeddings[i].windowIndex, static_cast<int>(i)) << "sorted by window";
    EXPECT_EQ(a.labels[i], a.embeddings[i].clusterId);
    EXPECT_EQ(a.labels[i], a.labels[i % 2]) << "each voice keeps one speaker";
  }
  EXPECT_NE(a.labels[0], a.labels[1]);
  EXPECT_EQ(forward.speakerEmbeddings(), a.embeddings) << "the store keeps the labelled list";
}

TEST(ClusteringStep, TrainableMeansStrictlyAboveTheRatio) {
  for (const float ratio : {0.2f, 0.2001f}) {
    SCOPED_TRACE(ratio);
    DebugLines log;
    VBxClustering clustering;
    clustering.append({embeddingOf({1, 0, 0, 0}, 0, 0, 0.9f), embeddingOf({0.8f, 0.6f, 0, 0}, 1, 0, ratio)});
    ClusteringParameters parameters;
    parameters.centroidSource = SpeakerCentroidSource::trainableOnly;
    const ClusteringOutcome outcome = clustering.cluster(parameters);
    const bool trainable = ratio > 0.2f;
    EXPECT_TRUE(log.contains(trainable ? "Calling vbx with 2 embeddings" : "Calling vbx with 1 embeddings"));
    ASSERT_EQ(outcome.labels, (std::vector<int>{0, 0}));
    const std::vector<float> expected = trainable ? std::vector<float>{0.9f, 0.3f, 0, 0} : std::vector<float>{1, 0, 0, 0};
    ASSERT_EQ(outcome.centroids.size(), 1u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(outcome.centroids.at(0)[i], expected[i], 1e-6);
  }
}

TEST(ClusteringStep, NoTrainableEmbeddingsGoToClusterZero) {
  DebugLines log;
  VBxClustering clustering;
  clustering.append({embeddingOf({1, 0, 0, 0}, 0, 0, 0.1f), embeddingOf({0, 1, 0, 0}, 1, 0, 0.0f)});
  ClusteringParameters parameters;
  parameters.centroidSource = SpeakerCentroidSource::trainableOnly;
  const ClusteringOutcome outcome = clustering.cluster(parameters);
  EXPECT_EQ(outcome.labels, (std::vector<int>{0, 0}));
  EXPECT_TRUE(outcome.centroids.empty());
  EXPECT_TRUE(log.contains("No trainable embeddings; assigning all to cluster 0"));
}

TEST(ClusteringStep, SpeakerPriorsAtTheFloorAreDropped) {
  const std::vector<float> some{0.5f, 1e-7f, 0.49f, 2e-7f};
  EXPECT_EQ(keptSpeakerColumns(some, 1e-7f), (std::vector<std::size_t>{0, 2, 3}));
  const std::vector<float> none{1e-7f, 0.0f, 1e-9f};
  EXPECT_EQ(keptSpeakerColumns(none, 1e-7f), (std::vector<std::size_t>{0, 1, 2})) << "all stay";
  EXPECT_TRUE(keptSpeakerColumns({}, 1e-7f).empty());
}

TEST(ClusteringStep, KMeansCorrectsTheSpeakerCountOnlyWhenItDiffers) {
  const auto voices = twoVoices(8);
  for (const std::optional<int> requested : std::vector<std::optional<int>>{std::nullopt, 2, 3}) {
    SCOPED_TRACE(requested ? *requested : -1);
    DebugLines log;
    VBxClustering clustering;
    clustering.append(voices);
    ClusteringParameters parameters;
    parameters.numberOfSpeakers = requested;
    const ClusteringOutcome outcome = clustering.cluster(parameters);
    EXPECT_TRUE(log.contains("VBx clustering completed with 2 speakers"));
    const bool corrected = requested == 3;
    EXPECT_EQ(log.contains("K-Means correction: VBx gave 2 speakers, requested 3"), corrected);
    const std::set<int> used(outcome.labels.begin(), outcome.labels.end());
    EXPECT_EQ(used.size(), corrected ? 3u : 2u);
    EXPECT_EQ(outcome.centroids.size(), used.size());
  }
}

TEST(ClusteringStep, SpeakerCountsOutsideTheTrainableRangeAreGuarded) {
  const auto voices = twoVoices(3);  // six trainable embeddings
  for (const int requested : {0, -3}) {
    DebugLines log;
    VBxClustering clustering;
    clustering.append(voices);
    ClusteringParameters parameters;
    parameters.numberOfSpeakers = requested;
    const ClusteringOutcome outcome = clustering.cluster(parameters);
    EXPECT_FALSE(log.contains("K-Means correction")) << requested << " counts as absent";
    EXPECT_EQ(outcome.centroids.size(), 2u);
  }
  VBxClustering clustering;
  clustering.append(voices);
  ClusteringParameters parameters;
  parameters.numberOfSpeakers = 1000000;
  const ClusteringOutcome outcome = clustering.cluster(parameters);
  EXPECT_EQ(outcome.labels.size(), 6u);
  EXPECT_LE(outcome.centroids.size(), 6u) << "no more speakers than trainable embeddings";
  for (const int label : outcome.labels) EXPECT_TRUE(label >= 0 && label < 6);

  // Labels outside [0, k) are skipped; a count below 1 gives nothing.
  const VectorList x{{2, 0}, {0, 2}, {4, 4}};
  const VectorList means = clusterMeans({0, 5, -1}, x, 2);
  EXPECT_EQ(means, (VectorList{{2, 0}, {0, 0}}));
  EXPECT_TRUE(clusterMeans({0, 0}, x, 0).empty());
  EXPECT_TRUE(clusterMeans({0}, x, -2).empty());
}

TEST(ClusteringStep, NonFiniteAndMisshapenEmbeddingsAreLeftOut) {
  auto voices = twoVoices(5);
  SpeakerEmbedding broken = embeddingOf({1, 0, 0, 0}, 3, 1);
  broken.embedding[2] = std::numeric_limits<float>::quiet_NaN();
  (*broken.pldaEmbedding)[2] = std::numeric_limits<float>::quiet_NaN();
  voices.push_back(broken);
  SpeakerEmbedding brokenPlda = embeddingOf({0, 1, 0, 0}, 4, 1);
  (*brokenPlda.pldaEmbedding)[7] = std::numeric_limits<float>::infinity();
  voices.push_back(brokenPlda);
  // The first embedding (window 0) sets the shape: raw width 4, a PLDA projection of 128.
  voices.push_back(embeddingOf({1, 0, 0, 0, 0}, 5, 1));
  SpeakerEmbedding narrowPlda = embeddingOf({0, 1, 0, 0}, 6, 1);
  narrowPlda.pldaEmbedding->resize(64);
  voices.push_back(narrowPlda);
  SpeakerEmbedding noPlda = embeddingOf({0, 1, 0, 0}, 7, 1);
  noPlda.pldaEmbedding.reset();
  voices.push_back(noPlda);
  testsupport::LogCapture capture(platform::log::Level::error);
  noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::error);
  VBxClustering clustering;
  clustering.append(voices);
  const ClusteringOutcome outcome = clustering.cluster({});
  noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::none);
  EXPECT_EQ(outcome.embeddings.size(), 10u);
  EXPECT_EQ(outcome.centroids.size(), 2u) << "one NaN or odd shape must not collapse the speakers into one";
  EXPECT_TRUE(capture.contains("Embedding of window 3, speaker 1 holds a non-finite value"));
  EXPECT_TRUE(capture.contains("Embedding of window 4, speaker 1 holds a non-finite value"));
  EXPECT_TRUE(capture.contains("Embedding of window 5, speaker 1 has 5 values and a projection of 128 where the "
                               "first has 4 values and a projection of 128"));
  EXPECT_TRUE(capture.contains("Embedding of window 6, speaker 1 has 4 values and a projection of 64"));
  EXPECT_TRUE(capture.contains("Embedding of window 7, speaker 1 has 4 values and no projection"));
  for (const SpeakerEmbedding& e : outcome.embeddings) {
    EXPECT_TRUE(std::isfinite(e.embedding[2]));
    EXPECT_EQ(e.embedding.size(), 4u);
  }
}

TEST(ClusteringStep, FinalAssignmentUsesCosineDistanceOnRawVectors) {
  // Zero vectors are at distance 1 from everything: the first centroid wins.
  EXPECT_EQ(assignToNearestCentroid({{0, 0}, {0.1f, 1}, {1, 0.2f}}, {{1, 0}, {0, 1}}), (std::vector<int>{0, 1, 0}));
  EXPECT_TRUE(assignToNearestCentroid({}, {{1, 0}}).empty());
  EXPECT_TRUE(assignToNearestCentroid({{1, 0}}, {}).empty());

  // One trainable embedding: flat [0], one centroid, every embedding assigned to it.
  VBxClustering clustering;
  clustering.append({embeddingOf({1, 0, 0, 0}, 0, 0), embeddingOf({0, 0, 0, 0}, 1, 0, 0.0f),
                     embeddingOf({0, 1, 0, 0}, 2, 0, 0.1f)});
  const ClusteringOutcome outcome = clustering.cluster({});
  EXPECT_EQ(outcome.labels, (std::vector<int>{0, 0, 0}));
}

TEST(ClusteringStep, CentroidHelpers) {
  // Weights beyond the embeddings add to the weight only; a weightless row is zeros.
  const VectorList weighted = weightedCentroids({{1, 1, 2}, {0, 0}}, {{2, 0}, {0, 2}});
  EXPECT_EQ(weighted, (VectorList{{0.5f, 0.5f}, {0, 0}}));
  EXPECT_TRUE(weightedCentroids({}, {{1}}).empty());
  EXPECT_TRUE(weightedCentroids({{1}}, {{}}).empty());

  std::vector<SpeakerEmbedding> e{embeddingOf({2, 0, 0, 0}, 0, 0, 0.5f), embeddingOf({0, 2, 0, 0}, 1, 0, 0.1f),
                                  embeddingOf({4, 2, 0, 0}, 2, 0, 0.5f), embeddingOf({1, 1}, 3, 0, 0.5f),
                                  embeddingOf({9, 9, 9, 9}, 4, 0, 0.5f)};
  const std::vector<int> labels{0, 1, 0, 0, -1};
  const SpeakerCentroids all = speakerCentroids(labels, e, SpeakerCentroidSource::finalAssignment, 0.2f);
  EXPECT_EQ(all, (SpeakerCentroids{{0, {3, 1, 0, 0}}, {1, {0, 2, 0, 0}}}))
      << "the vector of another length and the label -1 are skipped";
  const SpeakerCentroids trainable = speakerCentroids(labels, e, SpeakerCentroidSource::trainableOnly, 0.2f);
  EXPECT_EQ(trainable, (SpeakerCentroids{{0, {3, 1, 0, 0}}})) << "speaker 1 had only a non-trainable embedding";
}

}  // namespace
}  // namespace dellomar
