#include "platform/audio/wav_writer.hpp"

#include <cmath>
#include <cstring>
#include <limits>

#include "platform/sys/checked_cast.hpp"

namespace platform::audio {

namespace {

void putU16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xffu));
  out.push_back(static_cast<char>((v >> 8) & 0xffu));
}

void putU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xffu));
}

std::int16_t toPcm16(float v) {
  if (std::isnan(v)) return 0;
  const float clamped = std::fmax(-1.0f, std::fmin(v, 1.0f));
  // Scale by 32767 so that +1 and -1 are both representable; rounding to nearest.
  return platform::sys::checkedIntegerCast<std::int16_t>(std::nearbyint(clamped * 32767.0f)).value_or(0);
}

}  // namespace

std::string encodeWav(std::span<const float> interleaved, int sampleRate, int channels, WavSampleFormat format) {
  if (sampleRate < 1) throw WavWriteError("WAV sample rate must be at least 1, got " + std::to_string(sampleRate));
  if (channels < 1 || channels > std::numeric_limits<std::uint16_t>::max() / 4) {
    throw WavWriteError("WAV channel count out of range: " + std::to_string(channels));
  }
  if (interleaved.size() % static_cast<std::size_t>(channels) != 0) {
    throw WavWriteError("WAV sample count " + std::to_string(interleaved.size()) + " is not a multiple of " +
                        std::to_string(channels) + " channels");
  }
  const bool isFloat = format == WavSampleFormat::float32;
  const std::uint32_t bytesPerSample = isFloat ? 4 : 2;
  const std::uint64_t dataBytes = static_cast<std::uint64_t>(interleaved.size()) * bytesPerSample;
  const std::uint64_t byteRate = static_cast<std::uint64_t>(sampleRate) * static_cast<std::uint64_t>(channels) *
                                 bytesPerSample;
  // The RIFF size field counts everything after itself: 4 ("WAVE") + 24 (fmt) + 8 + data.
  if (dataBytes > std::numeric_limits<std::uint32_t>::max() - 36 || byteRate > std::numeric_limits<std::uint32_t>::max()) {
    throw WavWriteError("WAV data too large for a RIFF file: " + std::to_string(dataBytes) + " bytes");
  }
  std::string out;
  out.reserve(static_cast<std::size_t>(44 + dataBytes));
  out += "RIFF";
  putU32(out, static_cast<std::uint32_t>(36 + dataBytes));
  out += "WAVEfmt ";
  putU32(out, 16);
  putU16(out, isFloat ? 3 : 1);
  putU16(out, static_cast<std::uint16_t>(channels));
  putU32(out, static_cast<std::uint32_t>(sampleRate));
  putU32(out, static_cast<std::uint32_t>(byteRate));
  putU16(out, static_cast<std::uint16_t>(static_cast<std::uint32_t>(channels) * bytesPerSample));
  putU16(out, static_cast<std::uint16_t>(bytesPerSample * 8));
  out += "data";
  putU32(out, static_cast<std::uint32_t>(dataBytes));
  for (const float v : interleaved) {
    if (isFloat) {
      std::uint32_t bits = 0;
      std::memcpy(&bits, &v, sizeof bits);
      putU32(out, bits);
    } else {
      putU16(out, static_cast<std::uint16_t>(toPcm16(v)));
    }
  }
  return out;
}

void writeWav(platform::fs::FileSystem& fileSystem, const std::filesystem::path& path,
              std::span<const float> interleaved, int sampleRate, int channels, WavSampleFormat format) {
  fileSystem.writeFile(path, encodeWav(interleaved, sampleRate, channels, format));
}

}  // namespace platform::audio
