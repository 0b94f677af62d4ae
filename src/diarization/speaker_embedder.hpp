// SpeakerEmbedderModel: turns one segmented 30-second chunk into speaker embeddings, one per
// (window, local speaker) pair that the segmenter found active, by a fixed chain of three
// models run once per chunk:
//   pre-embedder ("SpeakerEmbedderPreprocessor"): "waveforms" [1, n] -> "preprocessor_output_1";
//   embedder ("SpeakerEmbedder"): "preprocessor_output_1" + float16 "speaker_masks" [1, V, Fc]
//     -> "speaker_embeddings" [1, V, D], mask rows window-major (row = window x S + speaker);
//   optional PLDA projector ("PldaProjector"): "embeddings" -> "plda_embeddings" [1, V, 128].
// The pipeline's embedder workers call embed() concurrently on one instance; the loader loads
// and unloads it. Every member is thread-safe: each model handle is read whole under its lock
// at every use, so an unload while a chunk is in flight fails that chunk with the model's
// not-loaded error instead of disturbing it.
#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/model_state.hpp"
#include "diarization/dellomar_ml_model.hpp"
#include "diarization/speaker_segmenter.hpp"

namespace dellomar {

// One speaker's embedding in one sliding window.
struct SpeakerEmbedding {
  std::vector<float> embedding;
  std::optional<std::vector<float>> pldaEmbedding;  // absent without a PLDA projector
  std::vector<float> activeFrames;                  // the window's per-frame activity of the speaker
  int windowIndex = 0;                              // global position in whole seconds
  int speakerIndex = 0;                             // local speaker within the window
  int clusterId = -1;                               // assigned by clustering
  float nonOverlappedFrameRatio = 0;                // share of frames active without overlap

  bool operator==(const SpeakerEmbedding&) const = default;
};

class SpeakerEmbedderPreprocessorInput final : public platform::ml::FeatureProvider {
 public:
  explicit SpeakerEmbedderPreprocessorInput(platform::ml::MultiArray waveforms) : waveforms_(std::move(waveforms)) {}
  std::vector<std::string> featureNames() const override { return {"waveforms"}; }
  std::optional<platform::ml::FeatureValue> featureValue(std::string_view name) const override;

 private:
  platform::ml::MultiArray waveforms_;
};

class SpeakerEmbedderInput final : public platform::ml::FeatureProvider {
 public:
  SpeakerEmbedderInput(platform::ml::MultiArray speakerMasks, platform::ml::MultiArray preprocessorOutput)
      : speakerMasks_(std::move(speakerMasks)), preprocessorOutput_(std::move(preprocessorOutput)) {}
  std::vector<std::string> featureNames() const override { return {"speaker_masks", "preprocessor_output_1"}; }
  std::optional<platform::ml::FeatureValue> featureValue(std::string_view name) const override;
  // "[Dellomar.SpeakerEmbedderInput: features=speaker_masks: [1, 42, 300], preprocessor_output_1: [...]]".
  std::string debugDescription() const;

 private:
  platform::ml::MultiArray speakerMasks_;
  platform::ml::MultiArray preprocessorOutput_;
};

class SpeakerPLDAEmbedderInput final : public platform::ml::FeatureProvider {
 public:
  explicit SpeakerPLDAEmbedderInput(platform::ml::MultiArray embedderOutput)
      : embedderOutput_(std::move(embedderOutput)) {}
  std::vector<std::string> featureNames() const override { return {"embeddings"}; }
  std::optional<platform::ml::FeatureValue> featureValue(std::string_view name) const override;
  // "[Dellomar.SpeakerPLDAEmbedderInput: features=embeddings: [1, 42, 32]]".
  std::string debugDescription() const;

 private:
  platform::ml::MultiArray embedderOutput_;
};

class SpeakerPreEmbedderModel final : public DellomarMLModel {
 public:
  SpeakerPreEmbedderModel(std::filesystem::path modelURL, platform::ml::ComputeUnits computeUnits);
  // Runs the model; throws DellomarError (not loaded, missing "preprocessor_output_1", runtime).
  platform::ml::MultiArray run(const platform::ml::MultiArray& waveforms, std::stop_token stopToken) const;
};

class PLDAEmbedderModel final : public DellomarMLModel {
 public:
  PLDAEmbedderModel(std::filesystem::path modelURL, platform::ml::ComputeUnits computeUnits);
  // Runs the model; the "plda_embeddings" array, or absent when the output lacks it.
  std::optional<platform::ml::MultiArray> run(const platform::ml::MultiArray& embeddings,
                                              std::stop_token stopToken) const;
};

class SpeakerEmbedderModel final : public DellomarMLModel {
 public:
  // `pldaModel` may be null: the chain then ends at the embedder.
  SpeakerEmbedderModel(std::filesystem::path modelURL, platform::ml::ComputeUnits computeUnits,
                       std::unique_ptr<SpeakerPreEmbedderModel> preprocessorModel,
                       std::unique_ptr<PLDAEmbedderModel> pldaModel);

  const SpeakerPreEmbedderModel& preprocessorModel() const { return *preprocessorModel_; }
  const PLDAEmbedderModel* pldaModel() const { return pldaModel_.get(); }
  // unloaded, loaded or prewarmed.
  noxtal::ModelState modelState() const { return modelState_.load(); }

  // Loads the PLDA projector (when present), the pre-embedder and the embedder in that order;
  // in prewarm mode each is loaded once and dropped. A failure propagates at once
  // (DellomarError::modelUnavailable), leaving the models loaded before it and the state as
  // they were.
  void loadModel(bool prewarmMode);
  // Drops all three models; state unloaded.
  void unloadModel() override;

  // Dimension 1 of the pre-embedder's declared "waveforms"; 0 (after an error line) when unknown.
  int expectedWaveformSize() const;
  // Dimension 1 of the embedder's declared "speaker_masks"; 0 (after an error line) when unknown.
  int speakerMaskRowCount() const;

  // Embeds one chunk: records ordered by window, then local speaker. Throws DellomarError:
  // modelUnavailable without models; invalidModelOutput for missing or inconsistent segmenter
  // arrays, a sliding window not shorter than the pre-embedder's waveform, mask rows V other
  // than windows x S, window frames outside the chunk's frames, fewer embedding rows than V,
  // PLDA projections other than V rows of kPldaDimension, and for a runtime prediction error.
  // Holds nothing between chunks: that every chunk's embeddings have one width is the caller's
  // check. Thread-safe; calls run concurrently.
  std::vector<SpeakerEmbedding> embed(const SpeakerSegmenterOutput& segmenterOutput,
                                      std::stop_token stopToken = {}) const;

 private:
  // The folder form of the base is not part of this component's interface.
  using DellomarMLModel::loadModel;
  std::unique_ptr<SpeakerPreEmbedderModel> preprocessorModel_;
  std::unique_ptr<PLDAEmbedderModel> pldaModel_;
  std::atomic<noxtal::ModelState> modelState_{noxtal::ModelState::unloaded};
};

}  // namespace dellomar
