#include "transcription/audio_merger.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <system_error>

#include "speech/audio/audio_processor.hpp"
#include "transcription/transcription_error.hpp"

namespace velmoria {
namespace {

// Whether a file system entry is reachable at `path` as the client named it.
bool fileExists(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  const std::filesystem::path p(path);
  if (!p.is_absolute()) return false;
  std::error_code ec;
  return std::filesystem::exists(p, ec) && !ec;
}

}  // namespace

std::vector<float> loadWithSpeechLibrary(const std::string& path) {
  return vostrane::AudioProcessor::loadAudioAsFloatArray(path, vostrane::ChannelMode::sumChannels(), 0.0,
                                                         std::nullopt);
}

std::vector<float> loadAudioSamples(const std::string& path, const AudioSampleLoader& loader) {
  if (!fileExists(path)) throw TranscriptionError::invalidInput("Audio file does not exist: " + path);
  try {
    std::vector<float> samples = loader(path);
    if (samples.empty()) throw TranscriptionError::invalidInput("Audio file produced zero samples: " + path);
    return samples;
  } catch (const TranscriptionError&) {
    throw;
  } catch (const std::exception& e) {
    throw TranscriptionError::invalidInput("Failed to load audio from " + path + ": " + e.what());
  } catch (...) {
    throw TranscriptionError::invalidInput("Failed to load audio from " + path + ": unknown error");
  }
}

double MergeResult::duration() const { return double(samples.size()) / AudioMerger::sampleRate; }

MergeResult AudioMerger::merge(std::span<const float> mic, std::span<const float> system) {
  if (mic.empty() && system.empty()) {
    throw TranscriptionError::invalidInput("At least one audio stream (mic or system) must contain non-zero samples");
  }
  if (system.empty()) {
    return {{mic.begin(), mic.end()}, {{0, std::int64_t(mic.size()), StreamLabel::mic}}};
  }
  if (mic.empty()) {
    return {{system.begin(), system.end()}, {{0, std::int64_t(system.size()), StreamLabel::system}}};
  }

  const std::size_t n = std::max(mic.size(), system.size());
  const std::size_t m = std::min(mic.size(), system.size());
  MergeResult result;
  result.samples.resize(n);
  float* sums = result.samples.data();
  for (std::size_t i = 0; i < m; ++i) sums[i] = mic[i] + system[i];
  const std::span<const float> longer = mic.size() > system.size() ? mic : system;
  std::copy(longer.begin() + std::ptrdiff_t(m), longer.end(), sums + m);

  // Four running maxima; a NaN never compares greater, so it does not raise the peak.
  float lanes[4] = {0, 0, 0, 0};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (std::size_t k = 0; k < 4; ++k) {
      const float a = std::fabs(sums[i + k]);
      lanes[k] = a > lanes[k] ? a : lanes[k];
    }
  }
  float peak = std::max({lanes[0], lanes[1], lanes[2], lanes[3]});
  for (; i < n; ++i) {
    const float a = std::fabs(sums[i]);
    peak = a > peak ? a : peak;
  }
  if (peak > 1.0f) {
    const float scale = 1.0f / peak;
    for (std::size_t j = 0; j < n; ++j) sums[j] *= scale;
  }

  result.labels.push_back({0, std::int64_t(m), StreamLabel::both});
  if (mic.size() != system.size()) {
    result.labels.push_back(
        {std::int64_t(m), std::int64_t(n), system.size() > mic.size() ? StreamLabel::system : StreamLabel::mic});
  }
  return result;
}

}  // namespace velmoria
