#include <string>

#include "fuzz/fuzz_entries.hpp"
#include "fuzz/scratch.hpp"
#include "platform/audio/audio_file.hpp"
#include "platform/audio/pcm_buffer.hpp"
#include "platform/log/check.hpp"

namespace fuzzentries {

namespace {

namespace audio = platform::audio;

constexpr std::uint32_t kChunk = 4096;
// Bounds the work on inputs that decode to long silences.
constexpr std::int64_t kMostFrames = 1 << 21;

// Reads from the current position to the end (or kMostFrames); returns the frames read.
std::int64_t readToEnd(audio::AudioFile& file, audio::PcmBuffer& buffer) {
  std::int64_t total = 0;
  while (total < kMostFrames) {
    const std::int64_t before = file.framePosition();
    const std::uint32_t n = file.read(buffer, kChunk);
    platform::log::requireThat(n <= kChunk && buffer.frameLength() == n, "a read reports other frames than it gave");
    platform::log::requireThat(file.framePosition() == before + n, "a read moves the position by other than its frames");
    total += n;
    if (n < kChunk) break;
  }
  return total;
}

}  // namespace

void audioFile(std::span<const std::uint8_t> input) {
  const auto path = scratchFolder() / "input.audio";
  writeScratchFile(path, input);
  try {
    const auto file = audio::AudioFile::open(path);
    const audio::AudioFormat& format = file->processingFormat();
    const auto buffer = audio::PcmBuffer::create(format, kChunk);
    platform::log::requireThat(buffer != nullptr, "an opened file has a format no buffer can hold");
    const std::int64_t total = readToEnd(*file, *buffer);
    if (file->lengthIsExact() && total < kMostFrames) {
      platform::log::requireThat(total == file->length(), "a file of exact length reads other frames than its length");
    }
    file->setFramePosition(total / 2);
    (void)readToEnd(*file, *buffer);
  } catch (const audio::AudioFileError&) {
  }
}

}  // namespace fuzzentries
