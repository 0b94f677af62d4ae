// An audio file opened for reading: the stand-in for the platform's audio file reader.
//
// Backed by FFmpeg, it opens anything FFmpeg can demux and decode (WAV, FLAC, MP3, Ogg Vorbis
// and Opus, M4A/AAC, CAF, AIFF, ...) and reads the first audio stream as 32-bit float,
// non-interleaved frames at the file's own rate and channel count, in bounded pieces.
// The speech library's audio loader is its user.
//
// Length: for uncompressed PCM the length in frames is exact; for compressed formats it is the
// container's estimate (lengthIsExact() tells which). Callers must end their read loops on a
// short or empty read, never on the length alone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/audio/pcm_buffer.hpp"

namespace platform::audio {

// Any failure to open, seek in or decode a file. The message names the file and the reason.
class AudioFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class AudioFile {
 public:
  // Opens `path` and prepares its first audio stream for decoding.
  // Throws AudioFileError when the path is not a readable regular file, holds no audio stream,
  // or cannot be parsed or decoded (the message names the file and FFmpeg's reason).
  static std::unique_ptr<AudioFile> open(const std::filesystem::path& path);

  ~AudioFile();
  AudioFile(const AudioFile&) = delete;
  AudioFile& operator=(const AudioFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The file's own rate and channel count (reported as the float format it is read in).
  const AudioFormat& fileFormat() const { return processingFormat_; }
  // The format frames are delivered in: 32-bit float, non-interleaved, file rate and channels.
  const AudioFormat& processingFormat() const { return processingFormat_; }
  // Length in frames: exact when lengthIsExact(), an estimate otherwise (may be 0 when the
  // container gives none).
  std::int64_t length() const { return length_; }
  bool lengthIsExact() const { return lengthIsExact_; }

  // The frame the next read starts at.
  std::int64_t framePosition() const { return position_; }
  // Moves the read position to `frame` (>= 0; a position past the end makes reads return 0).
  // Exact: decodes and discards up to the frame when the container seeks coarsely.
  // Throws AudioFileError when the container cannot seek back.
  void setFramePosition(std::int64_t frame);

  // Reads up to `frameCount` frames (at most the buffer's capacity) into `buffer` from its
  // frame 0 and sets its frame length to the number read, which is returned. Fewer frames than
  // asked for means the audio ended. The buffer must have the processing format's channel
  // count (std::invalid_argument otherwise). Throws AudioFileError on decoding errors and when
  // a file of exact length ends before its declared length (a truncated file).
  std::uint32_t read(PcmBuffer& buffer, std::uint32_t frameCount);

 private:
  struct Decoder;
  AudioFile(std::filesystem::path path, std::unique_ptr<Decoder> decoder);
  static std::unique_ptr<Decoder> openDecoder(const std::filesystem::path& path);
  // Reopens the file: decoding starts again at frame 0.
  void rewind();

  // Delivers up to `count` frames into the given planes at `offset`; returns frames written.
  std::uint32_t decodeInto(float* const* planes, std::uint32_t offset, std::uint32_t count);
  bool receiveNextFrame();
  void failWith(const std::string& reason) const;

  std::filesystem::path path_;
  std::unique_ptr<Decoder> decoder_;
  AudioFormat processingFormat_;
  std::int64_t length_ = 0;
  bool lengthIsExact_ = false;
  std::int64_t position_ = 0;
};

}  // namespace platform::audio
