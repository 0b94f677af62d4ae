#include "transcription/speaker_analyzer.hpp"

#include <utility>

#include "platform/fs/file_lock.hpp"
#include "platform/log/log.hpp"
#include "transcription/audio_merger.hpp"
#include "transcription/in_process_transcription_engine.hpp"
#include "transcription/model_repository_lock.hpp"
#include "transcription/transcription_error.hpp"

namespace velmoria {
namespace {

const platform::log::Logger& logger() {
  static const platform::log::Logger l("com.velmoria.app", "SpeakerAnalyzer");
  return l;
}

// The diarization repository's lock, shared with the worker's engine.
platform::fs::FileLock lockDiarizationRepository() {
  return lockModelRepository(modelStorageBaseURL(), kDiarizationModelRepo);
}

std::shared_ptr<dellomar::Dellomar> createDellomar() {
  auto lock = lockDiarizationRepository();
  return std::make_shared<dellomar::Dellomar>(makeAnalyzerPyannoteConfig());
}

const dellomar::PyannoteDiarizationOptions& diarizationOptions() {
  static const dellomar::PyannoteDiarizationOptions options(std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                                            true, dellomar::SpeakerCentroidSource::trainableOnly, {});
  return options;
}

}  // namespace

std::shared_ptr<dellomar::PyannoteConfig> makeAnalyzerPyannoteConfig() {
  // The worker's engine on this machine makes the configuration, so the two never differ.
  return InProcessTranscriptionEngine(TranscriptionMethod::current()).makePyannoteConfig();
}

void SpeakerAnalyzer::ensureModelsDownloaded() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (dellomar_) return;
  }
  logger().info("SpeakerAnalyzer: downloading Dellomar models");
  std::shared_ptr<dellomar::Dellomar> made;
  try {
    made = createDellomar();
  } catch (const std::exception& e) {
    throw TranscriptionError::downloadFailed(std::string("Dellomar download failed: ") + e.what());
  }
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!dellomar_) dellomar_ = std::move(made);
  }
  logger().info("SpeakerAnalyzer: models ready");
}

SpeakerAnalysis SpeakerAnalyzer::analyze(const std::string& micPath, const std::string& systemPath) {
  const auto mic = loadAudioSamples(micPath);
  const auto system = loadAudioSamples(systemPath);
  const auto merged = AudioMerger::merge(mic, system);

  std::shared_ptr<dellomar::Dellomar> instance;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    instance = dellomar_;
  }
  if (instance) {
    auto lock = lockDiarizationRepository();
    instance->ensureModelsLoaded();
  } else {
    auto made = createDellomar();
    std::lock_guard<std::mutex> guard(mutex_);
    if (!dellomar_) dellomar_ = made;
    instance = dellomar_;
  }
  if (!instance) throw TranscriptionError::modelLoadFailed("Dellomar is nil after loading");

  const dellomar::DiarizationResult result = instance->diarize(merged.samples, &diarizationOptions());

  SpeakerAnalysis analysis;
  analysis.spans = makeDiarizedSpans(result);
  const auto centroids = finiteCentroidEmbeddings(result.speakerCentroidEmbeddings);
  if (!centroids.empty()) {
    SpeakerEmbeddingSet set;
    set.kind = EmbeddingKind::raw;
    set.space = SpeakerEmbeddingSpace::current();
    for (const auto& [id, vector] : centroids) set.vectors[id] = vector;
    analysis.embeddingSets.push_back(std::move(set));
  }
  analysis.speakerSpeechDurations = computeSpeakerSpeechDurations(analysis.spans);
  return analysis;
}

void SpeakerAnalyzer::unload() {
  std::shared_ptr<dellomar::Dellomar> instance;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    instance = std::move(dellomar_);
    dellomar_.reset();
  }
  if (instance) instance->unloadModels();
}

bool SpeakerAnalyzer::hasInstance() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return dellomar_ != nullptr;
}

}  // namespace velmoria
