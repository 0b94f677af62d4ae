// The identities of the diarization models and PyannoteModelLoader, the library's
// implementation of the core ModelLoader: it resolves the model repository (a local folder or
// the hub), builds and loads the segmenter and embedder wrappers, and hands the loaded set to
// the pipeline.
//
// Repository layout (one compiled model folder per model file):
//   speaker_segmenter/pyannote-v3/<variant>/SpeakerSegmenter.mlmodelc
//   speaker_embedder/pyannote-v3/<variant>/SpeakerEmbedderPreprocessor.mlmodelc
//   speaker_embedder/pyannote-v3/<variant>/SpeakerEmbedder.mlmodelc
//   speaker_clusterer/pyannote-v4/W32A32/PldaProjector.mlmodelc
//
// Thread-safety: the model manager calls resolveModels, load and unload one at a time; models()
// may be called from any thread at any time and returns a snapshot that stays valid (and
// keeps its wrappers alive) after a later unload or load.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/hub/model_info.hpp"
#include "core/hub/model_manager.hpp"
#include "diarization/diarization_config.hpp"
#include "diarization/speaker_embedder.hpp"
#include "diarization/speaker_segmenter.hpp"
#include "platform/sys/os_version.hpp"

namespace dellomar {

// "speaker_segmenter"; version "pyannote-v3" and variant "W8A16" from OS 15.0.0 on, else
// "W32A32", when absent.
noxtal::ModelInfo segmenterModelInfo(
    std::optional<std::string> version = std::nullopt, std::optional<std::string> variant = std::nullopt,
    platform::ml::ComputeUnits computeUnits = platform::ml::ComputeUnits::cpuOnly,
    platform::sys::OperatingSystemVersion osVersion = platform::sys::operatingSystemVersion());
// "speaker_embedder"; version "pyannote-v3" and variant "W8A16" from OS 14.0.0 on, else
// "W16A16", when absent.
noxtal::ModelInfo embedderModelInfo(
    std::optional<std::string> version = std::nullopt, std::optional<std::string> variant = std::nullopt,
    platform::ml::ComputeUnits computeUnits = platform::ml::ComputeUnits::cpuAndNeuralEngine,
    platform::sys::OperatingSystemVersion osVersion = platform::sys::operatingSystemVersion());
// "speaker_clusterer", "pyannote-v4", "W32A32", cpuOnly.
noxtal::ModelInfo pldaModelInfo();

// A loaded model set of some diarization back end.
class DellomarModels {
 public:
  virtual ~DellomarModels() = default;
  virtual std::vector<noxtal::ModelInfo> modelInfos() const = 0;
};

// The loaded pyannote models; the wrappers are shared by every holder of the set.
struct PyannoteModels final : DellomarModels {
  PyannoteModels(std::shared_ptr<SpeakerSegmenterModel> segmenter, std::shared_ptr<SpeakerEmbedderModel> embedder,
                 std::shared_ptr<const PyannoteConfig> config, noxtal::ModelInfo segmenterModelInfo,
                 noxtal::ModelInfo embedderModelInfo, noxtal::ModelInfo pldaModelInfo)
      : segmenter(std::move(segmenter)),
        embedder(std::move(embedder)),
        config(std::move(config)),
        segmenterModelInfo(std::move(segmenterModelInfo)),
        embedderModelInfo(std::move(embedderModelInfo)),
        pldaModelInfo(std::move(pldaModelInfo)) {}

  std::shared_ptr<SpeakerSegmenterModel> segmenter;
  std::shared_ptr<SpeakerEmbedderModel> embedder;
  std::shared_ptr<const PyannoteConfig> config;
  noxtal::ModelInfo segmenterModelInfo;
  noxtal::ModelInfo embedderModelInfo;
  noxtal::ModelInfo pldaModelInfo;

  // [segmenter, embedder, PLDA].
  std::vector<noxtal::ModelInfo> modelInfos() const override {
    return {segmenterModelInfo, embedderModelInfo, pldaModelInfo};
  }
};

class PyannoteModelLoader final : public noxtal::ModelLoader {
 public:
  // `config` must not be null; it is read at every operation, not copied.
  PyannoteModelLoader(std::shared_ptr<PyannoteConfig> config, noxtal::ModelInfo segmenterModelInfo,
                      noxtal::ModelInfo embedderModelInfo, noxtal::ModelInfo pldaModelInfo);

  const std::shared_ptr<PyannoteConfig>& pyannoteConfig() const { return config_; }
  const noxtal::ModelInfo& segmenterModelInfo() const { return segmenterModelInfo_; }
  const noxtal::ModelInfo& embedderModelInfo() const { return embedderModelInfo_; }
  const noxtal::ModelInfo& pldaModelInfo() const { return pldaModelInfo_; }

  // The configuration's local model folder.
  std::optional<std::string> modelFolder() const override;
  // The local folder when configured (logged "[Dellomar] Using local models from: <folder>",
  // nothing checked); otherwise the repository folder the downloader resolves for the three
  // download patterns (segmenter, embedder, PLDA) with the configuration's download base and
  // download flag. Downloader errors pass unchanged.
  std::string resolveModels(noxtal::ModelDownloader& downloader, const ProgressCallback& progressCallback,
                            std::stop_token stopToken) override;
  // Builds the wrappers from the repository folder at `path` and loads the segmenter, then the
  // embedder chain. With `prewarm` each model is loaded once and nothing is kept. Otherwise the
  // declared shapes are checked against each other (segmenter windows, frames and speakers;
  // the embedder's mask rows and frames; the pre-embedder's waveform longer than a window; the
  // PLDA input as wide as the embedder's output; 128 PLDA columns) and the set replaces the one
  // held before. Throws DellomarError
  // (modelUnavailable for a model that cannot be loaded, invalidModelOutput for disagreeing
  // shapes); on failure the held set is unchanged.
  void load(const std::string& path, bool prewarm, std::stop_token stopToken) override;
  // Clears the held wrappers' models and drops the set. Never fails.
  void unload() noexcept override;

  // The held set, or null. Thread-safe snapshot.
  std::shared_ptr<const PyannoteModels> models() const;

 private:
  std::shared_ptr<PyannoteConfig> config_;
  noxtal::ModelInfo segmenterModelInfo_;
  noxtal::ModelInfo embedderModelInfo_;
  noxtal::ModelInfo pldaModelInfo_;
  mutable std::mutex mutex_;
  std::shared_ptr<const PyannoteModels> models_;  // guarded by mutex_
};

// Throws DellomarError::invalidModelOutput when the loaded models' declared shapes disagree
// (see PyannoteModelLoader::load). Free dimensions (-1) are not compared.
void checkModelShapes(const SpeakerSegmenterModel& segmenter, const SpeakerEmbedderModel& embedder);

}  // namespace dellomar
