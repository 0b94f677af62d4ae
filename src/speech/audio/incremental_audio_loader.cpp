#include "speech/audio/incremental_audio_loader.hpp"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <utility>
#include <vector>

#include "core/logging.hpp"
#include "platform/audio/audio_file.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sys/checked_cast.hpp"
#include "speech/audio/audio_processor.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {

namespace {

using noxtal::Logging;
using platform::sync::CancellationError;
using platform::sync::throwIfStopped;

constexpr std::int64_t kWindowPadding = 16000;

struct ProducerParameters {
  std::string path;
  ChannelMode channelMode;
  double chunkDurationSeconds;
  std::int64_t maxChunkLength;
  std::shared_ptr<const VoiceActivityDetector> vad;
};

// Reads the file in spans of chunkDurationSeconds into the pending samples, cuts them and yields
// the chunks that are final. Pending samples P start at index `base` of the whole signal.
void produce(const ProducerParameters& p, IncrementalAudioStream::Channel& channel,
             const std::shared_ptr<IncrementalLoadController>& controller, const std::stop_token& stop) {
  std::unique_ptr<platform::audio::AudioFile> file;
  try {
    file = platform::audio::AudioFile::open(p.path);
  } catch (const platform::audio::AudioFileError& e) {
    throw WhisperError::loadAudioFailed("Cannot open audio file " + p.path + ": " + e.what());
  }
  const double rate = file->fileFormat().sampleRate;
  // A compressed file's length is an estimate: read it until a read comes back short.
  const bool exactLength = file->lengthIsExact();
  const VADAudioChunker chunker(kWindowPadding, p.vad);
  // One reader for the whole file: its resampler runs on across refills, so the refills join
  // without a seam and add up to the samples of one whole-file load.
  AudioProcessor::SequentialReader reader(*file, p.channelMode);
  throwIfStopped(stop);

  std::vector<float> pending;
  std::int64_t base = 0;
  std::int64_t readIndex = 0;  // span k covers [k d, (k + 1) d): no rounding drift between spans
  bool fullyRead = false;
  const auto maxLength = static_cast<std::size_t>(p.maxChunkLength);
  // Pending samples never exceed one chunk plus one read: reserving that once keeps the vector
  // from reallocating (and briefly doubling) on every refill. Huge chunk lengths or read
  // durations (a caller asking for no cut at all) are left to grow on demand.
  const double reserved =
      static_cast<double>(p.maxChunkLength) + p.chunkDurationSeconds * AudioProcessor::kTargetSampleRate + 4096.0;
  if (reserved < 64e6) pending.reserve(platform::sys::saturatingIntegerCast<std::size_t>(reserved));

  // The first frame of span k (the same product for the end of span k - 1).
  auto spanStart = [&](std::int64_t k) {
    return platform::sys::saturatingIntegerCast<std::int64_t>(static_cast<double>(k) * p.chunkDurationSeconds * rate);
  };
  auto fill = [&] {
    while (pending.size() <= maxLength && !fullyRead) {
      throwIfStopped(stop);
      const std::int64_t start = spanStart(readIndex);
      std::int64_t end = spanStart(readIndex + 1);
      if (exactLength) end = std::min(end, file->length());
      ++readIndex;
      // Read straight into the pending samples.
      const std::int64_t frames = std::max<std::int64_t>(0, end - start);
      const std::int64_t got = reader.read(frames, pending);
      if ((exactLength && end >= file->length()) || got < frames) {
        reader.finish(pending);
        fullyRead = true;
      }
    }
  };

  while (true) {
    fill();
    if (pending.empty()) return;
    auto chunks = chunker.chunkAll(pending, p.maxChunkLength, std::nullopt);
    // While the file is still being read, a chunk is final only when a full window of audio
    // followed its start when it was cut.
    std::size_t ready = chunks.size();
    if (!fullyRead) {
      // Here the pending samples exceed maxChunkLength, so the difference is positive.
      const std::int64_t lastFinalStart = static_cast<std::int64_t>(pending.size()) - p.maxChunkLength;
      ready = 0;
      while (ready < chunks.size() && chunks[ready].seekOffsetIndex <= lastFinalStart) ++ready;
    }
    if (ready == 0) {
      if (fullyRead) return;
      throwIfStopped(stop);
      continue;
    }
    std::int64_t consumed = 0;
    for (std::size_t i = 0; i < ready; ++i) {
      if (!controller->requestChunkSlot(stop)) throw CancellationError();
      throwIfStopped(stop);
      AudioChunk& chunk = chunks[i];
      consumed = chunk.seekOffsetIndex + static_cast<std::int64_t>(chunk.audioSamples.size());
      IncrementalFileChunk out{AudioChunk(chunk.seekOffsetIndex + base, std::move(chunk.audioSamples)),
                               [controller] { controller->releaseChunkSlot(); }};
      if (!channel.push(std::move(out))) throw CancellationError();
    }
    if (fullyRead) return;
    base += consumed;
    pending.erase(pending.begin(), pending.begin() + consumed);
    throwIfStopped(stop);
  }
}

}  // namespace

IncrementalLoadController::IncrementalLoadController(int maxBufferedChunks) : maxBufferedChunks_(maxBufferedChunks) {
  if (maxBufferedChunks_ < 1) throw std::invalid_argument("IncrementalLoadController: maxBufferedChunks must be >= 1");
}

int IncrementalLoadController::activeChunks() const {
  std::lock_guard<std::mutex> guard(m_);
  return activeChunks_;
}

int IncrementalLoadController::waitingRequests() const {
  std::lock_guard<std::mutex> guard(m_);
  return waitingRequests_;
}

bool IncrementalLoadController::isTerminated() const {
  std::lock_guard<std::mutex> guard(m_);
  return isTerminated_;
}

bool IncrementalLoadController::requestChunkSlot(std::stop_token token) {
  std::unique_lock<std::mutex> lock(m_);
  ++waitingRequests_;
  cv_.wait(lock, token, [&] { return isTerminated_ || activeChunks_ < maxBufferedChunks_; });
  --waitingRequests_;
  if (isTerminated_ || activeChunks_ >= maxBufferedChunks_) return false;
  ++activeChunks_;
  return true;
}

void IncrementalLoadController::releaseChunkSlot() {
  std::lock_guard<std::mutex> guard(m_);
  if (activeChunks_ <= 0) return;
  --activeChunks_;
  cv_.notify_all();
}

void IncrementalLoadController::terminate() {
  std::lock_guard<std::mutex> guard(m_);
  isTerminated_ = true;
  cv_.notify_all();
}

IncrementalAudioStream::IncrementalAudioStream(std::string path, ChannelMode channelMode, double chunkDurationSeconds,
                                               int maxBufferedChunks, std::int64_t maxChunkLength,
                                               std::shared_ptr<const VoiceActivityDetector> vad,
                                               std::stop_token consumerToken)
    : channel_(std::make_shared<Channel>()),
      controller_(std::make_shared<IncrementalLoadController>(maxBufferedChunks)),
      consumerToken_(std::move(consumerToken)) {
  ProducerParameters parameters{std::move(path), std::move(channelMode), chunkDurationSeconds, maxChunkLength,
                                std::move(vad)};
  producer_ = std::jthread(
      [parameters = std::move(parameters), channel = channel_, controller = controller_](std::stop_token stop) {
        // The error is handed to the channel only after the handler has ended, so this thread keeps
        // no reference to the exception once the consumer can see it.
        std::exception_ptr error;
        try {
          produce(parameters, *channel, controller, stop);
        } catch (const CancellationError&) {
        } catch (const WhisperError& e) {
          Logging::error("Error loading audio file incrementally: " + e.message());
          error = std::current_exception();
        } catch (const std::exception& e) {
          Logging::error(std::string("Error loading audio file incrementally: ") + e.what());
          error = std::current_exception();
        } catch (...) {
          Logging::error("Error loading audio file incrementally: unknown error");
          error = std::current_exception();
        }
        if (error) {
          channel->finish(std::move(error));
        } else {
          channel->finish();
        }
      });
  // However the stream ends, the producer is told to stop and a producer waiting for a slot is
  // woken. The handler only signals: it may run on the producer thread itself.
  channel_->onTermination([stop = producer_.get_stop_source(), controller = controller_](Channel::Termination) mutable {
    stop.request_stop();
    controller->terminate();
  });
  if (consumerToken_.stop_possible()) {
    consumerStop_.emplace(
        consumerToken_, std::function<void()>([stop = producer_.get_stop_source()]() mutable { stop.request_stop(); }));
  }
}

IncrementalAudioStream::~IncrementalAudioStream() {
  consumerStop_.reset();
  cancel();
  if (producer_.joinable()) {
    producer_.request_stop();
    producer_.join();
  }
}

std::optional<IncrementalFileChunk> IncrementalAudioStream::next() {
  if (consumerToken_.stop_requested()) {
    cancel();
    return std::nullopt;
  }
  try {
    return channel_->pop(consumerToken_);
  } catch (const CancellationError&) {
    cancel();
    return std::nullopt;
  }
}

void IncrementalAudioStream::cancel() {
  channel_->cancel();
  controller_->terminate();
}

std::unique_ptr<IncrementalAudioStream> loadAudioIncrementally(const std::string& path, const ChannelMode& channelMode,
                                                               double chunkDurationSeconds, int maxBufferedChunks,
                                                               std::int64_t maxChunkLength,
                                                               std::shared_ptr<const VoiceActivityDetector> vad,
                                                               std::stop_token token) {
  if (!(chunkDurationSeconds > 0) || !std::isfinite(chunkDurationSeconds)) {
    throw WhisperError::loadAudioFailed("Incremental chunk duration must be greater than 0");
  }
  if (maxBufferedChunks < 1) {
    throw WhisperError::loadAudioFailed("Incremental chunk buffer size must be greater than 0");
  }
  if (maxChunkLength <= kWindowPadding) throw WhisperError::loadAudioFailed(kIncrementalMaxChunkLengthMessage);
  std::error_code ignored;
  if (!std::filesystem::exists(path, ignored)) {
    throw WhisperError::loadAudioFailed("Audio file not found at path: " + path);
  }
  return std::unique_ptr<IncrementalAudioStream>(new IncrementalAudioStream(
      path, channelMode, chunkDurationSeconds, maxBufferedChunks, maxChunkLength, std::move(vad), std::move(token)));
}

}  // namespace vostrane
