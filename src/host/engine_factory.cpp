#include "host/engine_factory.hpp"

#include "transcription/transcription_error.hpp"

namespace velmoria {
namespace {

constexpr const char* kNoEngine = "This worker was built without a transcription engine";

class EngineWithoutModels : public TranscriptionEngine {
 public:
  void ensureModelsDownloaded(const StatusCallback&) override { throw TranscriptionError::downloadFailed(kNoEngine); }
  TranscriptResult processAudio(const std::string&, const std::string&, const std::vector<std::string>&) override {
    throw TranscriptionError::modelLoadFailed(kNoEngine);
  }
  void unloadModels() override {}
  bool modelsPresent() override { return false; }
  ModelStatus status() override { return ModelStatus::needsDownload(); }
};

}  // namespace

std::shared_ptr<TranscriptionEngine> makeWorkerTranscriptionEngine() { return std::make_shared<EngineWithoutModels>(); }

}  // namespace velmoria
