#include "speech/pipeline/audio_loading_times.hpp"

#include "core/logging.hpp"
#include "speech/audio/audio_processor.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {
namespace {

double secondsSince(std::chrono::system_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::system_clock::now() - since).count();
}

void recordLoadingTime(TranscriptionTimings& timings, std::chrono::system_clock::time_point since) {
  timings.audioLoading = secondsSince(since);
  noxtal::Logging::debug("Audio loading and convert time: " + noxtal::floatingText(timings.audioLoading));
  noxtal::Logging::logCurrentMemoryUsage("Audio Loading and Convert");
}

}  // namespace

std::vector<float> measureAudioLoading(TranscriptionTimings& timings, const std::string& audioPath,
                                       const AudioInputOptions& audioInputOptions, std::stop_token stopToken) {
  const auto start = std::chrono::system_clock::now();
  std::vector<float> samples;
  try {
    samples = AudioProcessor::loadAudioAsFloatArray(audioPath, audioInputOptions.channelMode, std::nullopt,
                                                    std::nullopt, stopToken);
  } catch (const WhisperError& error) {
    recordLoadingTime(timings, start);
    // Some loader messages only say what went wrong; the caller must also learn which file.
    if (error.errorCase() == WhisperError::Case::loadAudioFailed &&
        error.message().find(audioPath) == std::string::npos) {
      throw WhisperError::loadAudioFailed(error.message() + " (" + audioPath + ")");
    }
    throw;
  } catch (...) {
    recordLoadingTime(timings, start);
    throw;
  }
  recordLoadingTime(timings, start);
  return samples;
}

void recordAudioStreamingTime(TranscriptionTimings& timings, std::chrono::system_clock::time_point since) {
  timings.audioLoading = secondsSince(since);
  noxtal::Logging::debug("Audio streaming and transcription time: " + noxtal::floatingText(timings.audioLoading));
  noxtal::Logging::logCurrentMemoryUsage("Audio Streaming");
}

}  // namespace vostrane
