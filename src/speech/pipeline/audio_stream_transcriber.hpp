// AudioStreamTranscriber: transcribes live microphone audio while it is being recorded.
//
// It starts live capture through an AudioProcessing, then loops while recording lasts: whenever
// more than one second of new audio has arrived (and, with useVAD, the newest audio holds
// voice) it runs its one TranscribeTask over everything captured so far, starting at the end of
// the last confirmed segment. All but the last requiredSegmentsForConfirmation segments of a
// pass are confirmed (final); the rest stay unconfirmed until a later pass revises them.
//
// Threads: the object is made by make() and held by std::shared_ptr; capture and progress work
// hold it weakly. startStreamTranscription() runs the loop on the caller's thread and returns
// after stop. One private mutex guards the state; it is never held while a pass transcribes or a
// callback runs, so stopStreamTranscription(), buffer energies (capture thread) and progress
// reports (decoding thread) arrive during a pass. Every state write goes through one setter:
// the state-change callback receives (old, new) for each write, one call at a time, in write
// order, and may call stopStreamTranscription().
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "core/progress.hpp"
#include "speech/audio/audio_encoder.hpp"
#include "speech/audio/audio_processing.hpp"
#include "speech/audio/feature_extractor.hpp"
#include "speech/decoding/segment_seeker.hpp"
#include "speech/decoding/text_decoding.hpp"
#include "speech/decoding/whisper_tokenizer.hpp"
#include "speech/model/decoding_options.hpp"
#include "speech/model/transcription_result.hpp"
#include "speech/pipeline/transcribe_task.hpp"

namespace vostrane {

class AudioStreamTranscriber : public std::enable_shared_from_this<AudioStreamTranscriber> {
 public:
  struct State {
    bool isRecording = false;
    int currentFallbacks = 0;
    int lastBufferSize = 0;
    float lastConfirmedSegmentEndSeconds = 0;
    std::vector<float> bufferEnergy{};
    std::string currentText{};
    std::vector<TranscriptionSegment> confirmedSegments{};
    std::vector<TranscriptionSegment> unconfirmedSegments{};
    std::vector<std::string> unconfirmedText{};
  };

  using StateChangeCallback = std::function<void(const State& oldState, const State& newState)>;
  // Whether the microphone may be used; the default asks AudioProcessor::requestRecordPermission().
  using PermissionCheck = std::function<bool()>;

  static constexpr const char* kWaitingForSpeech = "Waiting for speech...";

  // Throws WhisperError::initializationError when requiredSegmentsForConfirmation < 0 or
  // compressionCheckWindow < 1, or when a component or the audio processor is null.
  static std::shared_ptr<AudioStreamTranscriber> make(
      std::shared_ptr<AudioEncoding> audioEncoder, std::shared_ptr<FeatureExtracting> featureExtractor,
      std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
      std::shared_ptr<const WhisperTokenizer> tokenizer, std::shared_ptr<AudioProcessing> audioProcessor,
      DecodingOptions decodingOptions, int requiredSegmentsForConfirmation = 2, float silenceThreshold = 0.3F,
      int compressionCheckWindow = 60, bool useVAD = true, StateChangeCallback stateChangeCallback = {},
      PermissionCheck permissionCheck = defaultPermissionCheck());

  ~AudioStreamTranscriber();
  AudioStreamTranscriber(const AudioStreamTranscriber&) = delete;
  AudioStreamTranscriber& operator=(const AudioStreamTranscriber&) = delete;

  static PermissionCheck defaultPermissionCheck();

  // A copy of the current state.
  State state() const;

  // Permission, capture, then passes while recording; returns after stop, after a failing pass
  // (logged, not thrown) and at once when already recording. A refused permission logs an error
  // and returns. A capture start failure is thrown (isRecording is false again then). A stopped
  // `stopToken` fails the pass under way and so ends the loop. After a stop it returns once
  // capture has ended, so no state report from the capture thread follows its return.
  void startStreamTranscription(std::stop_token stopToken = {});
  // Sets isRecording false, stops capture; the loop ends after its current pass.
  void stopStreamTranscription();

  // --- the loop's steps (public for tests) ----------------------------------------------------

  // One pass: waits 100 ms when there is too little new audio or no voice, else transcribes.
  void transcribeCurrentBuffer(std::stop_token stopToken = {});
  std::shared_ptr<TranscriptionResult> transcribeAudioSamples(std::span<const float> samples,
                                                              std::stop_token stopToken = {});
  // The decoder's progress callback: records the report, then answers false to stop the window
  // when its newest tokens repeat (compression) or its average log-probability is too low.
  std::optional<bool> progressCheck(const TranscriptionProgress& progress);
  void onProgressCallback(const TranscriptionProgress& progress);

  const TranscribeTask& transcribeTask() const { return *transcribeTask_; }

 private:
  struct Settings {
    int requiredSegmentsForConfirmation;
    bool useVAD;
    float silenceThreshold;
    int compressionCheckWindow;
    DecodingOptions decodingOptions;
  };
  AudioStreamTranscriber(std::unique_ptr<TranscribeTask> task, std::shared_ptr<AudioProcessing> audioProcessor,
                         Settings settings, StateChangeCallback callback, PermissionCheck permissionCheck);

  // The one state setter: applies `change` under the lock, then reports (old, new).
  void setState(const std::function<void(State&)>& change);
  // The same, when `applies` holds for the state at that moment (checked under the same lock);
  // returns whether the change was made. Nothing is reported when it was not.
  bool setStateIf(const std::function<bool(const State&)>& applies, const std::function<void(State&)>& change);
  void deliverStateChanges();
  // Waits 100 ms, woken early by stop or the token; throws CancellationError for a stopped token.
  void sleepBriefly(const std::stop_token& stopToken);

  const Settings settings_;
  const StateChangeCallback stateChangeCallback_;
  const PermissionCheck permissionCheck_;
  std::unique_ptr<TranscribeTask> transcribeTask_;
  std::shared_ptr<AudioProcessing> audioProcessor_;

  mutable std::mutex mutex_;
  std::condition_variable_any wake_;
  State state_;
  std::vector<std::pair<State, State>> pendingChanges_;  // guarded by mutex_
  bool delivering_ = false;                              // guarded by mutex_
  std::mutex passMutex_;                                 // one pass at a time
};

}  // namespace vostrane
