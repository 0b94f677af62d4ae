// The pyannote diarization pipeline: 16 kHz mono samples in, a DiarizationResult out.
//
//   PyannoteDiarizer       the Diarizer over a model loader, a downloader and one actor;
//   PyannoteDiarizerActor  runs one diarization at a time: loads the models when needed, cuts
//                          the samples into seek clips and, per clip, runs the segmenter and a
//                          pool of embedding workers concurrently over one bounded channel of
//                          segmenter outputs; then clusters the collected embeddings and
//                          aggregates them into the speaker-by-frame matrix;
//   makeDiarizer           a fresh pipeline object over a loader's loaded models (the model-
//                          managed diarizer makes one per call).
//
// The clip loop runs on the calling thread, stopped by the caller's token or by a newer run on
// the same actor; the caller's samples (read in place, never copied) are not touched after
// diarize returns. Results do not depend on worker counts: clustering sorts the embeddings.
//
// Errors: DellomarError::generic for a non-finite sample (naming its index);
// invalidConfiguration for clip timestamps that are not finite, decrease or lie outside the
// audio, and for a non-finite distance threshold or minimum active offset; the models' errors
// unchanged (a segmenter failure, the embedder's models unloaded during the run, or every
// chunk's embedding failing ends the run with that error; a single failing chunk is logged and
// dropped); invalidModelOutput when the embedder's output width changes between chunks;
// generic when the worker threads cannot be started (the task group's ThreadStartError text);
// platform::sync::CancellationError when the caller's token stops, or when another run starts
// on the same actor.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <vector>

#include "core/hub/model_downloader.hpp"
#include "diarization/aggregation.hpp"
#include "diarization/diarization_config.hpp"
#include "diarization/diarization_result.hpp"
#include "diarization/pyannote_model_loader.hpp"
#include "diarization/vbx_clustering.hpp"

namespace dellomar {

struct DiarizerConfig {
  std::shared_ptr<SpeakerSegmenterModel> segmenterModel;
  std::shared_ptr<SpeakerEmbedderModel> embedderModel;
  std::shared_ptr<Clusterer> clusterer;
  // Absent: the pipeline chooses per clip.
  std::optional<int> concurrentEmbedderWorkers;
  std::shared_ptr<const PyannoteModels> models;
};

// A half-open range [start, end) of sample indices.
struct SeekClip {
  std::int64_t start = 0;
  std::int64_t end = 0;
  friend bool operator==(const SeekClip&, const SeekClip&) = default;
};

// The clips of a run: timestamps (seconds) become sample indices (Float arithmetic, rounded
// half away from zero); none give [0, audioLength); an odd count is closed by audioLength;
// consecutive pairs are the clips. Throws DellomarError::invalidConfiguration for a timestamp
// that is not finite, lies outside [0, audioLength] or is below the one before it.
std::vector<SeekClip> seekClips(std::int64_t audioLength, std::span<const float> clipTimestamps);

// The embedding workers of a clip: the configured count clamped to [1, 64]; without one,
// Int(clipSeconds / 30) clamped to [2, 8].
int embedderWorkerCount(std::optional<int> configured, double clipSeconds);

class PyannoteDiarizerActor {
 public:
  using ProgressCallback = Diarizer::ProgressCallback;

  // The config's models and clusterer must not be null.
  explicit PyannoteDiarizerActor(DiarizerConfig config);
  // Cancels a run in flight and waits for its clip loop (which runs on its caller's thread).
  ~PyannoteDiarizerActor();
  PyannoteDiarizerActor(const PyannoteDiarizerActor&) = delete;
  PyannoteDiarizerActor& operator=(const PyannoteDiarizerActor&) = delete;

  const DiarizerConfig& config() const { return config_; }
  // Sample count of the latest run's input.
  std::int64_t audioLength() const;
  // The latest completed run's timings; zero after cancel() and while a run is in flight.
  PyannoteDiarizationTimings timings() const;
  // Milliseconds of the last model load this actor made.
  double modelLoadTime() const;

  // Loads the segmenter and then the embedder when they are not loaded. Throws their errors.
  void loadModels();
  // Stops the run in flight, waits until its clip loop and workers have ended, empties the
  // clusterer and zeroes the timings. Must not be called from a progress callback.
  void cancel();

  // The whole run (see the header comment). `options` may be null or of another type (then:
  // threshold 0.6, exclusive reconciliation, centroids of all embeddings, no clips). The
  // callback receives the run's progress (0 ... 100, never decreasing; 85 when segmentation
  // and embedding end), from any thread and possibly from several at once, never under a lock
  // of the pipeline; it must not call cancel() or diarize() on this actor. Thread-safe: a
  // second call on the same actor cancels the first, which then throws CancellationError.
  DiarizationResult diarize(std::span<const float> audioArray, const DiarizationOptions* options,
                            const ProgressCallback& progressCallback, std::stop_token stopToken = {});

 private:
  struct Run;
  struct RunOptions;
  class RunProgress;

  std::shared_ptr<Run> startSegmentationAndEmbedding(std::span<const float> audioArray, const RunOptions& options,
                                                     std::shared_ptr<RunProgress> progress,
                                                     std::stop_token stopToken);
  DiarizationResult clusterAndAggregate(const std::shared_ptr<Run>& run, const RunOptions& options,
                                        const std::shared_ptr<RunProgress>& progress, std::stop_token stopToken);
  void runClipLoop(Run& run, std::span<const float> audioArray);
  // Stops `previous` (when not null) and waits until its loop has finished.
  static void stopAndWait(const std::shared_ptr<Run>& previous);
  double loadModelsTimed();

  const DiarizerConfig config_;
  mutable std::mutex mutex_;
  std::int64_t audioLength_ = 0;          // guarded by mutex_
  PyannoteDiarizationTimings timings_;    // guarded by mutex_
  double modelLoadTime_ = 0;              // guarded by mutex_
  std::shared_ptr<Run> current_;          // guarded by mutex_: the run in flight
};

class PyannoteDiarizer final : public Diarizer {
 public:
  // None may be null.
  PyannoteDiarizer(std::shared_ptr<PyannoteModelLoader> loader, std::shared_ptr<noxtal::ModelDownloader> downloader,
                   std::shared_ptr<PyannoteDiarizerActor> diarizerActor);

  const std::shared_ptr<PyannoteModelLoader>& loader() const { return loader_; }
  const std::shared_ptr<noxtal::ModelDownloader>& downloader() const { return downloader_; }
  const std::shared_ptr<PyannoteDiarizerActor>& diarizerActor() const { return diarizerActor_; }

  // The configuration's local model folder.
  std::optional<std::filesystem::path> modelFolder() const override;
  // loaded while the loader holds models, else unloaded.
  noxtal::ModelState modelState() const override;
  // Resolves the models through the loader (result dropped).
  void downloadModels(std::stop_token stopToken = {}) override;
  void downloadModels(const ProgressCallback& progressCallback, std::stop_token stopToken = {});
  // Resolves, then loads through the loader.
  void loadModels(std::stop_token stopToken = {}) override;
  void unloadModels() noexcept override;
  DiarizationResult diarize(std::span<const float> audioArray, const DiarizationOptions* options,
                            const ProgressCallback& progressCallback, std::stop_token stopToken = {}) override;

 private:
  std::shared_ptr<PyannoteModelLoader> loader_;
  std::shared_ptr<noxtal::ModelDownloader> downloader_;
  std::shared_ptr<PyannoteDiarizerActor> diarizerActor_;
};

// A new pipeline object over the loader's loaded models, with a new, empty clusterer and the
// configuration's embedder worker count read now. Throws DellomarError::modelUnavailable("Pyannote
// models are not loaded") when the loader holds none. `loader` must not be null.
std::shared_ptr<PyannoteDiarizer> makeDiarizer(const std::shared_ptr<PyannoteModelLoader>& loader);

}  // namespace dellomar
