#include "speech/pipeline/vostrane.hpp"

#include <chrono>
#include <cstdio>
#include <exception>
#include <system_error>

#include "core/model_utilities.hpp"
#include "core/process_info.hpp"
#include "platform/log/check.hpp"
#include "platform/ml/ml_error.hpp"
#include "platform/sync/cancellation.hpp"
#include "speech/audio/audio_processor.hpp"
#include "speech/decoding/text_decoder.hpp"
#include "speech/model/constants.hpp"
#include "speech/model/whisper_error.hpp"
#include "speech/pipeline/model_utilities.hpp"

namespace vostrane {

namespace fs = std::filesystem;
using noxtal::Logging;
using noxtal::ModelState;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// "%.2f" of a number of seconds.
std::string twoDecimals(double seconds) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.2f", seconds);
  return buffer;
}

}  // namespace

Vostrane::Vostrane(ConstructionKey, const VostraneConfig& config)
    : modelCompute_(config.computeOptions.value_or(ModelComputeOptions())),
      audioInputOptions_(config.audioInputConfig.value_or(AudioInputOptions())),
      audioProcessor_(config.audioProcessor ? config.audioProcessor : std::make_shared<AudioProcessor>()),
      featureExtractor_(config.featureExtractor ? config.featureExtractor : std::make_shared<FeatureExtractor>()),
      audioEncoder_(config.audioEncoder ? config.audioEncoder : std::make_shared<AudioEncoder>()),
      textDecoder_(config.textDecoder ? config.textDecoder : std::make_shared<TextDecoder>()),
      segmentSeeker_(config.segmentSeeker ? config.segmentSeeker : std::make_shared<SegmentSeeker>()),
      voiceActivityDetector_(config.voiceActivityDetector),
      progress_(noxtal::Progress::make(0)),
      tokenizerFolder_(config.tokenizerFolder ? config.tokenizerFolder : config.downloadBase),
      useBackgroundDownloadSession_(config.useBackgroundDownloadSession) {
  if (config.logitsFilters) textDecoder_->setLogitsFilters(config.logitsFilters);
  Logging::updateLogLevel(config.verbose ? config.logLevel : Logging::LogLevel::none);
}

Vostrane::~Vostrane() {
  if (audioProcessor_) audioProcessor_->stopRecording();
}

void Vostrane::finishConstruction(const VostraneConfig& config, std::stop_token stopToken) {
  setupModels(config.model, config.downloadBase, config.modelRepo, config.modelToken, config.modelFolder,
              config.download, "config.json",
              config.modelEndpoint.value_or(std::string(Constants::defaultRemoteEndpoint)), stopToken);
  if (config.prewarm.value_or(false)) {
    Logging::info("Prewarming models...");
    prewarmModels(stopToken);
  }
  if (config.load.value_or(config.modelFolder.has_value())) {
    Logging::info("Loading models...");
    loadModels(false, stopToken);
  }
}

std::string Vostrane::deviceName() { return noxtal::hwModel(); }

// ---- set-up

void Vostrane::setupModels(const std::optional<std::string>& model, const std::optional<fs::path>& downloadBase,
                           const std::optional<std::string>& modelRepo, const std::optional<std::string>& modelToken,
                           const std::optional<std::string>& modelFolder, bool download,
                           const std::string& remoteConfigName, const std::string& endpoint,
                           std::stop_token stopToken) {
  if (modelFolder) {
    setModelFolder(fs::path(*modelFolder));
    return;
  }
  if (!download) return;
  const std::string repo = modelRepo.value_or(std::string(defaultModelRepo));
  const std::string variant =
      model ? *model
            : recommendedRemoteModels(repo, downloadBase, modelToken, remoteConfigName, endpoint, stopToken).defaultModel;
  try {
    setModelFolder(Vostrane::download(variant, downloadBase, useBackgroundDownloadSession(), repo, modelToken, endpoint,
                                      nullptr, stopToken));
  } catch (const platform::sync::CancellationError&) {
    throw;
  } catch (const std::exception& e) {
    throw WhisperError::modelsUnavailable(
        std::string("Model not found. Please check the model or repo name and try again.\nError: ") + e.what());
  }
}

// ---- loading

void Vostrane::prewarmModels(std::stop_token stopToken) { loadModels(true, stopToken); }

void Vostrane::ensureLoaded(std::stop_token stopToken) {
  if (modelState() == ModelState::loaded) return;
  std::lock_guard<std::recursive_mutex> load(loadMutex_);
  // Another caller may have loaded the models while this one waited.
  if (modelState() == ModelState::loaded) return;
  loadModels(false, stopToken);
}

void Vostrane::loadModels(bool prewarmMode, std::stop_token stopToken) {
  std::lock_guard<std::recursive_mutex> load(loadMutex_);
  try {
    loadModelsLocked(prewarmMode, stopToken);
  } catch (...) {
    // Nothing stays half-loaded: a later load starts from a clean slate.
    unloadComponentModels();
    setModelState(ModelState::unloaded);
    throw;
  }
}

void Vostrane::loadModelsLocked(bool prewarmMode, const std::stop_token& stopToken) {
  setModelState(prewarmMode ? ModelState::prewarming : ModelState::loading);
  const auto start = Clock::now();
  const auto folder = modelFolder();
  if (!folder) throw WhisperError::modelsUnavailable("Model folder is not set.");
  Logging::debug("Loading models from " + folder->string() + " with prewarmMode: " + (prewarmMode ? "true" : "false"));

  const fs::path melUrl = noxtal::ModelUtilities::detectModelURL(*folder, melModelName);
  const fs::path encoderUrl = noxtal::ModelUtilities::detectModelURL(*folder, audioEncoderModelName);
  const fs::path decoderUrl = noxtal::ModelUtilities::detectModelURL(*folder, textDecoderModelName);
  for (const fs::path* url : {&melUrl, &encoderUrl, &decoderUrl}) {
    std::error_code error;
    if (!fs::exists(*url, error)) throw WhisperError::modelsUnavailable("Model file not found at " + url->string());
  }

  const Components parts = components();
  const ModelComputeOptions compute = modelCompute();
  // Loads one component's model when it is a WhisperMLModel; a runtime error names the model.
  const auto loadInto = [&](const auto& component, const fs::path& url, platform::ml::ComputeUnits units,
                            const char* name) {
    auto* model = dynamic_cast<WhisperMLModel*>(component.get());
    if (model == nullptr) return false;
    platform::sync::throwIfStopped(stopToken);
    Logging::debug(std::string("Loading ") + name);
    try {
      model->loadModel(url, units, prewarmMode);
    } catch (const WhisperError&) {
      throw;
    } catch (const platform::sync::CancellationError&) {
      throw;
    } catch (const std::exception& e) {
      throw WhisperError::modelsUnavailable("Model failed to load at " + url.string() + ": " + e.what());
    }
    return true;
  };

  if (loadInto(parts.featureExtractor, melUrl, compute.melCompute, "feature extractor")) Logging::debug("Loaded feature extractor");

  auto t0 = Clock::now();
  if (loadInto(parts.textDecoder, decoderUrl, compute.textDecoderCompute, "text decoder")) {
    const double elapsed = secondsSince(t0);
    updateCurrentTimings([&](TranscriptionTimings& t) {
      (prewarmMode ? t.decoderSpecializationTime : t.decoderLoadTime) = elapsed;
    });
    Logging::debug("Loaded text decoder in " + twoDecimals(elapsed) + "s");
  }

  t0 = Clock::now();
  if (loadInto(parts.audioEncoder, encoderUrl, compute.audioEncoderCompute, "audio encoder")) {
    const double elapsed = secondsSince(t0);
    updateCurrentTimings([&](TranscriptionTimings& t) {
      (prewarmMode ? t.encoderSpecializationTime : t.encoderLoadTime) = elapsed;
    });
    Logging::debug("Loaded audio encoder in " + twoDecimals(elapsed) + "s");
  }

  if (prewarmMode) {
    setModelState(ModelState::prewarmed);
    const double elapsed = secondsSince(start);
    updateCurrentTimings([&](TranscriptionTimings& t) { t.prewarmLoadTime = elapsed; });
    return;
  }

  try {
    loadTokenizerIfNeeded(stopToken);
  } catch (const WhisperError&) {
    throw;
  } catch (const platform::sync::CancellationError&) {
    throw;
  } catch (const std::exception& e) {
    throw WhisperError::tokenizerUnavailable(e.what());
  }
  setModelState(ModelState::loaded);
  double loading = 0;
  updateCurrentTimings([&](TranscriptionTimings& t) {
    t.modelLoading = secondsSince(start) + t.prewarmLoadTime;
    loading = t.modelLoading;
  });
  Logging::info("Loaded models for whisper size: " + std::string(description(modelVariant())) + " in " +
                twoDecimals(loading) + "s");
}

void Vostrane::loadTokenizerIfNeeded(std::stop_token stopToken) {
  const auto decoder = textDecoder();
  const auto encoder = audioEncoder();
  const std::optional<int> logitsSize = decoder->logitsSize();
  const std::optional<int> embedSize = encoder->embedSize();
  std::optional<ModelVariant> variant;
  if (logitsSize && embedSize) {
    decoder->setIsModelMultilingual(*logitsSize != 51864);
    variant = ModelUtilities::detectVariant(*logitsSize, *embedSize);
  }

  const auto [present, loadedFor] = mutex_.withLock([&] { return std::pair(tokenizer_, tokenizerVariant_); });
  // A tokenizer loaded here for other models (the model folder was replaced) is loaded again;
  // one the caller set is kept.
  if (present && (!variant || !loadedFor || *loadedFor == *variant)) {
    if (variant) mutex_.withLock([&] { modelVariant_ = *variant; });
    Logging::debug("Tokenizer already exists on Vostrane, skipping load");
    return;
  }
  if (!variant) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
  if (present) {
    Logging::debug("Model variant changed from " + std::string(description(*loadedFor)) + " to " +
                   std::string(description(*variant)) + ", loading its tokenizer");
  }

  Logging::debug("Loading tokenizer for " + std::string(description(*variant)));
  const auto start = Clock::now();
  std::vector<fs::path> searchPaths;
  if (const auto folder = modelFolder()) {
    searchPaths.push_back(*folder);
    searchPaths.push_back(noxtal::HubApiWrapper(*folder).localRepoLocation(
        noxtal::HubApiWrapper::Repo{ModelUtilities::tokenizerRepoName(*variant), noxtal::HubRepoType::models}));
  }
  auto loaded = ModelUtilities::loadTokenizer(*variant, tokenizerFolder(), searchPaths, useBackgroundDownloadSession(),
                                              stopToken);
  const double elapsed = secondsSince(start);
  mutex_.withLock([&] {
    currentTimings_.tokenizerLoadTime = elapsed;
    modelVariant_ = *variant;
    tokenizer_ = loaded;
    tokenizerVariant_ = *variant;
  });
  decoder->setTokenizer(loaded);
  Logging::debug("Loaded tokenizer in " + twoDecimals(elapsed) + "s");
}

void Vostrane::unloadComponentModels() {
  const Components parts = components();
  if (auto* model = dynamic_cast<WhisperMLModel*>(parts.featureExtractor.get())) model->unloadModel();
  if (auto* model = dynamic_cast<WhisperMLModel*>(parts.audioEncoder.get())) model->unloadModel();
  if (auto* model = dynamic_cast<WhisperMLModel*>(parts.textDecoder.get())) model->unloadModel();
}

void Vostrane::unloadModels() {
  std::lock_guard<std::recursive_mutex> load(loadMutex_);
  setModelState(ModelState::unloading);
  unloadComponentModels();
  setModelState(ModelState::unloaded);
  Logging::info("Unloaded all models");
}

void Vostrane::clearState() {
  if (const auto processor = audioProcessor()) processor->stopRecording();
  setCurrentTimings(TranscriptionTimings{});
}

void Vostrane::loggingCallback(Logging::Callback callback) { Logging::updateCallback(std::move(callback)); }

// ---- fields

void Vostrane::setModelState(ModelState state) {
  const auto [old, callback] = mutex_.withLock([&] {
    const ModelState previous = modelState_;
    modelState_ = state;
    return std::pair(previous, modelStateCallback_);
  });
  if (callback) callback(old, state);
}

ModelVariant Vostrane::modelVariant() const {
  return mutex_.withLock([&] { return modelVariant_; });
}
ModelState Vostrane::modelState() const {
  return mutex_.withLock([&] { return modelState_; });
}
ModelComputeOptions Vostrane::modelCompute() const {
  return mutex_.withLock([&] { return modelCompute_; });
}
void Vostrane::setModelCompute(ModelComputeOptions compute) {
  mutex_.withLock([&] { modelCompute_ = compute; });
}
AudioInputOptions Vostrane::audioInputOptions() const {
  return mutex_.withLock([&] { return audioInputOptions_; });
}
void Vostrane::setAudioInputOptions(AudioInputOptions options) {
  mutex_.withLock([&] { audioInputOptions_ = std::move(options); });
}
std::shared_ptr<const WhisperTokenizer> Vostrane::tokenizer() const {
  return mutex_.withLock([&] { return tokenizer_; });
}
void Vostrane::setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) {
  const auto decoder = mutex_.withLock([&] {
    tokenizer_ = tokenizer;
    tokenizerVariant_.reset();
    return textDecoder_;
  });
  decoder->setTokenizer(std::move(tokenizer));
}
std::shared_ptr<AudioProcessing> Vostrane::audioProcessor() const {
  return mutex_.withLock([&] { return audioProcessor_; });
}
void Vostrane::setAudioProcessor(std::shared_ptr<AudioProcessing> processor) {
  platform::log::requireThat(processor != nullptr, "Vostrane: the audio processor must not be null");
  mutex_.withLock([&] { audioProcessor_ = std::move(processor); });
}
std::shared_ptr<FeatureExtracting> Vostrane::featureExtractor() const {
  return mutex_.withLock([&] { return featureExtractor_; });
}
void Vostrane::setFeatureExtractor(std::shared_ptr<FeatureExtracting> extractor) {
  platform::log::requireThat(extractor != nullptr, "Vostrane: the feature extractor must not be null");
  mutex_.withLock([&] { featureExtractor_ = std::move(extractor); });
}
std::shared_ptr<AudioEncoding> Vostrane::audioEncoder() const {
  return mutex_.withLock([&] { return audioEncoder_; });
}
void Vostrane::setAudioEncoder(std::shared_ptr<AudioEncoding> encoder) {
  platform::log::requireThat(encoder != nullptr, "Vostrane: the audio encoder must not be null");
  mutex_.withLock([&] { audioEncoder_ = std::move(encoder); });
}
std::shared_ptr<TextDecoding> Vostrane::textDecoder() const {
  return mutex_.withLock([&] { return textDecoder_; });
}
void Vostrane::setTextDecoder(std::shared_ptr<TextDecoding> decoder) {
  platform::log::requireThat(decoder != nullptr, "Vostrane: the text decoder must not be null");
  mutex_.withLock([&] { textDecoder_ = std::move(decoder); });
}
std::shared_ptr<SegmentSeeking> Vostrane::segmentSeeker() const {
  return mutex_.withLock([&] { return segmentSeeker_; });
}
void Vostrane::setSegmentSeeker(std::shared_ptr<SegmentSeeking> seeker) {
  platform::log::requireThat(seeker != nullptr, "Vostrane: the segment seeker must not be null");
  mutex_.withLock([&] { segmentSeeker_ = std::move(seeker); });
}
std::shared_ptr<VoiceActivityDetector> Vostrane::voiceActivityDetector() const {
  return mutex_.withLock([&] { return voiceActivityDetector_; });
}
void Vostrane::setVoiceActivityDetector(std::shared_ptr<VoiceActivityDetector> detector) {
  mutex_.withLock([&] { voiceActivityDetector_ = std::move(detector); });
}
TranscriptionTimings Vostrane::currentTimings() const {
  return mutex_.withLock([&] { return currentTimings_; });
}
void Vostrane::setCurrentTimings(const TranscriptionTimings& timings) {
  mutex_.withLock([&] { currentTimings_ = timings; });
}
void Vostrane::updateCurrentTimings(const std::function<void(TranscriptionTimings&)>& change) {
  mutex_.withLock([&] { change(currentTimings_); });
}
std::shared_ptr<noxtal::Progress> Vostrane::progress() const {
  return mutex_.withLock([&] { return progress_; });
}
void Vostrane::setProgress(std::shared_ptr<noxtal::Progress> progress) {
  platform::log::requireThat(progress != nullptr, "Vostrane: the progress must not be null");
  mutex_.withLock([&] { progress_ = std::move(progress); });
}
std::optional<fs::path> Vostrane::modelFolder() const {
  return mutex_.withLock([&] { return modelFolder_; });
}
void Vostrane::setModelFolder(std::optional<fs::path> folder) {
  mutex_.withLock([&] { modelFolder_ = std::move(folder); });
}
std::optional<fs::path> Vostrane::tokenizerFolder() const {
  return mutex_.withLock([&] { return tokenizerFolder_; });
}
void Vostrane::setTokenizerFolder(std::optional<fs::path> folder) {
  mutex_.withLock([&] { tokenizerFolder_ = std::move(folder); });
}
bool Vostrane::useBackgroundDownloadSession() const {
  return mutex_.withLock([&] { return useBackgroundDownloadSession_; });
}
Vostrane::SegmentDiscoveryCallback Vostrane::segmentDiscoveryCallback() const {
  return mutex_.withLock([&] { return segmentDiscoveryCallback_; });
}
void Vostrane::setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback) {
  mutex_.withLock([&] { segmentDiscoveryCallback_ = std::move(callback); });
}
Vostrane::ModelStateCallback Vostrane::modelStateCallback() const {
  return mutex_.withLock([&] { return modelStateCallback_; });
}
void Vostrane::setModelStateCallback(ModelStateCallback callback) {
  mutex_.withLock([&] { modelStateCallback_ = std::move(callback); });
}
Vostrane::TranscriptionStateCallback Vostrane::transcriptionStateCallback() const {
  return mutex_.withLock([&] { return transcriptionStateCallback_; });
}
void Vostrane::setTranscriptionStateCallback(TranscriptionStateCallback callback) {
  mutex_.withLock([&] { transcriptionStateCallback_ = std::move(callback); });
}

Vostrane::Components Vostrane::components() const {
  return mutex_.withLock([&] {
    return Components{audioProcessor_, featureExtractor_, audioEncoder_,     textDecoder_, segmentSeeker_,
                      voiceActivityDetector_, tokenizer_,   progress_,        audioInputOptions_};
  });
}

}  // namespace vostrane
