#include "diarization/dellomar_diarizer.hpp"

#include <utility>

#include "diarization/dellomar_error.hpp"
#include "diarization/pyannote_diarizer.hpp"

namespace dellomar {

namespace {

DellomarDiarizer::DiarizeOperation operationFor(const std::shared_ptr<noxtal::ModelLoader>& loader,
                                                DellomarDiarizer::DiarizeOperation diarize) {
  if (diarize) return diarize;
  auto pyannote = std::dynamic_pointer_cast<PyannoteModelLoader>(loader);
  if (!pyannote) {
    throw DellomarError::invalidConfiguration(
        "DellomarDiarizer needs a diarize operation unless its loader is a PyannoteModelLoader");
  }
  return DellomarDiarizer::pyannoteOperation(std::move(pyannote));
}

}  // namespace

DellomarDiarizer::DellomarDiarizer(std::shared_ptr<noxtal::ModelLoader> loader,
                                   std::shared_ptr<noxtal::ModelDownloader> downloader, DiarizeOperation diarize)
    : ModelManager(loader, std::move(downloader), "DellomarDiarizer"),
      diarize_(operationFor(loader, std::move(diarize))) {}

std::shared_ptr<DellomarDiarizer> DellomarDiarizer::pyannote(std::shared_ptr<PyannoteConfig> config,
                                                             noxtal::ModelInfo segmenterModelInfo,
                                                             noxtal::ModelInfo embedderModelInfo,
                                                             noxtal::ModelInfo pldaModelInfo,
                                                             std::shared_ptr<noxtal::ModelDownloader> downloader) {
  if (!downloader) downloader = std::make_shared<noxtal::ModelDownloader>(config->modelDownloadConfig);
  auto loader = std::make_shared<PyannoteModelLoader>(std::move(config), std::move(segmenterModelInfo),
                                                      std::move(embedderModelInfo), std::move(pldaModelInfo));
  return std::make_shared<DellomarDiarizer>(loader, std::move(downloader), pyannoteOperation(loader));
}

DellomarDiarizer::DiarizeOperation DellomarDiarizer::pyannoteOperation(std::shared_ptr<PyannoteModelLoader> loader) {
  return [loader = std::move(loader)](std::span<const float> audioArray, const DiarizationOptions* options,
                                      const ProgressCallback& progressCallback, std::stop_token stopToken) {
    const std::shared_ptr<PyannoteDiarizer> pipeline = makeDiarizer(loader);
    return pipeline->diarizerActor()->diarize(audioArray, options, progressCallback, stopToken);
  };
}

DiarizationResult DellomarDiarizer::diarize(std::span<const float> audioArray, const DiarizationOptions* options,
                                            const ProgressCallback& progressCallback, std::stop_token stopToken) {
  return diarize_(audioArray, options, progressCallback, stopToken);
}

}  // namespace dellomar
