// A tiny WAV writer for tests: 16-bit PCM or 32-bit float, interleaved from per-channel data.
#pragma once

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "support/temporary_folder.hpp"

namespace testsupport {

// Writes `frames` frames of `channels` channels; sample(c, i) gives channel c's frame i.
// `declaredFrames` (when >= 0) is written into the header instead of `frames` (to make a
// truncated file).
inline void writeWav(const std::filesystem::path& path, int sampleRate, int channels, std::int64_t frames,
                     const std::function<float(int, std::int64_t)>& sample, bool asFloat = false,
                     std::int64_t declaredFrames = -1) {
  const int bytesPerSample = asFloat ? 4 : 2;
  const auto dataBytes = std::uint32_t((declaredFrames >= 0 ? declaredFrames : frames) * channels * bytesPerSample);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  out.write("RIFF", 4);
  u32(36 + dataBytes);
  out.write("WAVEfmt ", 8);
  u32(16);
  u16(asFloat ? 3 : 1);
  u16(std::uint16_t(channels));
  u32(std::uint32_t(sampleRate));
  u32(std::uint32_t(sampleRate * channels * bytesPerSample));
  u16(std::uint16_t(channels * bytesPerSample));
  u16(std::uint16_t(bytesPerSample * 8));
  out.write("data", 4);
  u32(dataBytes);
  std::vector<char> block;
  block.reserve(std::size_t(channels) * bytesPerSample * 4096);
  for (std::int64_t i = 0; i < frames; ++i) {
    for (int c = 0; c < channels; ++c) {
      const float v = sample(c, i);
      if (asFloat) {
        block.insert(block.end(), reinterpret_cast<const char*>(&v), reinterpret_cast<const char*>(&v) + 4);
      } else {
        const auto s = std::int16_t(std::lround(std::fmax(-1.0f, std::fmin(v, 32767.0f / 32768.0f)) * 32768.0f));
        block.insert(block.end(), reinterpret_cast<const char*>(&s), reinterpret_cast<const char*>(&s) + 2);
      }
    }
    if (block.size() >= block.capacity() - 64) {
      out.write(block.data(), std::streamsize(block.size()));
      block.clear();
    }
  }
  out.write(block.data(), std::streamsize(block.size()));
}

// A sine of `frequency` Hz and `amplitude` at `sampleRate`.
inline std::function<float(int, std::int64_t)> sine(double frequency, double amplitude, int sampleRate) {
  return
      [=](int, std::int64_t i) { return float(amplitude * std::sin(2 * M_PI * frequency * double(i) / sampleRate)); };
}

}  // namespace testsupport
