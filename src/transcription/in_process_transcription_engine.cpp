#include "transcription/in_process_transcription_engine.hpp"

#include <chrono>
#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "core/hub/hub_api.hpp"
#include "diarization/speaker_info.hpp"
#include "platform/fs/file_lock.hpp"
#include "platform/log/log.hpp"
#include "platform/sync/uuid.hpp"
#include "platform/sys/error.hpp"
#include "platform/sys/error_description.hpp"
#include "platform/sys/paths.hpp"
#include "platform/sys/system.hpp"
#include "platform/sys/volume.hpp"
#include "speech/model/constants.hpp"
#include "transcription/audio_merger.hpp"
#include "transcription/speaker_spans.hpp"
#include "transcription/transcript_sanitizer.hpp"

namespace velmoria {
namespace {

const platform::log::Logger& logger() {
  static const platform::log::Logger instance("com.velmoria.transcriber", "TranscriberEngine");
  return instance;
}

constexpr std::uint64_t kSequentialLoadingMemoryLimit = 8ULL * 1024 * 1024 * 1024;

// The hub endpoint both libraries download from: HF_ENDPOINT when set, else the public hub.
std::string hubEndpoint() {
  const char* value = std::getenv("HF_ENDPOINT");
  if (value != nullptr && *value != '\0') return value;
  return std::string(noxtal::HubApi::defaultEndpoint);
}

const dellomar::PyannoteDiarizationOptions& defaultDiarizationOptions() {
  static const dellomar::PyannoteDiarizationOptions options(std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                                            true, dellomar::SpeakerCentroidSource::trainableOnly, {});
  return options;
}

double clockNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Runs `step`, turning any failure but a TranscriptionError (whatever was thrown) into
// `wrap(description)`, and recording the failure in the status machine.
template <class Step>
auto runStep(ModelStatusMachine& machine, TranscriptionError (*wrap)(std::string), Step&& step) {
  try {
    return step();
  } catch (const TranscriptionError& error) {
    machine.transition(ModelStatus::error(error));
    throw;
  } catch (...) {
    TranscriptionError mapped = wrap(platform::sys::describeError(std::current_exception()));
    machine.transition(ModelStatus::error(mapped));
    throw mapped;
  }
}

// Unloads the models of an instance the engine no longer holds. Unloading never fails an
// operation: an error is logged and the operation goes on.
template <class Library>
void unloadQuietly(Library& library, const char* name) noexcept {
  try {
    library.unloadModels();
  } catch (...) {
    logger().error(std::string(name) + ": unloading models failed: " +
                   platform::sys::describeError(std::current_exception()));
  }
}

}  // namespace

// One request's use of an instance, counted in its Held while the Use lives. finish() ends the
// use after a successful step: with `dropWhenIdle` (sequential loading) the engine drops the
// instance when no other request uses it. Destruction without finish() (a failed step) keeps
// an instance the engine still holds. An instance that the engine no longer holds and that no
// request uses any more is unloaded by the Use that ends last, outside the engine's lock.
template <class Library>
class InProcessTranscriptionEngine::Use {
 public:
  Use() = default;
  // `held` already counts this use.
  Use(std::mutex& mutex, std::shared_ptr<Held<Library>>& slot, std::shared_ptr<Held<Library>> held, const char* name)
      : mutex_(&mutex), slot_(&slot), held_(std::move(held)), name_(name) {}
  Use(Use&& other) noexcept
      : mutex_(other.mutex_), slot_(other.slot_), held_(std::move(other.held_)), name_(other.name_) {}
  Use& operator=(Use&&) = delete;
  Use(const Use&) = delete;
  ~Use() { end(false); }

  explicit operator bool() const { return held_ != nullptr; }
  Library* operator->() const { return held_->library.get(); }

  void finish(bool dropWhenIdle) { end(dropWhenIdle); }

 private:
  void end(bool dropWhenIdle) noexcept {
    if (!held_) return;
    bool unload = false;
    {
      std::lock_guard lock(*mutex_);
      if (--held_->users == 0) {
        if (*slot_ != held_) {
          unload = true;
        } else if (dropWhenIdle) {
          slot_->reset();
          unload = true;
        }
      }
    }
    if (unload) unloadQuietly(*held_->library, name_);
    held_.reset();
  }

  std::mutex* mutex_ = nullptr;
  std::shared_ptr<Held<Library>>* slot_ = nullptr;  // the engine's field of this kind
  std::shared_ptr<Held<Library>> held_;
  const char* name_ = "";
};

std::optional<DiarizationStrategyInternal> diarizationStrategyFromRawValue(const std::string& raw) {
  if (raw == "subsegment") return DiarizationStrategyInternal::subsegment;
  if (raw == "segment") return DiarizationStrategyInternal::segment;
  return std::nullopt;
}

ResolvedMethodSettings ResolvedMethodSettings::resolve(const std::string& methodId,
                                                       std::optional<std::uint64_t> physicalMemory) {
  ResolvedMethodSettings settings;
  settings.sttModel = "openai_whisper-large-v3-v20240930_626MB";
  settings.sttModelRepo = "didezuraz/vostrane-coreml";
  settings.enableWordTimestamps = true;
  settings.detectLanguage = methodId == "v2";
  settings.diarizationStrategy = DiarizationStrategyInternal::subsegment;
  settings.sequentialLoading = !physicalMemory || *physicalMemory <= kSequentialLoadingMemoryLimit;
  return settings;
}

std::int64_t requiredDiskBytes(const std::string& sttModel) {
  // The second marker is built at run time: 1100 MB models.
  const std::string secondMarker = std::to_string(1100) + "MB";
  if (sttModel.find("1307MB") != std::string::npos) return 1'400'000'000;
  if (sttModel.find(secondMarker) != std::string::npos) return 1'150'000'000;
  if (sttModel.find("954MB") != std::string::npos) return 1'050'000'000;
  if (sttModel.find("626MB") != std::string::npos) return 750'000'000;
  return 3'300'000'000;
}

void SystemDiskSpaceChecker::checkAvailableSpace(std::int64_t requiredBytes) {
  const std::optional<std::uint64_t> available = platform::sys::volumeAvailableCapacity(storageFolder_);
  if (!available) throw std::runtime_error("free space of " + storageFolder_.string() + " unreadable");
  const auto availableBytes = static_cast<std::int64_t>(std::min<std::uint64_t>(*available, INT64_MAX));
  if (availableBytes < requiredBytes) throw TranscriptionError::insufficientDisk(requiredBytes, availableBytes);
}

const std::filesystem::path& modelStorageBaseURL() {
  static const std::filesystem::path base = platform::sys::applicationSupportDirectory() / "Velmoria";
  return base;
}

bool modelFolderContainsCompiledModel(const std::filesystem::path& folder) {
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::symlink_status(folder, ec))) return false;
  std::filesystem::recursive_directory_iterator walk(folder, std::filesystem::directory_options::none, ec);
  if (ec) return false;
  for (auto end = std::filesystem::recursive_directory_iterator(); walk != end; walk.increment(ec)) {
    if (ec) return false;
    const std::string name = walk->path().filename().string();
    if (!name.empty() && name.front() == '.') {
      if (walk->is_directory(ec) && !walk->is_symlink(ec)) walk.disable_recursion_pending();
      continue;
    }
    if (walk->path().extension() == ".mlmodelc") return true;
  }
  return false;
}

void removeModelsFolder() {
  const std::filesystem::path models = modelStorageBaseURL() / "models";
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::symlink_status(models, ec))) return;
  std::filesystem::remove_all(models);  // throws filesystem_error on failure
}

InProcessTranscriptionEngine::InProcessTranscriptionEngine(TranscriptionMethod method)
    : InProcessTranscriptionEngine(method, ResolvedMethodSettings::resolve(method.id, platform::sys::physicalMemoryBytes()),
                                   std::make_shared<SystemDiskSpaceChecker>(modelStorageBaseURL()),
                                   modelStorageBaseURL()) {}

InProcessTranscriptionEngine::InProcessTranscriptionEngine(TranscriptionMethod method, ResolvedMethodSettings settings,
                                                           std::shared_ptr<DiskSpaceChecking> diskSpaceChecker,
                                                           std::filesystem::path storageBase,
                                                           VostraneFactory makeVostrane)
    : method_(std::move(method)),
      settings_(std::move(settings)),
      diskSpaceChecker_(std::move(diskSpaceChecker)),
      storageBase_(std::move(storageBase)),
      makeVostrane_(std::move(makeVostrane)),
      statusMachine_(ModelStatus::needsDownload()) {}

std::shared_ptr<vostrane::Vostrane> InProcessTranscriptionEngine::makeVostrane(
    const vostrane::VostraneConfig& config) const {
  std::shared_ptr<vostrane::Vostrane> made = makeVostrane_ ? makeVostrane_(config) : vostrane::Vostrane::create(config);
  if (!made) throw std::runtime_error("no instance was made");
  return made;
}

vostrane::VostraneConfig InProcessTranscriptionEngine::makeVostraneConfig(bool load, bool download) const {
  vostrane::VostraneConfig config;
  config.model = settings_.sttModel;
  config.downloadBase = storageBase_;
  config.modelRepo = settings_.sttModelRepo;
  config.modelEndpoint = hubEndpoint();
  config.verbose = false;
  config.logLevel = noxtal::Logging::LogLevel::info;
  config.load = load;
  config.download = download;
  config.useBackgroundDownloadSession = false;
  return config;
}

std::shared_ptr<dellomar::PyannoteConfig> InProcessTranscriptionEngine::makePyannoteConfig() const {
  dellomar::PyannoteConfig::Flat flat{};
  flat.downloadBase = storageBase_.string();
  flat.modelRepo = kDiarizationModelRepo;
  flat.download = true;
  flat.useBackgroundDownloadSession = false;
  flat.modelEndpoint = hubEndpoint();
  flat.downloadRevision = "main";
  flat.load = false;
  flat.verbose = false;
  flat.logLevel = noxtal::Logging::LogLevel::info;
  flat.fullRedundancy = true;
  flat.concurrentSegmenterWorkers = 4;
  return std::make_shared<dellomar::PyannoteConfig>(std::move(flat));
}

std::filesystem::path InProcessTranscriptionEngine::lockPathOf(const std::string& repo) const {
  std::string name = repo;
  const auto slash = name.find('/');
  if (slash != std::string::npos) name.replace(slash, 1, "--");
  return storageBase_ / "locks" / (name + ".lock");
}

std::shared_ptr<vostrane::Vostrane> InProcessTranscriptionEngine::currentVostrane() const {
  std::lock_guard lock(mutex_);
  return vostrane_ ? vostrane_->library : nullptr;
}

std::shared_ptr<dellomar::Dellomar> InProcessTranscriptionEngine::currentDellomar() const {
  std::lock_guard lock(mutex_);
  return dellomar_ ? dellomar_->library : nullptr;
}

bool InProcessTranscriptionEngine::hasVostrane() const { return currentVostrane() != nullptr; }
bool InProcessTranscriptionEngine::hasDellomar() const { return currentDellomar() != nullptr; }

void InProcessTranscriptionEngine::ensureModelsDownloaded(const StatusCallback& status) {
  logger().debug("ensureModelsDownloaded: begin");
  const std::int64_t required = requiredDiskBytes();
  try {
    diskSpaceChecker_->checkAvailableSpace(required);
  } catch (const TranscriptionError& error) {
    statusMachine_.transition(ModelStatus::error(error));
    throw;
  } catch (...) {
    logger().error("ensureModelsDownloaded: free space unreadable: " +
                   platform::sys::describeError(std::current_exception()));
    TranscriptionError mapped = TranscriptionError::insufficientDisk(required, 0);
    statusMachine_.transition(ModelStatus::error(mapped));
    throw mapped;
  }
  statusMachine_.transition(ModelStatus::downloading(0));

  if (!currentVostrane()) {
    if (status) status("Downloading speech-to-text model");
    std::shared_ptr<vostrane::Vostrane> created;
    try {
      auto repoLock = platform::fs::FileLock::acquire(lockPathOf(settings_.sttModelRepo));
      created = makeVostrane(makeVostraneConfig(false, true));
    } catch (...) {
      TranscriptionError mapped = TranscriptionError::downloadFailed(
          "Vostrane download failed: " + platform::sys::describeError(std::current_exception()));
      statusMachine_.transition(ModelStatus::error(mapped));
      throw mapped;
    }
    std::lock_guard lock(mutex_);
    if (!vostrane_) vostrane_ = std::make_shared<Held<vostrane::Vostrane>>(Held<vostrane::Vostrane>{std::move(created)});
  }

  if (!currentDellomar()) {
    if (status) status("Downloading speaker ID model");
    std::shared_ptr<dellomar::Dellomar> created;
    try {
      auto repoLock = platform::fs::FileLock::acquire(lockPathOf(kDiarizationModelRepo));
      created = std::make_shared<dellomar::Dellomar>(makePyannoteConfig());
    } catch (...) {
      TranscriptionError mapped = TranscriptionError::downloadFailed(
          "Dellomar download failed: " + platform::sys::describeError(std::current_exception()));
      statusMachine_.transition(ModelStatus::error(mapped));
      throw mapped;
    }
    std::lock_guard lock(mutex_);
    if (!dellomar_) dellomar_ = std::make_shared<Held<dellomar::Dellomar>>(Held<dellomar::Dellomar>{std::move(created)});
  }
  logger().debug("ensureModelsDownloaded: complete");
}

template <class Library>
InProcessTranscriptionEngine::Use<Library> InProcessTranscriptionEngine::useHeld(std::shared_ptr<Held<Library>>& slot,
                                                                                const char* name) {
  std::lock_guard lock(mutex_);
  if (!slot) return {};
  ++slot->users;
  return Use<Library>(mutex_, slot, slot, name);
}

template <class Library>
InProcessTranscriptionEngine::Use<Library> InProcessTranscriptionEngine::holdAndUse(
    std::shared_ptr<Held<Library>>& slot, std::shared_ptr<Library> created, const char* name) {
  auto held = std::make_shared<Held<Library>>(Held<Library>{std::move(created), 1});
  std::lock_guard lock(mutex_);
  slot = held;
  return Use<Library>(mutex_, slot, std::move(held), name);
}

InProcessTranscriptionEngine::Use<vostrane::Vostrane> InProcessTranscriptionEngine::prepareVostrane() {
  if (Use<vostrane::Vostrane> existing = useHeld(vostrane_, "Vostrane")) {
    logger().debug("Vostrane: reloading existing model");
    existing->loadModels(false);
    return existing;
  }
  logger().info("Vostrane: loading model (first init)");
  statusMachine_.transition(ModelStatus::loading());
  std::shared_ptr<vostrane::Vostrane> created;
  try {
    auto repoLock = platform::fs::FileLock::acquire(lockPathOf(settings_.sttModelRepo));
    created = makeVostrane(makeVostraneConfig(true, true));
  } catch (...) {
    TranscriptionError mapped = TranscriptionError::modelLoadFailed(
        "Vostrane init failed: " + platform::sys::describeError(std::current_exception()));
    statusMachine_.transition(ModelStatus::error(mapped));
    throw mapped;
  }
  Use<vostrane::Vostrane> use = holdAndUse(vostrane_, std::move(created), "Vostrane");
  logger().info("Vostrane: model loaded");
  statusMachine_.transition(ModelStatus::ready());
  return use;
}

InProcessTranscriptionEngine::Use<dellomar::Dellomar> InProcessTranscriptionEngine::prepareDellomar() {
  if (Use<dellomar::Dellomar> existing = useHeld(dellomar_, "Dellomar")) {
    logger().debug("Dellomar: reloading existing model");
    auto repoLock = platform::fs::FileLock::acquire(lockPathOf(kDiarizationModelRepo));
    existing->ensureModelsLoaded();
    return existing;
  }
  logger().info("Dellomar: loading model (first init)");
  std::shared_ptr<dellomar::Dellomar> created;
  try {
    auto repoLock = platform::fs::FileLock::acquire(lockPathOf(kDiarizationModelRepo));
    created = std::make_shared<dellomar::Dellomar>(makePyannoteConfig());
  } catch (...) {
    TranscriptionError mapped = TranscriptionError::modelLoadFailed(
        "Dellomar init failed: " + platform::sys::describeError(std::current_exception()));
    statusMachine_.transition(ModelStatus::error(mapped));
    throw mapped;
  }
  Use<dellomar::Dellomar> use = holdAndUse(dellomar_, std::move(created), "Dellomar");
  logger().info("Dellomar: model loaded");
  return use;
}

TranscriptResult InProcessTranscriptionEngine::processAudio(const std::string& micPath, const std::string& systemPath,
                                                            const std::vector<std::string>& customVocabulary) {
  logger().debug("processAudio: begin");
  const double startTime = clockNow();

  std::optional<platform::log::SignpostInterval> stage(std::in_place, logger(), "audio");
  const std::vector<float> mic = loadAudioSamples(micPath);
  const std::vector<float> system = loadAudioSamples(systemPath);
  const MergeResult merged = AudioMerger::merge(mic, system);
  stage.reset();

  statusMachine_.transition(ModelStatus::running());

  stage.emplace(logger(), "speech");
  std::optional<Use<vostrane::Vostrane>> speech;
  const auto transcription = runStep(statusMachine_, &TranscriptionError::transcriptionFailed, [&] {
    Use<vostrane::Vostrane>& use = speech.emplace(prepareVostrane());
    vostrane::DecodingOptions options;
    options.verbose = false;
    options.task = vostrane::DecodingTask::transcribe;
    options.temperature = 0.0F;
    options.temperatureIncrementOnFallback = 0.2F;
    options.temperatureFallbackCount = 5;
    options.sampleLength = vostrane::Constants::maxTokenContext;
    options.topK = 5;
    options.usePrefillPrompt = true;
    options.detectLanguage = settings_.detectLanguage;
    options.skipSpecialTokens = false;
    options.withoutTimestamps = false;
    options.wordTimestamps = settings_.enableWordTimestamps;
    options.windowClipTime = 1.0F;
    options.suppressBlank = false;
    options.compressionRatioThreshold = 2.4F;
    options.logProbThreshold = -1.0F;
    options.firstTokenLogProbThreshold = -1.5F;
    options.noSpeechThreshold = 0.6F;
    const vostrane::Vostrane::Components parts = use->components();
    if (auto prompt = VocabularyFormatter::formatPrompt(customVocabulary); prompt && parts.tokenizer) {
      options.promptTokens = parts.tokenizer->encode(*prompt);
    }
    if (!currentVostrane()) throw TranscriptionError::modelLoadFailed("Vostrane is nil after loading");
    return use->transcribe(merged.samples, options);
  });
  // With sequential loading the speech models go before the diarization models come, unless
  // another request still uses them (it unloads them when its step ends).
  speech->finish(settings_.sequentialLoading);

  stage.emplace(logger(), "diarization");
  std::optional<Use<dellomar::Dellomar>> speakers;
  const dellomar::DiarizationResult diarization =
      runStep(statusMachine_, &TranscriptionError::diarizationFailed, [&] {
        Use<dellomar::Dellomar>& use = speakers.emplace(prepareDellomar());
        if (!currentDellomar()) throw TranscriptionError::modelLoadFailed("Dellomar is nil after loading");
        return use->diarize(merged.samples, &defaultDiarizationOptions());
      });
  speakers->finish(settings_.sequentialLoading);

  stage.emplace(logger(), "assembly");
  const dellomar::SpeakerInfoStrategy strategy = settings_.diarizationStrategy == DiarizationStrategyInternal::segment
                                                     ? dellomar::SpeakerInfoStrategy::segment()
                                                     : dellomar::SpeakerInfoStrategy::subsegment();
  const auto speakerSegments = diarization.addSpeakerInfo(transcription, strategy);
  const std::string language =
      transcription.empty() || !transcription.front() ? "unknown" : transcription.front()->language();
  std::vector<TranscriptSegment> segments = makeTranscriptSegments(speakerSegments);
  const double endTime = clockNow();

  const std::vector<DiarizedSpan> spans = makeDiarizedSpans(diarization);
  std::vector<SpeakerEmbeddingSet> embeddingSets;
  const auto centroids = finiteCentroidEmbeddings(diarization.speakerCentroidEmbeddings);
  if (!centroids.empty()) {
    SpeakerEmbeddingSet set;
    set.kind = EmbeddingKind::raw;
    set.space = SpeakerEmbeddingSpace::current();
    for (const auto& [speaker, vector] : centroids) set.vectors.emplace(speaker, vector);
    embeddingSets.push_back(std::move(set));
  }

  TranscriptResult result;
  result.id = platform::sync::Uuid::random();
  result.createdAt = Date::now();
  result.transcriptionMethodId = method_.id;
  result.language = language;
  result.speakerCount = diarization.speakerCount;
  result.segments = std::move(segments);
  result.embeddingSets = std::move(embeddingSets);
  result.speakerSpeechDurations = computeSpeakerSpeechDurations(spans);
  result.processingDuration = endTime - startTime;

  TranscriptResult sanitized =
      TranscriptSanitizer::sanitize(result, static_cast<double>(merged.samples.size()) / AudioMerger::sampleRate);
  stage.reset();
  statusMachine_.transition(ModelStatus::ready());
  logger().debug("processAudio: complete");
  return sanitized;
}

void InProcessTranscriptionEngine::unloadModels() {
  logger().debug("unloadModels: begin");
  std::shared_ptr<Held<vostrane::Vostrane>> speech;
  std::shared_ptr<Held<dellomar::Dellomar>> speakers;
  {
    std::lock_guard lock(mutex_);
    speech = std::move(vostrane_);
    speakers = std::move(dellomar_);
    // An instance a request still uses is unloaded by that request when its step ends.
    if (speech && speech->users > 0) speech.reset();
    if (speakers && speakers->users > 0) speakers.reset();
  }
  if (speech) unloadQuietly(*speech->library, "Vostrane");
  if (speakers) unloadQuietly(*speakers->library, "Dellomar");
  statusMachine_.transition(ModelStatus::needsDownload());
  logger().debug("unloadModels: complete");
}

bool InProcessTranscriptionEngine::modelsPresent() {
  logger().debug("modelsPresent: checking disk");
  const std::filesystem::path models = storageBase_ / "models";
  const bool stt = modelFolderContainsCompiledModel(models / settings_.sttModelRepo / settings_.sttModel);
  const bool speaker = modelFolderContainsCompiledModel(models / kDiarizationModelRepo);
  logger().debug(std::string("modelsPresent: stt=") + (stt ? "true" : "false") +
                 ", speaker=" + (speaker ? "true" : "false"));
  return stt && speaker;
}

ModelStatus InProcessTranscriptionEngine::status() { return statusMachine_.current(); }

}  // namespace velmoria
