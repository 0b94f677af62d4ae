#include "speech/pipeline/audio_stream_transcriber.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "core/logging.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sys/checked_cast.hpp"
#include "speech/audio/audio_processor.hpp"
#include "speech/decoding/text_utilities.hpp"
#include "speech/model/transcription_timings.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {
namespace {

using noxtal::Logging;
constexpr auto kPassWait = std::chrono::milliseconds(100);

// Whether `run` occurs as a contiguous run inside `in`.
bool containsRun(const std::vector<TranscriptionSegment>& in, const std::vector<TranscriptionSegment>& run) {
  return std::search(in.begin(), in.end(), run.begin(), run.end()) != in.end() || run.empty();
}

// Characters of UTF-8 text (code points).
std::size_t characterCount(const std::string& text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0U) != 0x80U; }));
}

}  // namespace

AudioStreamTranscriber::PermissionCheck AudioStreamTranscriber::defaultPermissionCheck() {
  return [] { return AudioProcessor::requestRecordPermission(); };
}

std::shared_ptr<AudioStreamTranscriber> AudioStreamTranscriber::make(
    std::shared_ptr<AudioEncoding> audioEncoder, std::shared_ptr<FeatureExtracting> featureExtractor,
    std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
    std::shared_ptr<const WhisperTokenizer> tokenizer, std::shared_ptr<AudioProcessing> audioProcessor,
    DecodingOptions decodingOptions, int requiredSegmentsForConfirmation, float silenceThreshold,
    int compressionCheckWindow, bool useVAD, StateChangeCallback stateChangeCallback,
    PermissionCheck permissionCheck) {
  if (requiredSegmentsForConfirmation < 0) {
    throw WhisperError::initializationError("requiredSegmentsForConfirmation must not be negative");
  }
  if (compressionCheckWindow < 1) {
    throw WhisperError::initializationError("compressionCheckWindow must be at least 1");
  }
  if (!audioEncoder || !featureExtractor || !segmentSeeker || !textDecoder || !tokenizer || !audioProcessor) {
    throw WhisperError::initializationError("AudioStreamTranscriber needs every model component and an audio processor");
  }
  if (!permissionCheck) permissionCheck = defaultPermissionCheck();
  auto task = std::make_unique<TranscribeTask>(TranscriptionTimings{}, noxtal::Progress::make(0), audioProcessor,
                                               std::move(audioEncoder), std::move(featureExtractor),
                                               std::move(segmentSeeker), std::move(textDecoder), std::move(tokenizer));
  Settings settings{requiredSegmentsForConfirmation, useVAD, silenceThreshold, compressionCheckWindow,
                    std::move(decodingOptions)};
  return std::shared_ptr<AudioStreamTranscriber>(new AudioStreamTranscriber(
      std::move(task), std::move(audioProcessor), std::move(settings), std::move(stateChangeCallback),
      std::move(permissionCheck)));
}

AudioStreamTranscriber::AudioStreamTranscriber(std::unique_ptr<TranscribeTask> task,
                                               std::shared_ptr<AudioProcessing> audioProcessor, Settings settings,
                                               StateChangeCallback callback, PermissionCheck permissionCheck)
    : settings_(std::move(settings)),
      stateChangeCallback_(std::move(callback)),
      permissionCheck_(std::move(permissionCheck)),
      transcribeTask_(std::move(task)),
      audioProcessor_(std::move(audioProcessor)) {}

AudioStreamTranscriber::~AudioStreamTranscriber() = default;

AudioStreamTranscriber::State AudioStreamTranscriber::state() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return state_;
}

void AudioStreamTranscriber::setState(const std::function<void(State&)>& change) { setStateIf(nullptr, change); }

bool AudioStreamTranscriber::setStateIf(const std::function<bool(const State&)>& applies,
                                        const std::function<void(State&)>& change) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (applies && !applies(state_)) return false;
    State old = state_;
    change(state_);
    if (stateChangeCallback_) pendingChanges_.emplace_back(std::move(old), state_);
  }
  wake_.notify_all();
  deliverStateChanges();
  return true;
}

// Whoever finds no delivery under way drains the queue; a write made meanwhile (also from
// inside the callback) is queued and delivered by that same drainer, so the calls never
// overlap and keep write order.
void AudioStreamTranscriber::deliverStateChanges() {
  if (!stateChangeCallback_) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (delivering_) return;
  delivering_ = true;
  while (!pendingChanges_.empty()) {
    auto change = std::move(pendingChanges_.front());
    pendingChanges_.erase(pendingChanges_.begin());
    lock.unlock();
    try {
      stateChangeCallback_(change.first, change.second);
    } catch (...) {
      lock.lock();
      delivering_ = false;
      throw;
    }
    lock.lock();
  }
  delivering_ = false;
}

void AudioStreamTranscriber::sleepBriefly(const std::stop_token& stopToken) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, stopToken, kPassWait, [this] { return !state_.isRecording; });
  }
  if (stopToken.stop_requested()) throw platform::sync::CancellationError();
}

void AudioStreamTranscriber::startStreamTranscription(std::stop_token stopToken) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (state_.isRecording) return;
  }
  if (!permissionCheck_()) {
    Logging::error("Microphone access was not granted.");
    return;
  }
  // Checked and set in one step: of two starts racing past the first check, only one goes on.
  if (!setStateIf([](const State& s) { return !s.isRecording; }, [](State& s) { s.isRecording = true; })) return;
  std::weak_ptr<AudioStreamTranscriber> weak = weak_from_this();
  try {
    audioProcessor_->startRecordingLive(std::nullopt, [weak](const std::vector<float>&) {
      const auto self = weak.lock();
      if (!self) return;
      auto energies = self->audioProcessor_->relativeEnergy();
      self->setState([&](State& s) { s.bufferEnergy = std::move(energies); });
    });
  } catch (...) {
    setState([](State& s) { s.isRecording = false; });
    throw;
  }
  // Capture starts with empty samples: count the new recording from its beginning.
  setState([](State& s) {
    s.lastBufferSize = 0;
    s.lastConfirmedSegmentEndSeconds = 0;
  });
  Logging::info("Realtime transcription has started");
  while (state().isRecording) {
    try {
      transcribeCurrentBuffer(stopToken);
    } catch (const std::exception& error) {
      Logging::error(std::string("Error: ") + error.what());
      return;  // capture keeps running until stop is called
    }
  }
  // A stop asked from inside the capture callback takes effect only once that callback
  // returns. Waiting for it here means no capture callback, and so no state report from the
  // capture thread, is still running once this returns.
  audioProcessor_->stopRecording();
}

void AudioStreamTranscriber::stopStreamTranscription() {
  setState([](State& s) { s.isRecording = false; });
  audioProcessor_->stopRecording();
  Logging::info("Realtime transcription has ended");
}

void AudioStreamTranscriber::transcribeCurrentBuffer(std::stop_token stopToken) {
  std::lock_guard<std::mutex> pass(passMutex_);
  const std::vector<float> samples = audioProcessor_->audioSamples();
  const State current = state();
  const float newSeconds =
      static_cast<float>(static_cast<double>(samples.size()) - current.lastBufferSize) / 16000.0F;
  const auto waitForSpeech = [&] {
    if (state().currentText.empty()) {
      setState([](State& s) {
        if (s.currentText.empty()) s.currentText = kWaitingForSpeech;
      });
    }
    sleepBriefly(stopToken);
  };
  if (newSeconds <= 1.0F) {
    waitForSpeech();
    return;
  }
  if (settings_.useVAD) {
    const std::vector<float> energies = audioProcessor_->relativeEnergy();
    if (!AudioProcessor::isVoiceDetected(energies, newSeconds, settings_.silenceThreshold)) {
      Logging::debug("No voice detected, skipping transcribe");
      waitForSpeech();
      return;
    }
  }
  const int sampleCount = static_cast<int>(samples.size());
  setState([&](State& s) { s.lastBufferSize = sampleCount; });

  const auto result = transcribeAudioSamples(samples, stopToken);
  if (!result) throw WhisperError::transcriptionFailed("Transcription produced no result");

  setState([](State& s) { s.currentText.clear(); });
  setState([](State& s) { s.unconfirmedText.clear(); });

  const std::vector<TranscriptionSegment> segments = result->segments();
  const auto required = static_cast<std::size_t>(settings_.requiredSegmentsForConfirmation);
  if (segments.size() > required) {
    const auto split = segments.end() - static_cast<std::ptrdiff_t>(required);
    std::vector<TranscriptionSegment> confirmed(segments.begin(), split);
    std::vector<TranscriptionSegment> remaining(split, segments.end());
    if (!confirmed.empty() && confirmed.back().end > state().lastConfirmedSegmentEndSeconds) {
      const float end = confirmed.back().end;
      setState([&](State& s) { s.lastConfirmedSegmentEndSeconds = end; });
      if (!containsRun(state().confirmedSegments, confirmed)) {
        setState([&](State& s) {
          s.confirmedSegments.insert(s.confirmedSegments.end(), confirmed.begin(), confirmed.end());
        });
      }
    }
    setState([&](State& s) { s.unconfirmedSegments = std::move(remaining); });
  } else {
    setState([&](State& s) { s.unconfirmedSegments = segments; });
  }
}

std::shared_ptr<TranscriptionResult> AudioStreamTranscriber::transcribeAudioSamples(std::span<const float> samples,
                                                                                    std::stop_token stopToken) {
  DecodingOptions options = settings_.decodingOptions;
  options.clipTimestamps = {state().lastConfirmedSegmentEndSeconds};
  std::weak_ptr<AudioStreamTranscriber> weak = weak_from_this();
  const DecodingCallback check = [weak](const TranscriptionProgress& progress) -> std::optional<bool> {
    const auto self = weak.lock();
    if (!self) return std::nullopt;
    return self->progressCheck(progress);
  };
  return transcribeTask_->run(samples, options, check, std::move(stopToken));
}

std::optional<bool> AudioStreamTranscriber::progressCheck(const TranscriptionProgress& progress) {
  onProgressCallback(progress);
  const auto window = static_cast<std::size_t>(settings_.compressionCheckWindow);
  const DecodingOptions& options = settings_.decodingOptions;
  // Without a threshold there is nothing to compare the ratio with: no compression test.
  if (progress.tokens.size() > window && options.compressionRatioThreshold) {
    const std::span<const int> newest(progress.tokens.data() + (progress.tokens.size() - window), window);
    if (TextUtilities::compressionRatio(newest) > *options.compressionRatioThreshold) return false;
  }
  if (progress.avgLogprob && options.logProbThreshold && *progress.avgLogprob < *options.logProbThreshold) {
    return false;
  }
  return std::nullopt;
}

void AudioStreamTranscriber::onProgressCallback(const TranscriptionProgress& progress) {
  const int fallbacks = platform::sys::checkedIntegerCast<int>(progress.timings.totalDecodingFallbacks).value_or(0);
  const State current = state();
  if (characterCount(progress.text) < characterCount(current.currentText)) {
    if (fallbacks == current.currentFallbacks) {
      setState([&](State& s) { s.unconfirmedText.push_back(current.currentText); });
    } else {
      Logging::info("Fallback occured: " + std::to_string(fallbacks));
    }
  }
  setState([&](State& s) { s.currentText = progress.text; });
  setState([&](State& s) { s.currentFallbacks = fallbacks; });
}

}  // namespace vostrane
