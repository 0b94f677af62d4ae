#include "diarization/dellomar.hpp"

#include <utility>

#include "core/hub/model_manager.hpp"
#include "core/logging.hpp"
#include "diarization/dellomar_diarizer.hpp"
#include "diarization/dellomar_error.hpp"
#include "diarization/pyannote_model_loader.hpp"
#include "platform/log/check.hpp"

namespace dellomar {

namespace {

std::shared_ptr<Diarizer> chooseDiarizer(const std::shared_ptr<DellomarConfig>& config) {
  if (config->diarizer) return config->diarizer;
  if (auto pyannote = std::dynamic_pointer_cast<PyannoteConfig>(config)) {
    return DellomarDiarizer::pyannote(
        pyannote, segmenterModelInfo(std::nullopt, std::nullopt, platform::ml::ComputeUnits::cpuOnly),
        embedderModelInfo(std::nullopt, std::nullopt, platform::ml::ComputeUnits::cpuAndNeuralEngine), pldaModelInfo());
  }
  throw DellomarError::invalidConfiguration("Config must be PyannoteConfig or provide custom diarizer");
}

}  // namespace

Dellomar::Dellomar(std::shared_ptr<DellomarConfig> config, std::stop_token stopToken) {
  platform::log::requireThat(config != nullptr, "Dellomar needs a configuration");
  noxtal::Logging::updateLogLevel(config->verbose ? config->logLevel : noxtal::Logging::LogLevel::none);
  std::shared_ptr<Diarizer> chosen = chooseDiarizer(config);
  diarizer_ = chosen;
  if (config->download) chosen->downloadModels(stopToken);
  if (config->load) chosen->loadModels(stopToken);
}

std::shared_ptr<Diarizer> Dellomar::diarizer() const {
  const std::lock_guard lock(mutex_);
  return diarizer_;
}

void Dellomar::setDiarizer(std::shared_ptr<Diarizer> diarizer) {
  platform::log::requireThat(diarizer != nullptr, "Dellomar needs a diarizer");
  const std::lock_guard lock(mutex_);
  diarizer_ = std::move(diarizer);
}

void Dellomar::ensureModelsLoaded(std::stop_token stopToken) {
  const std::shared_ptr<Diarizer> held = diarizer();
  if (auto* managed = dynamic_cast<noxtal::ModelManager*>(held.get())) managed->ensureModelsLoaded(stopToken);
}

void Dellomar::unloadModels() noexcept { diarizer()->unloadModels(); }

DiarizationResult Dellomar::diarize(std::span<const float> audioArray, const DiarizationOptions* options,
                                    const ProgressCallback& progressCallback, std::stop_token stopToken) {
  const std::shared_ptr<Diarizer> held = diarizer();
  if (auto* managed = dynamic_cast<noxtal::ModelManager*>(held.get())) managed->ensureModelsLoaded(stopToken);
  return held->diarize(audioArray, options, progressCallback, stopToken);
}

std::vector<RTTMLine> Dellomar::generateRTTM(
    const DiarizationResult& result, const SpeakerInfoStrategy& strategy,
    const std::optional<std::vector<std::shared_ptr<vostrane::TranscriptionResult>>>& transcription,
    const std::string& fileName) {
  if (transcription) {
    std::vector<WordWithSpeaker> words;
    for (const std::vector<SpeakerSegment>& segments : result.addSpeakerInfo(*transcription, strategy)) {
      for (const SpeakerSegment& segment : segments) {
        for (const SpeakerWordTiming& word : segment.speakerWords) {
          words.push_back({word.wordTiming, word.speaker.speakerId()});
        }
      }
    }
    return RTTMLine::fromWords(words, fileName);
  }
  DiarizationResult rebuilt = result;
  rebuilt.updateSegments(0.0f);
  std::vector<RTTMLine> lines;
  lines.reserve(rebuilt.segments.size());
  for (const SpeakerSegment& segment : rebuilt.segments) {
    const std::optional<int> id = segment.speaker.speakerId();
    RTTMLine line{fileName, segment.startTime, segment.endTime - segment.startTime, "<NA>",
                  id ? rttmSpeakerName(*id) : std::string("UNKNOWN")};
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace dellomar
