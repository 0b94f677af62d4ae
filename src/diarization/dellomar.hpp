// Dellomar: the entry point of the speaker-diarization library. An application builds one from
// a configuration, lets it download and load the diarization models, and asks it who spoke when
// in 16 kHz mono samples; generateRTTM prints the answer as RTTM lines.
//
// The instance holds one exchangeable diarizer: the configuration's own, or, for a
// PyannoteConfig, a DellomarDiarizer over the pyannote models. Each operation takes its own
// reference to the diarizer when it starts, so replacing the diarizer never affects (or frees)
// one in use. Thread-safety: every member is thread-safe as far as the diarizer is.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "diarization/diarization_config.hpp"
#include "diarization/diarization_result.hpp"
#include "diarization/rttm.hpp"
#include "diarization/speaker_info.hpp"
#include "speech/model/transcription_result.hpp"

namespace dellomar {

class Dellomar {
 public:
  using ProgressCallback = Diarizer::ProgressCallback;

  // Sets the shared logger's level (config->logLevel when verbose, else none; process-wide),
  // takes config->diarizer or builds the pyannote diarizer for a PyannoteConfig, then downloads
  // (config->download) and loads (config->load) through it. Throws
  // DellomarError::invalidConfiguration("Config must be PyannoteConfig or provide custom
  // diarizer") for any other configuration, and the diarizer's download and load errors.
  // `config` must not be null; it is kept by the pyannote loader and read later.
  explicit Dellomar(std::shared_ptr<DellomarConfig> config, std::stop_token stopToken = {});

  std::shared_ptr<Diarizer> diarizer() const;
  // `diarizer` must not be null. Operations already running keep the diarizer they started with.
  void setDiarizer(std::shared_ptr<Diarizer> diarizer);

  // For a model-managed diarizer, downloads when needed and loads (concurrent callers share one
  // load); for any other diarizer nothing.
  void ensureModelsLoaded(std::stop_token stopToken = {});
  void unloadModels() noexcept;
  // Makes sure a model-managed diarizer is loaded, then diarizes through the diarizer.
  DiarizationResult diarize(std::span<const float> audioArray, const DiarizationOptions* options = nullptr,
                            const ProgressCallback& progressCallback = nullptr, std::stop_token stopToken = {});

  // With a transcription: one line per run of words with one speaker (RTTMLine::fromWords over
  // the attributed words). Without: one line per segment that the result's matrix gives with
  // offset 0, orthography "<NA>", the segment's single speaker named (else "UNKNOWN").
  static std::vector<RTTMLine> generateRTTM(
      const DiarizationResult& result, const SpeakerInfoStrategy& strategy,
      const std::optional<std::vector<std::shared_ptr<vostrane::TranscriptionResult>>>& transcription,
      const std::string& fileName);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<Diarizer> diarizer_;  // guarded by mutex_
};

}  // namespace dellomar
