// The records every part of the diarization library shares: the configurations DellomarConfig
// and PyannoteConfig, the per-call options PyannoteDiarizationOptions with SpeakerCentroidSource,
// the timing record PyannoteDiarizationTimings with its two text forms, the two small interfaces
// these records conform to (DiarizationOptions, DiarizationTimings) and the Diarizer interface of
// a diarization back end.
//
// The configurations are reference types: the library keeps a std::shared_ptr and reads the
// fields at every operation, so a caller that changes a field while an operation runs races
// with it (set them before handing the configuration over). Options and timings are plain
// values. Nothing here throws.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "core/hub/model_info.hpp"
#include "core/logging.hpp"
#include "core/model_state.hpp"
#include "core/progress.hpp"

namespace dellomar {

class DiarizationResult;  // defined with the diarization pipeline

// The options of one diarize call, whatever the back end.
class DiarizationOptions {
 public:
  virtual ~DiarizationOptions() = default;

 protected:
  // No state of its own: records that derive from it compare their own fields.
  bool operator==(const DiarizationOptions&) const = default;
};

// The timing record of one diarize call, whatever the back end.
class DiarizationTimings {
 public:
  virtual ~DiarizationTimings() = default;
  // One-line summary.
  virtual std::string description() const = 0;
  // Multi-line report.
  virtual std::string debugDescription() const = 0;

 protected:
  bool operator==(const DiarizationTimings&) const = default;
};

// A diarization back end driven by the library's main class. Implementations say for each member
// whether it is thread-safe.
class Diarizer {
 public:
  using ProgressCallback = std::function<void(const noxtal::Progress&)>;

  virtual ~Diarizer() = default;
  // Local folder of the models; absent when they come from the hub.
  virtual std::optional<std::filesystem::path> modelFolder() const = 0;
  virtual noxtal::ModelState modelState() const = 0;
  virtual void downloadModels(std::stop_token stopToken = {}) = 0;
  virtual void loadModels(std::stop_token stopToken = {}) = 0;
  virtual void unloadModels() noexcept = 0;
  // Diarizes 16 kHz mono samples. `options` may be null (back-end defaults); `progressCallback`
  // may be empty and may be called from another thread.
  virtual DiarizationResult diarize(std::span<const float> audioArray, const DiarizationOptions* options,
                                    const ProgressCallback& progressCallback, std::stop_token stopToken = {}) = 0;
};

// The download configuration used when a configuration is built without one: repository
// "didezuraz/dellomar-coreml", revision "main", the public hub endpoint, no base folder, token,
// local folder or background session.
noxtal::ModelDownloadConfig defaultDellomarDownloadConfig();

class DellomarConfig {
 public:
  // Stores each argument; an absent `modelDownloadConfig` becomes defaultDellomarDownloadConfig().
  DellomarConfig(std::optional<noxtal::ModelDownloadConfig> modelDownloadConfig, bool download, bool verbose,
                 noxtal::Logging::LogLevel logLevel, bool load, std::shared_ptr<Diarizer> diarizer);
  virtual ~DellomarConfig() = default;
  DellomarConfig(const DellomarConfig&) = delete;
  DellomarConfig& operator=(const DellomarConfig&) = delete;

  // A ready diarizer to use instead of the built-in one.
  std::shared_ptr<Diarizer> diarizer;
  noxtal::ModelDownloadConfig modelDownloadConfig;
  // When false the shared logger is switched off at construction of the main class.
  bool verbose;
  noxtal::Logging::LogLevel logLevel;
  // Download the models at construction; also handed to every later download step.
  bool download;
  // Load the models at construction.
  bool load;
};

// The configuration of the built-in pyannote pipeline.
class PyannoteConfig final : public DellomarConfig {
 public:
  // Same storing rule as DellomarConfig (note the order download, load, verbose).
  PyannoteConfig(std::optional<noxtal::ModelDownloadConfig> modelDownloadConfig, bool download, bool load,
                 bool verbose, noxtal::Logging::LogLevel logLevel, bool fullRedundancy,
                 int concurrentSegmenterWorkers, std::optional<int> concurrentEmbedderWorkers,
                 std::shared_ptr<Diarizer> diarizer);

  // The flat form the worker uses: builds the download configuration from its seven parts.
  struct Flat {
    std::optional<std::string> downloadBase;
    std::string modelRepo;
    std::optional<std::string> modelToken;
    std::optional<std::string> modelFolder;
    bool download;
    bool useBackgroundDownloadSession;
    std::string modelEndpoint;
    std::string downloadRevision;
    bool load;
    bool verbose;
    noxtal::Logging::LogLevel logLevel;
    bool fullRedundancy;
    int concurrentSegmenterWorkers;
    std::optional<int> concurrentEmbedderWorkers;
    std::shared_ptr<Diarizer> diarizer;
  };
  explicit PyannoteConfig(Flat flat);

  // Step of consecutive segmenter chunks: overlapping (true) or back to back.
  bool fullRedundancy;
  int concurrentSegmenterWorkers;
  // Absent leaves the choice to the pipeline.
  std::optional<int> concurrentEmbedderWorkers;
};

enum class SpeakerCentroidSource { finalAssignment, trainableOnly };

struct PyannoteDiarizationOptions final : DiarizationOptions {
  PyannoteDiarizationOptions(std::optional<int> numberOfSpeakers, std::optional<float> minActiveOffset,
                             std::optional<float> clusterDistanceThreshold, std::optional<int> minClusterSize,
                             bool useExclusiveReconciliation, SpeakerCentroidSource centroidSource,
                             std::vector<float> clipTimestamps)
      : numberOfSpeakers(numberOfSpeakers),
        minActiveOffset(minActiveOffset),
        clusterDistanceThreshold(clusterDistanceThreshold),
        minClusterSize(minClusterSize),
        useExclusiveReconciliation(useExclusiveReconciliation),
        centroidSource(centroidSource),
        clipTimestamps(std::move(clipTimestamps)) {}

  std::optional<int> numberOfSpeakers;
  std::optional<float> minActiveOffset;       // seconds
  std::optional<float> clusterDistanceThreshold;  // absent: 0.6
  std::optional<int> minClusterSize;
  bool useExclusiveReconciliation;
  SpeakerCentroidSource centroidSource;
  std::vector<float> clipTimestamps;  // seconds

  bool operator==(const PyannoteDiarizationOptions&) const = default;
};

// Times in milliseconds except pipelineStart (absolute seconds) and inputAudioSeconds.
struct PyannoteDiarizationTimings final : DiarizationTimings {
  double inputAudioSeconds = 0;
  std::int64_t numberOfChunks = 0;
  std::int64_t numberOfEmbeddings = 0;
  std::int64_t numberOfSpeakers = 0;
  std::int64_t numberOfSegmenterWorkers = 0;
  std::int64_t numberOfEmbedderWorkers = 0;
  double pipelineStart = 0;
  double modelLoading = 0;
  double segmenterTime = 0;
  double embedderTime = 0;
  double clusteringTime = 0;
  double fullPipeline = 0;

  // "DiarizationTimings({key: value, ...})" with the keys in this fixed order:
  // input_audio_seconds, num_chunks, num_embeddings, num_speakers, num_segmenter_workers,
  // num_embedder_workers, loading_time, segmenter_time, embedding_time, clustering_time,
  // total_time. Times with three decimals; the audio length in shortest round-trip form.
  std::string description() const override;
  // The "---- Diarization Timings ----" report; both per-chunk averages are 0 without chunks.
  std::string debugDescription() const override;

  bool operator==(const PyannoteDiarizationTimings&) const = default;
};

}  // namespace dellomar
