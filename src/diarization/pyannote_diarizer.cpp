#include "diarization/pyannote_diarizer.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "core/logging.hpp"
#include "core/progress.hpp"
#include "diarization/dellomar_error.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sync/channel.hpp"
#include "platform/sync/task_group.hpp"
#include "platform/sys/checked_cast.hpp"

namespace dellomar {

namespace {

using Clock = std::chrono::steady_clock;
using platform::sync::CancellationError;

constexpr int kMaximumEmbedderWorkers = 64;
// Seconds between the Unix epoch and 2001-01-01, the origin of the absolute clock.
constexpr double kAbsoluteTimeOffset = 978307200.0;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double absoluteNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
         kAbsoluteTimeOffset;
}

std::string floatText(double value) { return noxtal::floatingText(value); }

std::string describe(const std::exception& error) {
  if (const auto* dellomar = dynamic_cast<const DellomarError*>(&error)) return dellomar->errorDescription();
  return error.what();
}

int clusteringThreads() {
  const unsigned cores = std::thread::hardware_concurrency();
  return static_cast<int>(std::clamp(cores, 1u, 8u));
}

// The per-clip tallies the concurrent embedding workers update, one step at a time.
class EmbeddingBatchCounter {
 public:
  // Records one handled segmenter output; returns the new count.
  std::int64_t record(double embedderMilliseconds, bool succeeded, std::exception_ptr failure) {
    const std::lock_guard lock(mutex_);
    ++count_;
    embedderTime_ += embedderMilliseconds;
    if (succeeded) ++successes_;
    if (failure && !firstFailure_) firstFailure_ = std::move(failure);
    return count_;
  }
  void addSegmenterTime(double milliseconds) {
    const std::lock_guard lock(mutex_);
    segmenterTime_ += milliseconds;
  }
  struct Totals {
    std::int64_t count = 0;
    std::int64_t successes = 0;
    double embedderTime = 0;
    double segmenterTime = 0;
    std::exception_ptr firstFailure;
  };
  Totals totals() const {
    const std::lock_guard lock(mutex_);
    return {count_, successes_, embedderTime_, segmenterTime_, firstFailure_};
  }

 private:
  mutable std::mutex mutex_;
  std::int64_t count_ = 0;         // guarded by mutex_
  std::int64_t successes_ = 0;     // guarded by mutex_
  double embedderTime_ = 0;        // guarded by mutex_
  double segmenterTime_ = 0;       // guarded by mutex_
  std::exception_ptr firstFailure_;  // guarded by mutex_
};

// The width of a run's embeddings: that of the first chunk that gave any. Clustering measures
// every embedding against every other, so a chunk of another width (an embedder whose output
// width changes) ends the run instead of being dropped, which would make the result depend on
// which chunk came first.
class RunEmbeddingWidth {
 public:
  // Throws DellomarError::invalidModelOutput when `embeddings` differ in width from earlier
  // chunks' embeddings.
  void check(const std::vector<SpeakerEmbedding>& embeddings) {
    if (embeddings.empty()) return;
    const std::size_t width = embeddings.front().embedding.size();
    std::size_t expected = kUnknown;
    if (width_.compare_exchange_strong(expected, width) || expected == width) return;
    throw DellomarError::invalidModelOutput("Embedder output speaker_embeddings has width " + std::to_string(width) +
                                            ", expected " + std::to_string(expected) + " as in the chunks before it");
  }

 private:
  static constexpr std::size_t kUnknown = static_cast<std::size_t>(-1);
  std::atomic<std::size_t> width_{kUnknown};
};

// A progress of 100 units that is only ever raised. The raise is one step under the lock; the
// callback runs after the lock is released.
class MonotonicProgress {
 public:
  explicit MonotonicProgress(std::function<void(const noxtal::Progress&)> callback)
      : progress_(noxtal::Progress::make(100)), callback_(std::move(callback)) {}

  void raise(std::int64_t target) {
    {
      const std::lock_guard lock(mutex_);
      if (progress_->completedUnitCount() >= target) return;
      progress_->setCompletedUnitCount(target);
    }
    if (callback_) callback_(*progress_);
  }
  std::int64_t completed() const { return progress_->completedUnitCount(); }
  const noxtal::Progress& progress() const { return *progress_; }

 private:
  std::mutex mutex_;
  std::shared_ptr<noxtal::Progress> progress_;
  std::function<void(const noxtal::Progress&)> callback_;
};

}  // namespace

// The caller's view of a run: 0-85 for segmentation and embedding, 85-100 for clustering and
// aggregation.
class PyannoteDiarizerActor::RunProgress {
 public:
  explicit RunProgress(ProgressCallback callback) : callback_(callback), run_(std::move(callback)) {}
  // The first report, of the untouched progress.
  void start() const { callback_(run_.progress()); }
  void segmentation(const noxtal::Progress& phase) {
    run_.raise(platform::sys::checkedIntegerCast<std::int64_t>(phase.fractionCompleted() * 85).value_or(0));
  }
  void clustering(const noxtal::Progress& phase) {
    run_.raise(platform::sys::checkedIntegerCast<std::int64_t>(phase.fractionCompleted() * 15).value_or(0) + 85);
  }

 private:
  ProgressCallback callback_;
  MonotonicProgress run_;
};

struct PyannoteDiarizerActor::RunOptions {
  std::optional<int> numberOfSpeakers;
  std::optional<float> minActiveOffset;
  std::optional<float> clusterDistanceThreshold;
  bool useExclusiveReconciliation = true;
  SpeakerCentroidSource centroidSource = SpeakerCentroidSource::finalAssignment;
  std::vector<float> clipTimestamps;
};

struct PyannoteDiarizerActor::Run {
  // Set before the loop starts, read by it.
  std::vector<SeekClip> clips;
  double totalSeconds = 0;
  WindowGeometry geometry;
  std::shared_ptr<RunProgress> progress;  // null without a callback
  // Written before the loop starts and by the loop; read by others after `finished`.
  PyannoteDiarizationTimings timings;
  std::stop_source stop;

  void finish(std::exception_ptr failure) {
    {
      const std::lock_guard lock(mutex);
      error = std::move(failure);
      finished = true;
    }
    done.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex);
    done.wait(lock, [this] { return finished; });
  }
  std::exception_ptr failure() {
    const std::lock_guard lock(mutex);
    return error;
  }

  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;     // guarded by mutex
  std::exception_ptr error;  // guarded by mutex
  std::optional<std::stop_callback<std::function<void()>>> callerLink;
};

std::vector<SeekClip> seekClips(std::int64_t audioLength, std::span<const float> clipTimestamps) {
  std::vector<std::int64_t> points;
  points.reserve(clipTimestamps.size() + 1);
  const double audioSeconds = static_cast<double>(audioLength) / kDiarizationSampleRate;
  for (std::size_t i = 0; i < clipTimestamps.size(); ++i) {
    const float t = clipTimestamps[i];
    const std::string where = "Clip timestamp " + floatText(t) + " s (index " + std::to_string(i) + ")";
    if (!std::isfinite(t)) throw DellomarError::invalidConfiguration(where + " is not finite");
    const std::optional<std::int64_t> sample =
        platform::sys::checkedIntegerCast<std::int64_t>(std::round(t * static_cast<float>(kDiarizationSampleRate)));
    if (!sample || *sample < 0 || *sample > audioLength) {
      throw DellomarError::invalidConfiguration(where + " lies outside the audio of " + floatText(audioSeconds) +
                                                " s");
    }
    if (!points.empty() && *sample < points.back()) {
      throw DellomarError::invalidConfiguration(where + " is before the timestamp preceding it");
    }
    points.push_back(*sample);
  }
  if (points.empty()) points.push_back(0);
  if (points.size() % 2 == 1) points.push_back(audioLength);
  std::vector<SeekClip> clips;
  for (std::size_t i = 0; i + 1 < points.size(); i += 2) clips.push_back({points[i], points[i + 1]});
  return clips;
}

int embedderWorkerCount(std::optional<int> configured, double clipSeconds) {
  // A configured count of 0 or less would start no worker and lose every embedding.
  if (configured) return std::clamp(*configured, 1, kMaximumEmbedderWorkers);
  const int byLength = platform::sys::checkedIntegerCast<int>(clipSeconds / 30).value_or(8);
  return std::clamp(byLength, 2, 8);
}

PyannoteDiarizerActor::PyannoteDiarizerActor(DiarizerConfig config) : config_(std::move(config)) {
  platform::log::requireThat(config_.segmenterModel && config_.embedderModel && config_.clusterer,
                             "a diarizer actor needs its models and clusterer");
}

PyannoteDiarizerActor::~PyannoteDiarizerActor() {
  std::shared_ptr<Run> previous;
  {
    const std::lock_guard lock(mutex_);
    previous = std::exchange(current_, nullptr);
  }
  stopAndWait(previous);
}

std::int64_t PyannoteDiarizerActor::audioLength() const {
  const std::lock_guard lock(mutex_);
  return audioLength_;
}

PyannoteDiarizationTimings PyannoteDiarizerActor::timings() const {
  const std::lock_guard lock(mutex_);
  return timings_;
}

double PyannoteDiarizerActor::modelLoadTime() const {
  const std::lock_guard lock(mutex_);
  return modelLoadTime_;
}

void PyannoteDiarizerActor::loadModels() { (void)loadModelsTimed(); }

double PyannoteDiarizerActor::loadModelsTimed() {
  SpeakerSegmenterModel& segmenter = *config_.segmenterModel;
  SpeakerEmbedderModel& embedder = *config_.embedderModel;
  if (segmenter.modelState() == noxtal::ModelState::loaded && embedder.modelState() == noxtal::ModelState::loaded) {
    return modelLoadTime();
  }
  const Clock::time_point t0 = Clock::now();
  if (segmenter.modelState() != noxtal::ModelState::loaded) segmenter.loadModel(false);
  if (embedder.modelState() != noxtal::ModelState::loaded) embedder.loadModel(false);
  const double elapsed = millisecondsSince(t0);
  const std::lock_guard lock(mutex_);
  modelLoadTime_ = elapsed;
  return elapsed;
}

void PyannoteDiarizerActor::stopAndWait(const std::shared_ptr<Run>& previous) {
  if (!previous) return;
  previous->stop.request_stop();
  previous->wait();
}

void PyannoteDiarizerActor::cancel() {
  std::shared_ptr<Run> previous;
  {
    const std::lock_guard lock(mutex_);
    previous = std::exchange(current_, nullptr);
  }
  // The previous run's workers must have stopped appending before the store is emptied.
  stopAndWait(previous);
  config_.clusterer->reset();
  const std::lock_guard lock(mutex_);
  timings_ = PyannoteDiarizationTimings();
}

DiarizationResult PyannoteDiarizerActor::diarize(std::span<const float> audioArray, const DiarizationOptions* options,
                                                 const ProgressCallback& progressCallback, std::stop_token stopToken) {
  RunOptions resolved;
  if (const auto* pyannote = dynamic_cast<const PyannoteDiarizationOptions*>(options)) {
    resolved.numberOfSpeakers = pyannote->numberOfSpeakers;
    resolved.minActiveOffset = pyannote->minActiveOffset;
    resolved.clusterDistanceThreshold = pyannote->clusterDistanceThreshold;
    resolved.useExclusiveReconciliation = pyannote->useExclusiveReconciliation;
    resolved.centroidSource = pyannote->centroidSource;
    resolved.clipTimestamps = pyannote->clipTimestamps;
  }
  if (resolved.clusterDistanceThreshold && !std::isfinite(*resolved.clusterDistanceThreshold)) {
    throw DellomarError::invalidConfiguration("Cluster distance threshold must be finite, got " +
                                              floatText(*resolved.clusterDistanceThreshold));
  }
  if (resolved.minActiveOffset && !std::isfinite(*resolved.minActiveOffset)) {
    throw DellomarError::invalidConfiguration("Minimum active offset must be finite, got " +
                                              floatText(*resolved.minActiveOffset));
  }
  for (std::size_t i = 0; i < audioArray.size(); ++i) {
    if (!std::isfinite(audioArray[i])) [[unlikely]] {
      throw DellomarError::generic("Audio sample at index " + std::to_string(i) + " is not finite (" +
                                   floatText(audioArray[i]) + ")");
    }
  }

  std::shared_ptr<RunProgress> progress;
  if (progressCallback) {
    progress = std::make_shared<RunProgress>(progressCallback);
    progress->start();
  }
  const std::shared_ptr<Run> run = startSegmentationAndEmbedding(audioArray, resolved, progress, stopToken);
  // The loop runs here: this thread would only wait for it. A thread of its own would be one
  // more start that can fail.
  std::exception_ptr failure;
  try {
    runClipLoop(*run, audioArray);
  } catch (...) {
    failure = std::current_exception();
  }
  run->finish(std::move(failure));
  DiarizationResult result = clusterAndAggregate(run, resolved, progress, stopToken);
  if (resolved.minActiveOffset) result.updateSegments(*resolved.minActiveOffset);
  return result;
}

std::shared_ptr<PyannoteDiarizerActor::Run> PyannoteDiarizerActor::startSegmentationAndEmbedding(
    std::span<const float> audioArray, const RunOptions& options, std::shared_ptr<RunProgress> progress,
    std::stop_token stopToken) {
  const auto sampleCount = static_cast<std::int64_t>(audioArray.size());
  std::vector<SeekClip> clips = seekClips(sampleCount, options.clipTimestamps);

  auto run = std::make_shared<Run>();
  run->callerLink.emplace(stopToken, [stop = run->stop]() mutable { stop.request_stop(); });
  std::shared_ptr<Run> previous;
  {
    const std::lock_guard lock(mutex_);
    previous = std::exchange(current_, run);
  }
  // A second run on this actor ends the first before it resets what they share.
  stopAndWait(previous);
  config_.clusterer->reset();
  {
    const std::lock_guard lock(mutex_);
    timings_ = PyannoteDiarizationTimings();
    audioLength_ = sampleCount;
  }
  const auto abandon = [&](std::exception_ptr error) {
    run->finish(error);
    const std::lock_guard lock(mutex_);
    if (current_ == run) current_.reset();
  };
  try {
    platform::sync::throwIfStopped(run->stop.get_token());
    run->timings.pipelineStart = absoluteNow();
    run->timings.modelLoading = loadModelsTimed();
  } catch (...) {
    abandon(std::current_exception());
    throw;
  }

  std::string clipText = "[";
  for (std::size_t i = 0; i < clips.size(); ++i) {
    if (i > 0) clipText += ", ";
    clipText += "(" + std::to_string(clips[i].start) + ", " + std::to_string(clips[i].end) + ")";
  }
  noxtal::Logging::debug("[PyannoteDiarizer] audioArray: " + std::to_string(sampleCount) + ", seekClips: " +
                         clipText + "]");
  double totalSeconds = 0;
  for (const SeekClip& clip : clips) totalSeconds += static_cast<double>(clip.end - clip.start) / kDiarizationSampleRate;
  run->clips = std::move(clips);
  run->totalSeconds = totalSeconds;
  run->timings.numberOfSegmenterWorkers = config_.segmenterModel->concurrentWorkers();
  // The grid of the result is fixed now: an unload during the run cannot change it.
  run->geometry = windowGeometry(*config_.segmenterModel, sampleCount);
  run->progress = std::move(progress);
  return run;
}

void PyannoteDiarizerActor::runClipLoop(Run& run, std::span<const float> audioArray) {
  const std::stop_token stopToken = run.stop.get_token();
  SpeakerSegmenterModel& segmenter = *config_.segmenterModel;
  const SpeakerEmbedderModel& embedder = *config_.embedderModel;
  Clusterer& clusterer = *config_.clusterer;
  MonotonicProgress phase(run.progress ? std::function<void(const noxtal::Progress&)>(
                                             [progress = run.progress](const noxtal::Progress& p) {
                                               progress->segmentation(p);
                                             })
                                       : nullptr);
  double processedSeconds = 0;
  std::int64_t successes = 0;
  std::exception_ptr firstFailure;
  RunEmbeddingWidth embeddingWidth;

  for (const SeekClip& clip : run.clips) {
    platform::sync::throwIfStopped(stopToken);
    const std::span<const float> clipAudio =
        audioArray.subspan(static_cast<std::size_t>(clip.start), static_cast<std::size_t>(clip.end - clip.start));
    const double clipSeconds = static_cast<double>(clipAudio.size()) / kDiarizationSampleRate;
    run.timings.inputAudioSeconds += clipSeconds;
    const std::int64_t chunks = std::max<std::int64_t>(segmenter.chunkCount(static_cast<std::int64_t>(clipAudio.size())), 1);
    const int workers = embedderWorkerCount(config_.concurrentEmbedderWorkers, clipSeconds);
    run.timings.numberOfEmbedderWorkers = workers;
    // Window indexes are seconds from the clip's start; the result's grid counts from the
    // start of the audio.
    const int clipOffset =
        platform::sys::checkedIntegerCast<int>(std::round(static_cast<double>(clip.start) / kDiarizationSampleRate))
            .value_or(0);
    const int segmenterThreads = std::clamp(segmenter.concurrentWorkers(), 1, 64);
    // Each output holds a chunk's arrays: a bounded channel keeps memory flat on long inputs.
    platform::sync::Channel<SpeakerSegmenterOutput> outputs(static_cast<std::size_t>(workers + segmenterThreads));
    EmbeddingBatchCounter counter;
    const double totalSeconds = run.totalSeconds;

    const auto embeddingWorker = [&](std::stop_token token) {
      for (;;) {
        std::optional<SpeakerSegmenterOutput> output;
        try {
          output = outputs.pop(token);
        } catch (...) {
          return;  // stopped, or the segmenter's failure, which the segmenter reports
        }
        if (!output || token.stop_requested()) return;
        const Clock::time_point t0 = Clock::now();
        bool succeeded = false;
        std::exception_ptr failure;
        std::vector<SpeakerEmbedding> embeddings;
        try {
          embeddings = embedder.embed(*output, token);
          succeeded = true;
        } catch (const CancellationError&) {
          return;
        } catch (const DellomarError& error) {
          // Models unloaded under the run: every later chunk would fail the same way.
          if (error.errorCase() == DellomarError::Case::modelUnavailable) throw;
          noxtal::Logging::error("[PyannoteDiarizer] Error processing embeddings: " + error.errorDescription());
          failure = std::current_exception();
        } catch (const std::exception& error) {
          noxtal::Logging::error("[PyannoteDiarizer] Error processing embeddings: " + describe(error));
          failure = std::current_exception();
        }
        if (succeeded) {
          embeddingWidth.check(embeddings);  // a mismatch ends the run
          for (SpeakerEmbedding& e : embeddings) e.windowIndex += clipOffset;
          clusterer.append(std::move(embeddings));
        }
        const std::int64_t done = counter.record(millisecondsSince(t0), succeeded, std::move(failure));
        double f = processedSeconds + static_cast<double>(done) * clipSeconds / static_cast<double>(chunks);
        if (totalSeconds > 1) f /= totalSeconds;
        const double value = f <= 0 ? 0.0 : std::min(f, 0.99) * 100;
        phase.raise(platform::sys::checkedIntegerCast<std::int64_t>(value).value_or(0));
      }
    };

    try {
      platform::sync::runConcurrently(
          static_cast<std::size_t>(workers) + 1, static_cast<std::size_t>(workers) + 1,
          [&](std::size_t index, std::stop_token token) {
            if (index == 0) {
              const Clock::time_point t0 = Clock::now();
              segmenter.predict(clipAudio, outputs, 0, token);
              counter.addSegmenterTime(millisecondsSince(t0));
              return;
            }
            embeddingWorker(token);
          },
          stopToken);
    } catch (const platform::sync::ThreadStartError& error) {
      throw DellomarError::generic(error.what());
    }

    const EmbeddingBatchCounter::Totals totals = counter.totals();
    run.timings.segmenterTime += totals.segmenterTime;
    run.timings.embedderTime += totals.embedderTime;
    run.timings.numberOfChunks += totals.count;
    successes += totals.successes;
    if (!firstFailure) firstFailure = totals.firstFailure;
    processedSeconds += clipSeconds;
  }
  platform::sync::throwIfStopped(stopToken);
  // Chunks were segmented but none gave embeddings: an empty result would hide the failure.
  if (run.timings.numberOfChunks > 0 && successes == 0 && firstFailure) std::rethrow_exception(firstFailure);
  if (phase.completed() <= 99) phase.raise(100);
}

DiarizationResult PyannoteDiarizerActor::clusterAndAggregate(const std::shared_ptr<Run>& run,
                                                             const RunOptions& options,
                                                             const std::shared_ptr<RunProgress>& progress,
                                                             std::stop_token stopToken) {
  run->wait();
  {
    const std::lock_guard lock(mutex_);
    if (current_ == run) current_.reset();
  }
  if (const std::exception_ptr failure = run->failure()) std::rethrow_exception(failure);
  // Stopped by the caller or by a newer run, which owns the clusterer's store from now on.
  const auto stopped = [&] { return run->stop.stop_requested() || stopToken.stop_requested(); };
  if (stopped()) throw CancellationError();

  MonotonicProgress phase(progress ? std::function<void(const noxtal::Progress&)>(
                                         [progress](const noxtal::Progress& p) { progress->clustering(p); })
                                   : nullptr);
  if (progress) progress->clustering(phase.progress());
  phase.raise(50);

  ClusteringParameters parameters;
  parameters.threshold = options.clusterDistanceThreshold.value_or(0.6f);
  parameters.numberOfSpeakers = options.numberOfSpeakers;
  parameters.centroidSource = options.centroidSource;
  PyannoteDiarizationTimings& timings = run->timings;
  const Clock::time_point t0 = Clock::now();
  ClusteringOutcome outcome = config_.clusterer->cluster(parameters);
  if (stopped()) throw CancellationError();
  timings.numberOfEmbeddings = static_cast<std::int64_t>(outcome.embeddings.size());
  timings.clusteringTime = millisecondsSince(t0);
  phase.raise(80);

  DiarizationResult result =
      aggregate(outcome.embeddings, std::move(outcome.centroids), run->geometry, options.useExclusiveReconciliation);
  timings.numberOfSpeakers = result.speakerCount;
  timings.fullPipeline = (absoluteNow() - timings.pipelineStart) * 1000;
  noxtal::Logging::debug(timings.debugDescription());
  result.timings = std::make_shared<const PyannoteDiarizationTimings>(timings);
  {
    const std::lock_guard lock(mutex_);
    if (!current_) timings_ = timings;
  }
  phase.raise(100);
  return result;
}

PyannoteDiarizer::PyannoteDiarizer(std::shared_ptr<PyannoteModelLoader> loader,
                                   std::shared_ptr<noxtal::ModelDownloader> downloader,
                                   std::shared_ptr<PyannoteDiarizerActor> diarizerActor)
    : loader_(std::move(loader)), downloader_(std::move(downloader)), diarizerActor_(std::move(diarizerActor)) {
  platform::log::requireThat(loader_ && downloader_ && diarizerActor_, "a pyannote diarizer needs all three parts");
}

std::optional<std::filesystem::path> PyannoteDiarizer::modelFolder() const {
  const std::optional<std::string> folder = loader_->modelFolder();
  if (!folder) return std::nullopt;
  return std::filesystem::path(*folder);
}

noxtal::ModelState PyannoteDiarizer::modelState() const {
  return loader_->models() ? noxtal::ModelState::loaded : noxtal::ModelState::unloaded;
}

void PyannoteDiarizer::downloadModels(std::stop_token stopToken) { downloadModels(nullptr, stopToken); }

void PyannoteDiarizer::downloadModels(const ProgressCallback& progressCallback, std::stop_token stopToken) {
  (void)loader_->resolveModels(*downloader_, progressCallback, stopToken);
}

void PyannoteDiarizer::loadModels(std::stop_token stopToken) {
  const std::string path = loader_->resolveModels(*downloader_, nullptr, stopToken);
  loader_->load(path, false, stopToken);
}

void PyannoteDiarizer::unloadModels() noexcept { loader_->unload(); }

DiarizationResult PyannoteDiarizer::diarize(std::span<const float> audioArray, const DiarizationOptions* options,
                                            const ProgressCallback& progressCallback, std::stop_token stopToken) {
  return diarizerActor_->diarize(audioArray, options, progressCallback, stopToken);
}

std::shared_ptr<PyannoteDiarizer> makeDiarizer(const std::shared_ptr<PyannoteModelLoader>& loader) {
  const std::shared_ptr<const PyannoteModels> models = loader->models();
  if (!models) throw DellomarError::modelUnavailable("Pyannote models are not loaded");
  DiarizerConfig config{models->segmenter, models->embedder, std::make_shared<VBxClustering>(clusteringThreads()),
                        loader->pyannoteConfig()->concurrentEmbedderWorkers, models};
  auto downloader = std::make_shared<noxtal::ModelDownloader>(loader->pyannoteConfig()->modelDownloadConfig);
  return std::make_shared<PyannoteDiarizer>(loader, std::move(downloader),
                                            std::make_shared<PyannoteDiarizerActor>(std::move(config)));
}

}  // namespace dellomar
