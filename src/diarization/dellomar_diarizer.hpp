// DellomarDiarizer: the library's standard diarization back end. It is the core ModelManager
// (state machine, download, load, unload, single-flight ensureModelsLoaded; log prefix
// "[DellomarDiarizer]") over a model loader, plus one stored diarize operation. Built for the
// pyannote pipeline, the loader is a PyannoteModelLoader and the operation makes a fresh
// pipeline object from the loaded models for every call, so two calls run independently and
// share only the loaded model wrappers.
//
// Thread-safety: every member is thread-safe (the base class serialises the lifecycle; the
// pyannote operation keeps no state of its own).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>

#include "core/hub/model_downloader.hpp"
#include "core/hub/model_manager.hpp"
#include "diarization/diarization_config.hpp"
#include "diarization/diarization_result.hpp"
#include "diarization/pyannote_model_loader.hpp"

namespace dellomar {

class DellomarDiarizer final : public noxtal::ModelManager, public Diarizer {
 public:
  using ProgressCallback = Diarizer::ProgressCallback;
  using DiarizeOperation = std::function<DiarizationResult(std::span<const float>, const DiarizationOptions*,
                                                           const ProgressCallback&, std::stop_token)>;

  // `loader` and `downloader` must not be null. An empty `diarize` stands for the pyannote
  // operation over `loader`, which must then be a PyannoteModelLoader: any other loader throws
  // DellomarError::invalidConfiguration.
  DellomarDiarizer(std::shared_ptr<noxtal::ModelLoader> loader, std::shared_ptr<noxtal::ModelDownloader> downloader,
                   DiarizeOperation diarize);

  // A PyannoteModelLoader over `config` and the three identities, the given downloader (or a
  // new one from the configuration's download settings when null) and the pyannote operation.
  static std::shared_ptr<DellomarDiarizer> pyannote(std::shared_ptr<PyannoteConfig> config,
                                                    noxtal::ModelInfo segmenterModelInfo,
                                                    noxtal::ModelInfo embedderModelInfo,
                                                    noxtal::ModelInfo pldaModelInfo,
                                                    std::shared_ptr<noxtal::ModelDownloader> downloader = nullptr);

  // The pyannote diarize operation: a fresh pipeline object from `loader`'s models, run once.
  // Throws DellomarError::modelUnavailable("Pyannote models are not loaded") without models.
  static DiarizeOperation pyannoteOperation(std::shared_ptr<PyannoteModelLoader> loader);

  std::optional<std::filesystem::path> modelFolder() const override { return ModelManager::modelFolder(); }
  noxtal::ModelState modelState() const override { return ModelManager::modelState(); }
  void downloadModels(std::stop_token stopToken = {}) override { ModelManager::downloadModels(nullptr, stopToken); }
  void downloadModels(const ProgressCallback& progressCallback, std::stop_token stopToken = {}) {
    ModelManager::downloadModels(progressCallback, stopToken);
  }
  void loadModels(std::stop_token stopToken = {}) override { ModelManager::loadModels(stopToken); }
  void unloadModels() noexcept override { ModelManager::unloadModels(); }
  // Runs the stored operation; does not look at the model state.
  DiarizationResult diarize(std::span<const float> audioArray, const DiarizationOptions* options,
                            const ProgressCallback& progressCallback, std::stop_token stopToken = {}) override;

 private:
  DiarizeOperation diarize_;
};

}  // namespace dellomar
