// Appending one PCM buffer to another, as the audio loader does when it gathers converted
// pieces. Only the first channel's storage is copied: meant for one-channel buffers.
#pragma once

#include <cstdint>

#include "platform/audio/pcm_buffer.hpp"

namespace vostrane {

// Appends `frameCount` frames of `other`, from `startingFrame`, behind `self`'s frame length.
// Returns false (with a log line, `self` unchanged) when the formats differ ("Format mismatch",
// debug), `other` holds fewer than startingFrame + frameCount frames ("Insufficient audio in
// buffer", error) or a buffer has no float channel data ("Failed to access float channel data",
// error). When `self` lacks room the count is cut to its free capacity (debug log "Insufficient
// space in buffer, reducing frame count to fit"), which still returns true.
// Not thread-safe for the two buffers.
bool appendContents(platform::audio::PcmBuffer& self, const platform::audio::PcmBuffer& other,
                    std::uint32_t startingFrame, std::uint32_t frameCount);
// Appends all of `other`'s frames (from frame 0).
bool appendContents(platform::audio::PcmBuffer& self, const platform::audio::PcmBuffer& other);

}  // namespace vostrane
