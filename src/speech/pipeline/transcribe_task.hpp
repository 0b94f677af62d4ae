// TranscribeTask: one transcription run over one array of 16 kHz mono samples. The task borrows
// the speech library's components (audio processor, feature extractor, audio encoder, text
// decoder, segment seeker, tokenizer) and drives them window by window: the audio is cut into
// seek clips, each clip into windows of at most one model window starting at the current seek;
// every window is padded, turned into log-mel features, encoded, decoded at rising temperatures
// until a result needs no fallback, and cut into timed segments by the seeker, which also says
// where the next window starts. At the end the collected tokens become the result's text.
//
// The main class makes one task per run; the streaming transcriber keeps one task and calls run
// repeatedly. A subclass may change each window through the two hooks (windowPreprocess before
// feature extraction, windowPostProcess after segment seeking) or replace any other step.
//
// Times: pipelineStart and the set-up, loop and whole-pipeline spans are read from the pipeline
// clock (pipelineClockNow, the clock the text decoder stamps firstTokenTime with), so the
// results of different runs can be compared and merged; per-stage spans of a window are
// measured on a steady clock.
//
// Thread-safety: none. One task runs one `run` at a time; its timings, tokenizer and callback
// must not be touched from elsewhere while a run is going. The callbacks handed to a run may be
// called from other threads (the text decoder reports progress on a worker thread).
#pragma once

#include <functional>
#include <memory>
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
#include "speech/model/decoding_records.hpp"
#include "speech/model/transcription_result.hpp"
#include "speech/model/transcription_timings.hpp"

namespace vostrane {

// Seconds on the pipeline clock: seconds since 1 January 2001 UTC on the system clock, the same
// clock for every run and every component. Thread-safe.
double pipelineClockNow();

// Receives the kept segments of every window that produced segments; may run on any thread.
using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;

class TranscribeTask {
 public:
  // `currentTimings` is copied into timings(). A null `progress` gets a new progress object of
  // 0 units; a null `audioProcessor` gets a new AudioProcessor. The other components must not be
  // null; they are shared with their owner (the main class) for the life of the task.
  TranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<noxtal::Progress> progress,
                 std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
                 std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
                 std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer);
  virtual ~TranscribeTask() = default;
  TranscribeTask(const TranscribeTask&) = delete;
  TranscribeTask& operator=(const TranscribeTask&) = delete;

  // The timing record, carried from run to run: per-stage sums and run counters keep growing,
  // pipelineStart keeps the earliest start, inputAudioSeconds, decodingInit, decodingLoop and
  // fullPipeline are overwritten by each run.
  virtual const TranscriptionTimings& timings() const { return timings_; }
  virtual void setTimings(TranscriptionTimings timings) { timings_ = timings; }
  virtual TranscriptionTimings& modifyTimings() { return timings_; }

  virtual std::shared_ptr<const WhisperTokenizer> tokenizer() const { return tokenizer_; }
  virtual void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) { tokenizer_ = std::move(tokenizer); }

  virtual const SegmentDiscoveryCallback& segmentDiscoveryCallback() const { return segmentDiscoveryCallback_; }
  virtual void setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback) {
    segmentDiscoveryCallback_ = std::move(callback);
  }

  // Unit counts in samples: total = the summed length of the run's clips (after clamping to
  // the audio), completed = samples covered so far; a finished run leaves completed = total.
  const std::shared_ptr<noxtal::Progress>& progress() const { return progress_; }

  // Called once per window after padding, before feature extraction. Does nothing here.
  virtual void windowPreprocess(const AudioProcessorOutputType& paddedAudio, int seek, int segmentSize);

  // Called once per window that produced segments, after the next seek is known; returns the
  // segments the run keeps for the window. Returns `originalSegments` unchanged here.
  virtual std::vector<TranscriptionSegment> windowPostProcess(int seek, int segmentSize,
                                                              std::vector<TranscriptionSegment> originalSegments);

  // Transcribes `audioArray` (read during the call only). `decodeOptions` absent means
  // DecodingOptions(); verbose is always replaced by whether logging is enabled. `callback`
  // receives the text decoder's progress reports (each with its window's windowId) and may stop
  // the current window early by answering false. Returns a new result (never null).
  //
  // Throws, with nothing partial returned:
  // - WhisperError::transcriptionFailed for options that cannot be run ("maxWindowSeek must be
  //   positive", "windowClipTime must be a finite number of seconds at least 0", "Model window
  //   must hold at least one sample") before any window; "Audio samples are nil", "Mel output
  //   is nil", "Encoder output is nil" when a component gives nothing;
  // - WhisperError::prepareDecoderInputsFailed when the decoder inputs cannot be prepared, or
  //   hold fewer than 224 cache positions, before the first window;
  // - platform::sync::CancellationError when `stopToken` is stopped, at the checks after the
  //   pre-processing hook, after the log-mel step and before decoding (and inside components);
  // - the components' errors unchanged.
  // Clip timestamps are clamped to the audio; empty or reversed clips are skipped. Segments
  // already handed to segmentDiscoveryCallback and timings already added stay on failure.
  virtual std::shared_ptr<TranscriptionResult> run(std::span<const float> audioArray,
                                                   const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                   const DecodingCallback& callback = {},
                                                   std::stop_token stopToken = {});

  // The result of a run: the tokens below specialTokenBegin decoded by the tokenizer, leading
  // and trailing spaces and tabs removed; the segments as given; the language or "en"; the
  // timings as given; no seek time. Throws WhisperError::tokenizerUnavailable without a
  // tokenizer.
  virtual std::shared_ptr<TranscriptionResult> finalizeTranscriptionResult(
      const std::vector<int>& tokens, std::vector<TranscriptionSegment> segments,
      const std::optional<std::string>& language, const TranscriptionTimings& timings) const;

  // Decodes one window at the temperatures temperature + i x temperatureIncrementOnFallback,
  // i = 0 ... temperatureFallbackCount (a negative count counts as 0), each attempt with a new
  // GreedyTokenSampler, until a result needs no fallback; the last result is returned even when
  // it still needs one. For a multilingual decoder with no language in the options and
  // detectLanguage set, every attempt detects the language first (a failed detection leaves
  // the language absent) and, with usePrefillPrompt, prefills `decoderInputs` again.
  // `detectedLanguage` takes the detected language, or the first result's language when it is
  // absent. Each result's timings are merged into timings(); a fallback adds its time to
  // decodingFallback, sets totalDecodingFallbacks to its zero-based attempt index and resets
  // the decoder inputs. Throws the prefill's and the decoder's errors unchanged,
  // WhisperError::prepareDecoderInputsFailed when the inputs cannot be reset to 224 positions,
  // and platform::sync::CancellationError.
  virtual DecodingResult decodeWithFallback(const AudioEncoderOutputType& encoderOutput,
                                            const DecodingOptions& decodingOptions,
                                            std::shared_ptr<DecodingInputsType>& decoderInputs,
                                            std::optional<std::string>& detectedLanguage,
                                            const DecodingCallback& callback = {}, std::stop_token stopToken = {});

 protected:
  AudioEncoding& audioEncoder() const { return *audioEncoder_; }
  FeatureExtracting& featureExtractor() const { return *featureExtractor_; }
  SegmentSeeking& segmentSeeker() const { return *segmentSeeker_; }
  TextDecoding& textDecoder() const { return *textDecoder_; }
  AudioProcessing& audioProcessor() const { return *audioProcessor_; }

 private:
  // The tokenizer, or WhisperError::tokenizerUnavailable.
  const WhisperTokenizer& requireTokenizer() const;

  TranscriptionTimings timings_;
  std::shared_ptr<noxtal::Progress> progress_;
  std::shared_ptr<AudioEncoding> audioEncoder_;
  std::shared_ptr<FeatureExtracting> featureExtractor_;
  std::shared_ptr<SegmentSeeking> segmentSeeker_;
  std::shared_ptr<TextDecoding> textDecoder_;
  std::shared_ptr<AudioProcessing> audioProcessor_;
  std::shared_ptr<const WhisperTokenizer> tokenizer_;
  SegmentDiscoveryCallback segmentDiscoveryCallback_;
};

// Resets `inputs` for a new window with the library's 224-token context, reporting inputs that
// hold fewer positions as WhisperError::prepareDecoderInputsFailed.
void resetDecoderInputs(DecodingInputsType& inputs);

}  // namespace vostrane
