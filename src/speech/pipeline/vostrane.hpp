// Vostrane: the speech library's main class. One instance owns the components of one speech
// pipeline (audio processor, mel feature extractor, audio encoder, text decoder, segment seeker,
// optional voice activity detector, tokenizer), their compute units, the model load state with
// its change callback, the running timings and the progress object, and the folders its models
// and tokenizers live in. It finds and downloads a model folder (the static discovery and
// download operations), loads, prewarms and unloads the three models with their tokenizer, and
// is what the transcription entry points run on.
//
// Construction: Vostrane::create(config) builds the instance and then runs the overridable
// steps setupModels, prewarmModels and loadModels through virtual dispatch, so a subclass's
// overrides apply (a subclass is made with Vostrane::create<Derived>(config)).
//
// Thread-safety: every member may be called from any thread. One mutex guards the mutable
// fields (state, timings, tokenizer, progress, variant, folders, components, callbacks); it is
// never held across a model load, a prediction, I/O or a callback. Loads, prewarms and unloads
// run one at a time (a second caller waits for the first); ensureLoaded() checks the state
// again after waiting, so concurrent callers load the models once. Components are shared
// pointers: a transcription takes a consistent snapshot (components()) and keeps it for its run
// even when a caller replaces a component or unloads meanwhile. The callbacks may be called from
// any thread and must be thread-safe; they must not wait for another thread's load.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "core/hub/hub_api_wrapper.hpp"
#include "core/model_state.hpp"
#include "core/progress.hpp"
#include "platform/sync/mutex.hpp"
#include "speech/audio/incremental_audio_loader.hpp"
#include "speech/model/model_support.hpp"
#include "speech/model/transcription_result.hpp"
#include "speech/model/transcription_timings.hpp"
#include "speech/pipeline/transcribe_task.hpp"
#include "speech/pipeline/transcription_outcome.hpp"
#include "speech/pipeline/vostrane_config.hpp"

namespace vostrane {

class Vostrane : public std::enable_shared_from_this<Vostrane> {
 public:
  // Samples per second of all audio the library handles.
  static constexpr int sampleRate = 16000;
  // Samples per mel frame.
  static constexpr int hopLength = 160;
  // Seconds per timestamp token.
  static constexpr float secondsPerTimeToken = 0.02f;
  static constexpr bool isRunningOnSimulator = false;
  // The default hub repository of the speech models.
  static constexpr std::string_view defaultModelRepo = "didezuraz/vostrane-coreml";
  // The model files inside a model folder.
  static constexpr std::string_view melModelName = "MelSpectrogram";
  static constexpr std::string_view audioEncoderModelName = "AudioEncoder";
  static constexpr std::string_view textDecoderModelName = "TextDecoder";

  using ModelStateCallback = std::function<void(std::optional<noxtal::ModelState> oldState, noxtal::ModelState newState)>;
  using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;
  using TranscriptionStateCallback = std::function<void(TranscriptionState)>;
  using DownloadProgressCallback = std::function<void(const noxtal::Progress&)>;

  // Only Vostrane makes these, so instances come from create() alone.
  class ConstructionKey {
    friend class Vostrane;
    ConstructionKey() = default;
  };

  // Builds an instance of `Derived` (Vostrane or a subclass constructible from
  // (ConstructionKey, const VostraneConfig&)) and then, in this order: setupModels with the
  // configured model, downloadBase, modelRepo, modelToken, modelFolder, download, "config.json"
  // and modelEndpoint (else Constants::defaultRemoteEndpoint); prewarmModels when prewarm is
  // true (info "Prewarming models..."); loadModels(false) when load is true, or load is absent
  // and modelFolder is present (info "Loading models..."). Any error of these steps ends
  // construction with that error (a WhisperError, or CancellationError); no instance results.
  template <class Derived = Vostrane>
  static std::shared_ptr<Derived> create(VostraneConfig config, std::stop_token stopToken = {}) {
    auto instance = std::make_shared<Derived>(ConstructionKey{}, config);
    instance->finishConstruction(config, stopToken);
    return instance;
  }

  // Copies the configuration's settings: compute units, audio options, components (new default
  // ones for those absent), logits filters into the text decoder, tokenizer folder (else the
  // download base), the background flag; the timings reset; the process-wide log level
  // (logLevel when verbose, else none). State unloaded, variant tiny, no model folder. Use
  // create(); a subclass constructor passes the key on.
  Vostrane(ConstructionKey, const VostraneConfig& config);
  Vostrane(const Vostrane&) = delete;
  Vostrane& operator=(const Vostrane&) = delete;
  // Stops the audio processor's recording.
  virtual ~Vostrane();

  // The machine's model identifier (noxtal hwModel), matched against the device-support rows.
  static std::string deviceName();

  // ---- model discovery and download (no instance needed; each call makes its own hub client)

  // The built-in model support of this machine (debug "Running on <device>").
  static ModelSupport recommendedModels();
  // The repository's model-support file `remoteConfigName` as a ModelSupportConfig: listed and
  // fetched through the hub at revision "main" (the first of several matches, after an info
  // line); the built-in table when there is no such file (info line ending ", using fallback")
  // or listing, download, reading or decoding fails (error line). Never throws but for
  // CancellationError.
  static ModelSupportConfig fetchModelSupportConfig(const std::string& repo,
                                                    const std::optional<std::filesystem::path>& downloadBase,
                                                    const std::optional<std::string>& token,
                                                    const std::string& remoteConfigName, const std::string& endpoint,
                                                    std::stop_token stopToken = {});
  // That file's model support for deviceName(). Never throws but for CancellationError.
  static ModelSupport recommendedRemoteModels(const std::string& repo,
                                              const std::optional<std::filesystem::path>& downloadBase,
                                              const std::optional<std::string>& token,
                                              const std::string& remoteConfigName, const std::string& endpoint,
                                              std::stop_token stopToken = {});
  // The supported models of that support matched by any of `matching` (shell globs), each
  // once, in ModelUtilities::formatModelFiles form and order. Never throws but for
  // CancellationError (the look-up falls back to the built-in table).
  static std::vector<std::string> fetchAvailableModels(const std::string& repo, const std::vector<std::string>& matching,
                                                       const std::optional<std::filesystem::path>& downloadBase,
                                                       const std::optional<std::string>& token,
                                                       const std::string& remoteConfigName,
                                                       const std::string& endpoint, std::stop_token stopToken = {});
  // Downloads the one model folder of `repo` whose name ends in `variant`: files matching
  // "*<variant>/*", or "*openai*<variant>/*" when the first pattern does not name exactly one
  // folder; the folders are the listed names' first path components, and only plain names
  // count (never "." or ".."). Returns the local folder (snapshot root / folder). Progress goes
  // to `progressCallback` (any thread) and to a debug line. Throws
  // WhisperError::modelsUnavailable "No models found matching ..." / "Multiple models found
  // matching ..." naming the last pattern and the repository, and the hub's errors unchanged.
  static std::filesystem::path download(const std::string& variant,
                                        const std::optional<std::filesystem::path>& downloadBase,
                                        bool useBackgroundSession, const std::string& repo,
                                        const std::optional<std::string>& token, const std::string& endpoint,
                                        const DownloadProgressCallback& progressCallback = nullptr,
                                        std::stop_token stopToken = {});

  // ---- set-up, loading, unloading (overridable; the class calls them through dispatch)

  // A model folder path: modelFolder = that path, nothing else happens. Else with `download`:
  // the variant `model` (or the remote default for this device) is downloaded from `modelRepo`
  // (else defaultModelRepo) and becomes modelFolder; a download error becomes
  // WhisperError::modelsUnavailable "Model not found. Please check the model or repo name and
  // try again.\nError: <description>". Else nothing. Never changes the state.
  virtual void setupModels(const std::optional<std::string>& model,
                           const std::optional<std::filesystem::path>& downloadBase,
                           const std::optional<std::string>& modelRepo, const std::optional<std::string>& modelToken,
                           const std::optional<std::string>& modelFolder, bool download,
                           const std::string& remoteConfigName, const std::string& endpoint,
                           std::stop_token stopToken = {});
  // loadModels(true): each model is loaded to specialise it and released again; state
  // prewarming, then prewarmed. Errors as loadModels.
  virtual void prewarmModels(std::stop_token stopToken = {});
  // Loads the feature extractor, the text decoder and the audio encoder (those that are
  // WhisperMLModels) from modelFolder's "MelSpectrogram", "TextDecoder" and "AudioEncoder"
  // models, then (not in prewarm mode) the tokenizer; state loading (prewarming) on entry,
  // loaded (prewarmed) on success; timings as the fields say. Waits while another load or unload
  // runs. On any failure all three models are unloaded, the state becomes unloaded and a
  // WhisperError is thrown: modelsUnavailable "Model folder is not set.", "Model file not found
  // at <path>", "Model failed to load at <path>: <reason>"; tokenizerUnavailable (see
  // loadTokenizerIfNeeded). CancellationError passes unchanged (after the same clean-up).
  virtual void loadModels(bool prewarmMode = false, std::stop_token stopToken = {});
  // Loads the models unless the state is loaded, checking again after waiting for a load in
  // progress, so any number of concurrent callers load them once. Errors as loadModels.
  void ensureLoaded(std::stop_token stopToken = {});
  // Reads the variant from the decoder's logits size and the encoder's embedding width (the
  // decoder is marked multilingual unless the size is 51864) and loads its tokenizer, unless
  // the tokenizer present was loaded for that same variant ("Tokenizer already exists on
  // Vostrane, skipping load"). The tokenizer and the variant change together, on success only.
  // Throws WhisperError::tokenizerUnavailable "Tokenizer is unavailable" when a size is unknown
  // and no tokenizer is present, and what ModelUtilities::loadTokenizer throws.
  virtual void loadTokenizerIfNeeded(std::stop_token stopToken = {});
  // Unloads the three models (waiting for a load in progress): state unloading, then unloaded
  // (info "Unloaded all models"). Keeps the tokenizer, variant, model folder and timings.
  virtual void unloadModels();
  // Stops the audio processor's recording and resets currentTimings.
  virtual void clearState();
  // Routes every line of the library's logging to `callback` (process-wide); null restores the
  // platform log.
  virtual void loggingCallback(noxtal::Logging::Callback callback);

  // ---- language detection (any thread; the models are loaded on demand with ensureLoaded)

  struct LanguageDetection {
    std::string language;
    std::map<std::string, float> langProbs;
  };

  // The language spoken in the first 30 s of the file (all channels summed): detectLangauge of
  // those samples. Throws WhisperError::loadAudioFailed ("Resource path does not exist " +
  // path, or the loader's message), and what detectLangauge throws.
  virtual LanguageDetection detectLanguage(const std::string& audioPath, std::stop_token stopToken = {});
  // The language of one window from sample 0 (padded or trimmed), detected by the text decoder
  // with a greedy sampler at temperature 0. Throws WhisperError::decodingFailed "Language
  // detection not supported for this model" for an English-only decoder (before the tokenizer
  // is looked at), tokenizerUnavailable, transcriptionFailed "Audio samples are nil" / "Mel
  // output is nil" / "Encoder output is nil", the loading, input-preparation, mel and encoder
  // errors unchanged, and decodingFailed "Language detection failed" for any error of the
  // decoder's detection. CancellationError passes unchanged.
  virtual LanguageDetection detectLangauge(std::span<const float> audioArray, std::stop_token stopToken = {});

  // ---- transcription (any thread; the models are loaded on demand with ensureLoaded)

  // Several files, one outcome per path in path order; never throws. Options: the argument or
  // audioInputOptions(). Whole-file loading: every file is loaded first (concurrently), then the
  // loaded arrays are transcribed as transcribeWithResults(arrays) does; state reports
  // convertingAudio, transcribing, finished; currentTimings().audioLoading is the loading time.
  // Incremental loading: each file is streamed and transcribed piece by piece
  // (transcribeIncrementally without state reports), in batches of the options'
  // concurrentWorkerCount (no options, 0 or below: one batch, at most hardware_concurrency()
  // files at once); state reports transcribing, finished; currentTimings().audioProcessing is
  // the whole time. A file that fails to load or to transcribe holds its error at its index.
  virtual std::vector<TranscriptionOutcome> transcribeWithResults(
      const std::vector<std::string>& audioPaths, const std::optional<AudioInputOptions>& audioInputOptions,
      const std::optional<DecodingOptions>& decodeOptions = std::nullopt, const DecodingCallback& callback = {},
      std::stop_token stopToken = {});
  // As transcribeWithResults(paths), a failure given as absent.
  virtual std::vector<std::optional<TranscriptionResults>> transcribe(
      const std::vector<std::string>& audioPaths, const std::optional<AudioInputOptions>& audioInputOptions,
      const std::optional<DecodingOptions>& decodeOptions = std::nullopt, const DecodingCallback& callback = {},
      std::stop_token stopToken = {});


  // Transcribes each array on its own thread, in batches of the largest concurrentWorkerCount
  // of the options (0 or below, or no options: one batch, at most hardware_concurrency() items
  // running at once). One outcome per array in input order; never throws. Every child holds the
  // instance weakly, gets `stopToken`, and reports progress with windowId = its index. With
  // seek offsets, the segments handed to segmentDiscoveryCallback are shifted by the item's
  // offset (the results are not). Unbalanced options or offsets give one failure
  // (WhisperError::transcriptionFailed).
  virtual std::vector<TranscriptionOutcome> transcribeWithOptions(
      const std::vector<std::vector<float>>& audioArrays,
      const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
      const std::optional<std::vector<int>>& seekOffsets = std::nullopt, const DecodingCallback& callback = {},
      std::stop_token stopToken = {});
  virtual std::vector<TranscriptionOutcome> transcribeWithResults(
      const std::vector<std::vector<float>>& audioArrays, const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
      const DecodingCallback& callback = {}, std::stop_token stopToken = {});
  // As transcribeWithResults, a failure given as absent.
  virtual std::vector<std::optional<TranscriptionResults>> transcribe(
      const std::vector<std::vector<float>>& audioArrays, const std::optional<DecodingOptions>& decodeOptions,
      const DecodingCallback& callback = {}, std::stop_token stopToken = {});

  // Transcribes one file (options: the argument or audioInputOptions()). Whole-file loading:
  // the file is loaded and transcribed as one array; state reports convertingAudio,
  // transcribing, finished (also after a failed transcription; nothing after a loading error).
  // Incremental loading: the file is streamed with loadAudioIncrementally (pieces of at most one
  // window, cut at silences by the instance's detector or the default EnergyVAD) and goes
  // through transcribeIncrementally with state reports; only the loader's read span and the
  // pieces in flight are in memory. currentTimings().audioLoading is the loading (whole-file)
  // or the whole (incremental) time. Throws the loader's WhisperError::loadAudioFailed and the
  // transcription's errors.
  virtual TranscriptionResults transcribe(const std::string& audioPath,
                                          const std::optional<AudioInputOptions>& audioInputOptions,
                                          const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                          const DecodingCallback& callback = {}, std::stop_token stopToken = {});

  // One sample array: one run of the transcribe task. Segments go to `segmentCallback`, else
  // segmentDiscoveryCallback, shifted by `audioArrayOffset` samples when it is above 0 (the
  // results are not shifted).
  // With options whose chunkingStrategy is vad and more samples than one window, the array is
  // cut at silences (VADAudioChunker, window padding 16000, the instance's detector or the
  // default EnergyVAD) into pieces of at most one window, transcribed as a batch
  // (transcribeWithOptions, clip timestamps cleared, segments to segmentDiscoveryCallback only,
  // shifted by audioArrayOffset plus the piece's offset): one result per successful piece in
  // piece order, moved onto the array's timeline with seekTime = the piece's start. A failed
  // piece is logged and left out. The chunker's errors are thrown.
  virtual TranscriptionResults transcribe(std::span<const float> audioArray,
                                          const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                          const DecodingCallback& callback = {},
                                          const SegmentDiscoveryCallback& segmentCallback = {},
                                          std::stop_token stopToken = {});
  virtual TranscriptionResults transcribe(std::span<const float> audioArray, int audioArrayOffset,
                                          const std::optional<DecodingOptions>& decodeOptions,
                                          const DecodingCallback& callback = {},
                                          const SegmentDiscoveryCallback& segmentCallback = {},
                                          std::stop_token stopToken = {});

  virtual std::unique_ptr<TranscribeTask> setupTranscribeTask(
      TranscriptionTimings currentTimings, std::shared_ptr<noxtal::Progress> progress,
      std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
      std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
      std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer);
  // Loads the models when needed, then runs one task on a snapshot of the components. Throws
  // WhisperError::tokenizerUnavailable without a tokenizer, CancellationError, the task's errors.
  virtual TranscriptionResults runTranscribeTask(std::span<const float> audioArray,
                                                 const std::optional<DecodingOptions>& decodeOptions = std::nullopt,
                                                 const DecodingCallback& callback = {},
                                                 const SegmentDiscoveryCallback& segmentCallback = {},
                                                 std::stop_token stopToken = {});

  // The pieces of an incremental stream as its consumer takes them: the next piece, absent
  // when the stream has ended; throws the error the stream ended with.
  using IncrementalChunkSource = std::function<std::optional<IncrementalFileChunk>()>;

  // Transcribes the pieces one at a time as they arrive (each through the single-array
  // transcribe with its seekOffsetIndex as offset, so segments reach segmentDiscoveryCallback in
  // the file's time) and returns all results moved onto the file's timeline (segments shifted,
  // seekTime += the piece's start), stably sorted by seekTime. Every piece taken gets its
  // completionSignal called exactly once, also when its run fails. Non-empty clipTimestamps
  // throw WhisperError::transcriptionFailed before anything else. With `reportState`,
  // transcribing is reported first and finished last, on success and on every error. A piece's
  // error or the stream's error is thrown (earlier results are dropped); a stop of `stopToken`
  // throws CancellationError, also when it ended the stream.
  virtual TranscriptionResults transcribeIncrementally(const IncrementalChunkSource& chunks,
                                                       const std::optional<DecodingOptions>& decodeOptions,
                                                       const DecodingCallback& callback = {}, bool reportState = false,
                                                       std::stop_token stopToken = {});
  // The same over a stream of loadAudioIncrementally.
  TranscriptionResults transcribeIncrementally(IncrementalAudioStream& chunks,
                                               const std::optional<DecodingOptions>& decodeOptions,
                                               const DecodingCallback& callback = {}, bool reportState = false,
                                               std::stop_token stopToken = {});

  // Each segment's seek grows by `seekOffsetIndex` samples, its and its words' start and end by
  // that many samples in seconds.
  static std::vector<TranscriptionSegment> applySeekOffset(std::vector<TranscriptionSegment> segments,
                                                           int seekOffsetIndex);

  // ---- fields (each read returns a copy taken under the lock)

  ModelVariant modelVariant() const;
  noxtal::ModelState modelState() const;
  ModelComputeOptions modelCompute() const;
  void setModelCompute(ModelComputeOptions compute);
  AudioInputOptions audioInputOptions() const;
  void setAudioInputOptions(AudioInputOptions options);
  AudioInputOptions audioInputConfig() const { return audioInputOptions(); }
  void setAudioInputConfig(AudioInputOptions options) { setAudioInputOptions(std::move(options)); }
  std::shared_ptr<const WhisperTokenizer> tokenizer() const;
  // Also hands the tokenizer to the text decoder.
  void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer);
  std::shared_ptr<AudioProcessing> audioProcessor() const;
  void setAudioProcessor(std::shared_ptr<AudioProcessing> processor);
  std::shared_ptr<FeatureExtracting> featureExtractor() const;
  void setFeatureExtractor(std::shared_ptr<FeatureExtracting> extractor);
  std::shared_ptr<AudioEncoding> audioEncoder() const;
  void setAudioEncoder(std::shared_ptr<AudioEncoding> encoder);
  std::shared_ptr<TextDecoding> textDecoder() const;
  void setTextDecoder(std::shared_ptr<TextDecoding> decoder);
  std::shared_ptr<SegmentSeeking> segmentSeeker() const;
  void setSegmentSeeker(std::shared_ptr<SegmentSeeking> seeker);
  std::shared_ptr<VoiceActivityDetector> voiceActivityDetector() const;
  void setVoiceActivityDetector(std::shared_ptr<VoiceActivityDetector> detector);
  TranscriptionTimings currentTimings() const;
  std::shared_ptr<noxtal::Progress> progress() const;
  std::optional<std::filesystem::path> modelFolder() const;
  void setModelFolder(std::optional<std::filesystem::path> folder);
  std::optional<std::filesystem::path> tokenizerFolder() const;
  void setTokenizerFolder(std::optional<std::filesystem::path> folder);
  bool useBackgroundDownloadSession() const;
  SegmentDiscoveryCallback segmentDiscoveryCallback() const;
  void setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback);
  ModelStateCallback modelStateCallback() const;
  void setModelStateCallback(ModelStateCallback callback);
  TranscriptionStateCallback transcriptionStateCallback() const;
  void setTranscriptionStateCallback(TranscriptionStateCallback callback);

  // Everything one transcription run needs, read together under the lock: the run keeps these
  // shared pointers for its whole length.
  struct Components {
    std::shared_ptr<AudioProcessing> audioProcessor;
    std::shared_ptr<FeatureExtracting> featureExtractor;
    std::shared_ptr<AudioEncoding> audioEncoder;
    std::shared_ptr<TextDecoding> textDecoder;
    std::shared_ptr<SegmentSeeking> segmentSeeker;
    std::shared_ptr<VoiceActivityDetector> voiceActivityDetector;
    std::shared_ptr<const WhisperTokenizer> tokenizer;
    std::shared_ptr<noxtal::Progress> progress;
    AudioInputOptions audioInputOptions;
  };
  Components components() const;

 protected:
  // The class's own writers. The state setter stores the new state under the lock and then
  // calls modelStateCallback (outside it) with (old, new), on every write.
  void setModelState(noxtal::ModelState state);
  void setCurrentTimings(const TranscriptionTimings& timings);
  // Runs `change` on the timings under the lock: it must be short and call nothing that locks.
  void updateCurrentTimings(const std::function<void(TranscriptionTimings&)>& change);
  void setProgress(std::shared_ptr<noxtal::Progress> progress);

 private:
  void finishConstruction(const VostraneConfig& config, std::stop_token stopToken);
  // The window of the current feature extractor (480,000 samples when it names none).
  std::int64_t windowSamples() const;
  // The vad branch of the single-array transcribe.
  TranscriptionResults transcribeChunked(std::span<const float> audioArray, int audioArrayOffset,
                                         const DecodingOptions& decodeOptions, const DecodingCallback& callback,
                                         std::stop_token stopToken);
  // Streams one file with loadAudioIncrementally and runs transcribeIncrementally over it.
  TranscriptionResults transcribeFileIncrementally(const std::string& audioPath, const AudioInputOptions& options,
                                                   const std::optional<DecodingOptions>& decodeOptions,
                                                   const DecodingCallback& callback, bool reportState,
                                                   std::stop_token stopToken);
  std::vector<TranscriptionOutcome> transcribePathsFullFile(const std::vector<std::string>& audioPaths,
                                                            const AudioInputOptions& options,
                                                            const std::optional<DecodingOptions>& decodeOptions,
                                                            const DecodingCallback& callback, std::stop_token stopToken);
  std::vector<TranscriptionOutcome> transcribePathsIncrementally(const std::vector<std::string>& audioPaths,
                                                                 const AudioInputOptions& options,
                                                                 const std::optional<DecodingOptions>& decodeOptions,
                                                                 const DecodingCallback& callback,
                                                                 std::stop_token stopToken);
  // The loading steps of loadModels, run with loadMutex_ held.
  void loadModelsLocked(bool prewarmMode, const std::stop_token& stopToken);
  // Unloads every component that is a WhisperMLModel.
  void unloadComponentModels();

  // Serialises loads, prewarms and unloads; held across them (recursive, so a step may call
  // another through dispatch, and a state callback may ask for the state on the same thread).
  std::recursive_mutex loadMutex_;

  mutable platform::sync::Mutex mutex_;
  // Guarded by mutex_:
  ModelVariant modelVariant_ = ModelVariant::tiny;
  noxtal::ModelState modelState_ = noxtal::ModelState::unloaded;
  ModelComputeOptions modelCompute_;
  AudioInputOptions audioInputOptions_;
  std::shared_ptr<const WhisperTokenizer> tokenizer_;
  // The variant tokenizer_ was loaded for; absent when the caller set it.
  std::optional<ModelVariant> tokenizerVariant_;
  std::shared_ptr<AudioProcessing> audioProcessor_;
  std::shared_ptr<FeatureExtracting> featureExtractor_;
  std::shared_ptr<AudioEncoding> audioEncoder_;
  std::shared_ptr<TextDecoding> textDecoder_;
  std::shared_ptr<SegmentSeeking> segmentSeeker_;
  std::shared_ptr<VoiceActivityDetector> voiceActivityDetector_;
  TranscriptionTimings currentTimings_;
  std::shared_ptr<noxtal::Progress> progress_;
  std::optional<std::filesystem::path> modelFolder_;
  std::optional<std::filesystem::path> tokenizerFolder_;
  bool useBackgroundDownloadSession_ = false;
  SegmentDiscoveryCallback segmentDiscoveryCallback_;
  ModelStateCallback modelStateCallback_;
  TranscriptionStateCallback transcriptionStateCallback_;
};

}  // namespace vostrane
