// Incremental loading of long audio files: instead of loading a recording whole, a producer
// thread reads it a fixed number of seconds at a time, cuts the audio at silences into chunks of
// at most one model window and hands them to the consumer in order through a stream, never with
// more than a fixed number of chunks handed on and not yet finished by the consumer.
//
// The transcription pipeline uses it when the configuration asks for incremental loading: it
// takes chunks with next(), transcribes each and then calls the chunk's completionSignal.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "platform/sync/channel.hpp"
#include "speech/audio/audio_chunker.hpp"
#include "speech/audio/audio_input_options.hpp"
#include "speech/audio/voice_activity_detector.hpp"

namespace vostrane {

// Bounds the chunks in flight of one stream: chunks handed on and not yet released. Thread-safe;
// every operation is serialised on one lock, and none blocks except requestChunkSlot.
class IncrementalLoadController {
 public:
  // Throws std::invalid_argument when maxBufferedChunks < 1.
  explicit IncrementalLoadController(int maxBufferedChunks);
  IncrementalLoadController(const IncrementalLoadController&) = delete;
  IncrementalLoadController& operator=(const IncrementalLoadController&) = delete;

  int maxBufferedChunks() const { return maxBufferedChunks_; }
  int activeChunks() const;
  bool isTerminated() const;
  // Requesters blocked in requestChunkSlot right now, for diagnostics and tests.
  int waitingRequests() const;

  // Takes a slot, waiting while maxBufferedChunks slots are taken. Returns true when a slot was
  // taken; false (taking none) when the controller is or becomes terminated, or `token` is
  // stopped while waiting.
  bool requestChunkSlot(std::stop_token token = {});
  // Gives a slot back and wakes a waiting requester. An extra release (none active) is ignored.
  void releaseChunkSlot();
  // Terminates the controller for good and wakes every waiter; they return without a slot.
  // Later requests return at once; releases still decrement.
  void terminate();

 private:
  const int maxBufferedChunks_;
  mutable std::mutex m_;
  std::condition_variable_any cv_;
  int activeChunks_ = 0;       // guarded by m_
  bool isTerminated_ = false;  // guarded by m_
  int waitingRequests_ = 0;    // guarded by m_
};

// One chunk of an incremental stream. seekOffsetIndex of the audio chunk is the index of its
// first sample in the whole file's 16 kHz mono signal. completionSignal releases the chunk's
// slot; it returns at once, may be called from any thread, and stays harmless after the stream
// is gone (it keeps the controller alive). Calling it twice releases twice.
struct IncrementalFileChunk {
  AudioChunk audioChunk{};
  std::function<void()> completionSignal{};
};

// The consumer's handle of an incremental stream. It owns the producer thread: destroying the
// stream ends it (as cancel()) and joins the producer. One consumer thread at a time may call
// next(); cancel() and the accessors are thread-safe.
class IncrementalAudioStream {
 public:
  using Channel = platform::sync::Channel<IncrementalFileChunk>;

  IncrementalAudioStream(const IncrementalAudioStream&) = delete;
  IncrementalAudioStream& operator=(const IncrementalAudioStream&) = delete;
  ~IncrementalAudioStream();

  // The next chunk, waiting for the producer; absent when the stream has finished or the
  // consumer's token (the one given to loadAudioIncrementally) is stopped, which also ends the
  // stream. Rethrows the error the producer finished with (a WhisperError, after the chunks
  // yielded before it).
  std::optional<IncrementalFileChunk> next();

  // Ends the stream early: buffered chunks are dropped, the producer stops at its next check.
  void cancel();

  // Chunks yielded by the producer and not yet taken by next().
  std::size_t bufferedChunkCount() const { return channel_->bufferedCount(); }
  // 1 while the consumer is blocked in next() waiting for the producer, else 0.
  std::size_t waitingConsumers() const { return channel_->waitingCount(); }
  const IncrementalLoadController& controller() const { return *controller_; }

 private:
  friend std::unique_ptr<IncrementalAudioStream> loadAudioIncrementally(
      const std::string& path, const ChannelMode& channelMode, double chunkDurationSeconds, int maxBufferedChunks,
      std::int64_t maxChunkLength, std::shared_ptr<const VoiceActivityDetector> vad, std::stop_token token);

  IncrementalAudioStream(std::string path, ChannelMode channelMode, double chunkDurationSeconds, int maxBufferedChunks,
                         std::int64_t maxChunkLength, std::shared_ptr<const VoiceActivityDetector> vad,
                         std::stop_token consumerToken);

  std::shared_ptr<Channel> channel_;
  std::shared_ptr<IncrementalLoadController> controller_;
  std::stop_token consumerToken_;
  std::jthread producer_;
  // Forwards a stop of the consumer's token to the producer.
  std::optional<std::stop_callback<std::function<void()>>> consumerStop_;
};

// The message of the rejection of a maximum chunk length that does not exceed the chunker's
// window padding (a producer could not advance with it).
inline constexpr const char* kIncrementalMaxChunkLengthMessage =
    "Incremental max chunk length must be greater than the window padding of 16000 samples";

// Streams the file at `path` as chunks: reads chunkDurationSeconds at a time (16 kHz mono,
// channels combined by `channelMode`), cuts the pending audio with a VADAudioChunker (window
// padding 16,000, `vad` or the default EnergyVAD when absent) into chunks of at most
// maxChunkLength samples and yields them in order, holding at most maxBufferedChunks chunks
// unreleased. The chunks together cover the whole signal with no gap and no overlap.
//
// Checks before the file is looked at, in this order, throwing WhisperError::loadAudioFailed:
// chunkDurationSeconds > 0 and finite ("Incremental chunk duration must be greater than 0");
// maxBufferedChunks >= 1 ("Incremental chunk buffer size must be greater than 0");
// maxChunkLength > 16000 (kIncrementalMaxChunkLengthMessage); then a file must exist at `path`
// ("Audio file not found at path: " + path). Failures while reading (the file cannot be opened
// or decoded) are logged ("Error loading audio file incrementally: " + text) and end the stream
// with a WhisperError that next() rethrows. `token` is the consumer's: stopping it ends the
// stream without an error and stops the producer. The caller owns the returned stream.
std::unique_ptr<IncrementalAudioStream> loadAudioIncrementally(
    const std::string& path, const ChannelMode& channelMode, double chunkDurationSeconds, int maxBufferedChunks,
    std::int64_t maxChunkLength, std::shared_ptr<const VoiceActivityDetector> vad = nullptr,
    std::stop_token token = {});

}  // namespace vostrane
