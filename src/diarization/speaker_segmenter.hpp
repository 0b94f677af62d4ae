// SpeakerSegmenterModel: the speaker-segmentation model wrapper. It cuts a 16 kHz mono
// recording into 30-second chunks (480,000 samples; overlapping by the model's window overlap
// under full redundancy), runs the model on them with several workers and pushes one
// SpeakerSegmenterOutput per chunk, in completion order, into the caller's output channel. The
// embedder reads those outputs; the pipeline asks the wrapper about the window geometry.
//
// Model contract: input "waveform" [480000] float32; outputs "sliding_window_waveform"
// [K, 1, W], "speaker_ids" [K, F, S], "speaker_activity" [K, S] and
// "overlapped_speaker_activity" [K, F]. Under full redundancy a model must have K >= 2 windows
// and an overlap in [0, 480000) that leaves a chunk step of whole seconds; a loaded model that
// does not is refused with DellomarError::invalidModelOutput.
//
// Thread-safety: every member is thread-safe. predict() takes one snapshot of the model, so an
// unload while it runs does not disturb the chunks in flight.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "core/model_state.hpp"
#include "diarization/dellomar_ml_model.hpp"
#include "platform/ml/feature.hpp"
#include "platform/sync/channel.hpp"

namespace dellomar {

inline constexpr int kSegmenterChunkSamples = 480000;
inline constexpr int kDiarizationSampleRate = 16000;

// A provider without features: the placeholder of a failed chunk.
class NoOpMLFeatureProvider final : public platform::ml::FeatureProvider {
 public:
  std::vector<std::string> featureNames() const override { return {}; }
  std::optional<platform::ml::FeatureValue> featureValue(std::string_view) const override { return std::nullopt; }
};

class SpeakerSegmenterInput final : public platform::ml::FeatureProvider {
 public:
  explicit SpeakerSegmenterInput(platform::ml::MultiArray waveform) : waveform_(std::move(waveform)) {}
  std::vector<std::string> featureNames() const override { return {"waveform"}; }
  std::optional<platform::ml::FeatureValue> featureValue(std::string_view name) const override;

 private:
  platform::ml::MultiArray waveform_;
};

// The segmentation of one chunk. A plain value; copies share the provider and arrays, which are
// never written after construction, so copies may be read from several threads.
class SpeakerSegmenterOutput final : public platform::ml::FeatureProvider {
 public:
  // A placeholder: no features, chunk index -1, empty audio, zeros.
  SpeakerSegmenterOutput();
  SpeakerSegmenterOutput(std::shared_ptr<const platform::ml::FeatureProvider> features, int chunkIndex,
                         platform::ml::MultiArray audioChunk, int chunkStride, float waveformLength,
                         float modelSampleRate, float audioSampleRate);

  std::vector<std::string> featureNames() const override { return provider_->featureNames(); }
  std::optional<platform::ml::FeatureValue> featureValue(std::string_view name) const override {
    return provider_->featureValue(name);
  }

  const platform::ml::FeatureProvider& provider() const { return *provider_; }
  int chunkIndex() const { return chunkIndex_; }
  void setChunkIndex(int index) { chunkIndex_ = index; }
  // The padded model input; empty for a failed chunk.
  const platform::ml::MultiArray& audioChunk() const { return audioChunk_; }
  // Whole seconds between the starts of consecutive chunks.
  int chunkStride() const { return chunkStride_; }
  // Seconds of real audio in the chunk.
  float waveformLength() const { return waveformLength_; }
  // Model frames per second.
  float modelSampleRate() const { return modelSampleRate_; }
  float audioSampleRate() const { return audioSampleRate_; }

  // Dimension 0 of "sliding_window_waveform"; absent without it.
  std::optional<std::int64_t> numberOfWindows() const;
  // Dimension 2 of "sliding_window_waveform" / audioSampleRate; 0 without it.
  float windowDuration() const;
  // "[SpeakerSegmenterOutput: chunkIndex=3, features=name: [a, b], ...]".
  std::string debugDescription() const;

 private:
  std::shared_ptr<const platform::ml::FeatureProvider> provider_;
  int chunkIndex_;
  platform::ml::MultiArray audioChunk_;
  int chunkStride_;
  float waveformLength_;
  float modelSampleRate_;
  float audioSampleRate_;
};

class SpeakerSegmenterModel final : public DellomarMLModel {
 public:
  // Logs "[SpeakerSegmenter] initialized with <file name> model" at info level.
  SpeakerSegmenterModel(std::filesystem::path modelURL, platform::ml::ComputeUnits computeUnits,
                        int concurrentWorkers, bool useFullRedundancy);

  int sampleRate() const { return kDiarizationSampleRate; }
  int concurrentWorkers() const { return concurrentWorkers_; }
  bool useFullRedundancy() const { return useFullRedundancy_; }

  // unloaded, loaded or prewarmed.
  noxtal::ModelState modelState() const { return modelState_.load(); }

  // Loads (or only prewarms) the model; see DellomarMLModel::load. Throws DellomarError.
  void loadModel(bool prewarmMode);
  void unloadModel() override;

  // W / 16000; 0 without a model or shape.
  float windowDuration() const;
  // W - (N - W) / (K - 1) in samples; 0 without a model or a known shape.
  int windowOverlap() const;
  // F, dimension 1 of "speaker_ids"; 0 when unknown.
  float framesPerWindow() const;
  // Chunks predict() makes for `sampleCount` samples with padding 0.
  std::int64_t chunkCount(std::int64_t sampleCount) const;

  // Segments `audioArray` into `output`, which is finished on every path (the caller owns it and
  // reads it concurrently). Throws DellomarError::modelUnavailable("Speaker segmenter model is
  // unavailable") without a model, DellomarError::generic (the task group's ThreadStartError
  // text) when its worker threads cannot be started, platform::sync::CancellationError when
  // `stopToken` stops.
  // A chunk whose prediction fails yields a placeholder output with its index.
  void predict(std::span<const float> audioArray, platform::sync::Channel<SpeakerSegmenterOutput>& output,
               int windowPadding = 0, std::stop_token stopToken = {});

 protected:
  void validateLoadedModel(const platform::ml::Model& model) const override;

 private:
  // The folder form of the base is not part of this component's interface.
  using DellomarMLModel::loadModel;
  struct Geometry {
    float windowDuration = 0;
    int windowOverlap = 0;
    float framesPerWindow = 0;
  };
  Geometry geometry(const platform::ml::Model* model) const;

  int concurrentWorkers_;
  bool useFullRedundancy_;
  std::atomic<noxtal::ModelState> modelState_{noxtal::ModelState::unloaded};
};

}  // namespace dellomar
