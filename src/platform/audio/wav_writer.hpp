// A WAV file writer for the tools and the worker's demo inputs: interleaved float samples to a
// canonical RIFF/WAVE file (16-bit PCM or 32-bit IEEE float), written whole and atomically
// through platform::fs::FileSystem. The reader side is AudioFile.
//
// Thread-safe (no shared state); the file system arbitrates concurrent writers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>

#include "platform/fs/file_system.hpp"

namespace platform::audio {

enum class WavSampleFormat {
  pcm16,    // 16-bit signed PCM; samples clamped to [-1, 1], NaN written as 0
  float32,  // 32-bit IEEE float, samples unchanged
};

// Arguments that cannot make a WAV file: a sample rate or channel count below 1, a sample count
// that is not a multiple of the channel count, or more data than a RIFF chunk can declare.
class WavWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The complete file bytes for `interleaved` frames of `channels` channels. Throws WavWriteError.
std::string encodeWav(std::span<const float> interleaved, int sampleRate, int channels, WavSampleFormat format);

// Writes encodeWav(...) to `path` (replacing it atomically). Throws WavWriteError or
// platform::fs::FileError.
void writeWav(platform::fs::FileSystem& fileSystem, const std::filesystem::path& path,
              std::span<const float> interleaved, int sampleRate, int channels = 1,
              WavSampleFormat format = WavSampleFormat::pcm16);

}  // namespace platform::audio
