#include "speech/audio/pcm_buffer_extensions.hpp"

#include <algorithm>

#include "core/logging.hpp"

namespace vostrane {

using noxtal::Logging;
using platform::audio::PcmBuffer;

bool appendContents(PcmBuffer& self, const PcmBuffer& other, std::uint32_t startingFrame, std::uint32_t frameCount) {
  if (!(self.format() == other.format())) {
    Logging::debug("Format mismatch");
    return false;
  }
  if (std::uint64_t{other.frameLength()} < std::uint64_t{startingFrame} + frameCount) {
    Logging::error("Insufficient audio in buffer");
    return false;
  }
  float* destination = self.floatChannelData(0);
  const float* source = other.floatChannelData(0);
  if (destination == nullptr || source == nullptr) {
    Logging::error("Failed to access float channel data");
    return false;
  }
  if (std::uint64_t{self.frameLength()} + frameCount > self.frameCapacity()) {
    Logging::debug("Insufficient space in buffer, reducing frame count to fit");
    frameCount = self.frameCapacity() - self.frameLength();
  }
  const std::size_t floatsPerFrame = self.format().bytesPerFrame() / 4;
  std::copy_n(source + std::size_t{startingFrame} * floatsPerFrame, std::size_t{frameCount} * floatsPerFrame,
              destination + std::size_t{self.frameLength()} * floatsPerFrame);
  self.setFrameLength(self.frameLength() + frameCount);
  return true;
}

bool appendContents(PcmBuffer& self, const PcmBuffer& other) {
  return appendContents(self, other, 0, other.frameLength());
}

}  // namespace vostrane
