// InProcessTranscriptionEngine: the worker's transcription engine, one per connection. It owns
// the settings resolved from the transcription method, the model status machine, a disk-space
// checker and, once created, one speech library instance (Vostrane) and one diarization library
// instance (Dellomar).
//
// Thread-safety: every operation may be called from several threads at once. The engine's
// fields sit behind one mutex that is never held across a library call. A request counts
// itself as a user of each instance from the start of its speech (diarization) step to its
// end and works on its own std::shared_ptr copy. Whoever drops an instance from the engine
// (unloadModels, or a request with sequential loading after its step) unloads its models only
// when no request uses it; otherwise the last request using it unloads it when its step ends.
// So no request ever runs on models another call unloaded: a request whose library call is
// running when unloadModels comes finishes whole; one that finds the instance dropped between
// preparing and using it fails with modelLoadFailed ("Vostrane is nil after loading",
// "Dellomar is nil after loading"). Every library creation or ensureModelsLoaded that may
// download holds an advisory lock per repository (<storage>/locks/<owner>--<name>.lock), so two
// connections or two workers never download the same repository at once.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "diarization/dellomar.hpp"
#include "diarization/diarization_config.hpp"
#include "speech/pipeline/vostrane.hpp"
#include "speech/pipeline/vostrane_config.hpp"
#include "transcription/model_status.hpp"
#include "transcription/transcription_engine.hpp"
#include "transcription/transcription_error.hpp"

namespace velmoria {

enum class DiarizationStrategyInternal { subsegment, segment };

// "subsegment" or "segment"; absent for any other text.
std::optional<DiarizationStrategyInternal> diarizationStrategyFromRawValue(const std::string& raw);

struct ResolvedMethodSettings {
  std::string sttModel;
  std::string sttModelRepo;
  bool enableWordTimestamps = true;
  bool detectLanguage = false;
  DiarizationStrategyInternal diarizationStrategy = DiarizationStrategyInternal::subsegment;
  bool sequentialLoading = false;

  // An unknown physical memory size loads sequentially (the safe choice).
  static ResolvedMethodSettings resolve(const std::string& methodId, std::optional<std::uint64_t> physicalMemory);
  friend bool operator==(const ResolvedMethodSettings&, const ResolvedMethodSettings&) = default;
};

// The repository of the diarization models.
inline constexpr const char* kDiarizationModelRepo = "didezuraz/dellomar-coreml";

class DiskSpaceChecking {
 public:
  virtual ~DiskSpaceChecking() = default;
  // Throws TranscriptionError::insufficientDisk when fewer bytes are free; other errors when
  // the free space cannot be read.
  virtual void checkAvailableSpace(std::int64_t requiredBytes) = 0;
};

// Reads the free space of the volume that holds `storageFolder` (or its nearest existing
// ancestor); an unreadable volume throws platform::sys::Error.
class SystemDiskSpaceChecker : public DiskSpaceChecking {
 public:
  explicit SystemDiskSpaceChecker(std::filesystem::path storageFolder) : storageFolder_(std::move(storageFolder)) {}
  void checkAvailableSpace(std::int64_t requiredBytes) override;

 private:
  std::filesystem::path storageFolder_;
};

// applicationSupportDirectory() / "Velmoria", computed once per process.
const std::filesystem::path& modelStorageBaseURL();
// True when `folder` holds, at any depth, a non-hidden entry named "*.mlmodelc". Folder links
// are not followed.
bool modelFolderContainsCompiledModel(const std::filesystem::path& folder);
// Removes modelStorageBaseURL() / "models" with everything below it; nothing when absent.
void removeModelsFolder();
// The free space the speech model `sttModel` needs.
std::int64_t requiredDiskBytes(const std::string& sttModel);

class InProcessTranscriptionEngine : public TranscriptionEngine {
 public:
  // Makes the speech library instance from its configuration; throws what creation throws.
  // Called on the thread of the operation that needs the instance.
  using VostraneFactory = std::function<std::shared_ptr<vostrane::Vostrane>(const vostrane::VostraneConfig&)>;

  // The worker's engine: settings from this machine, storage in modelStorageBaseURL().
  explicit InProcessTranscriptionEngine(TranscriptionMethod method = TranscriptionMethod::current());
  // Everything given (tests): `storageBase` takes the place of modelStorageBaseURL(), and
  // `makeVostrane`, when not empty, that of vostrane::Vostrane::create.
  InProcessTranscriptionEngine(TranscriptionMethod method, ResolvedMethodSettings settings,
                               std::shared_ptr<DiskSpaceChecking> diskSpaceChecker, std::filesystem::path storageBase,
                               VostraneFactory makeVostrane = {});

  void ensureModelsDownloaded(const StatusCallback& status) override;
  TranscriptResult processAudio(const std::string& micPath, const std::string& systemPath,
                                const std::vector<std::string>& customVocabulary) override;
  // Drops both instances; the models of each are unloaded now, or by the last request still
  // using it. Never fails: an unload error is logged and the call goes on.
  void unloadModels() override;
  bool modelsPresent() override;
  ModelStatus status() override;

  const ResolvedMethodSettings& resolvedSettings() const { return settings_; }
  std::int64_t requiredDiskBytes() const { return velmoria::requiredDiskBytes(settings_.sttModel); }
  vostrane::VostraneConfig makeVostraneConfig(bool load, bool download) const;
  std::shared_ptr<dellomar::PyannoteConfig> makePyannoteConfig() const;
  // Whether each instance exists now (tests).
  bool hasVostrane() const;
  bool hasDellomar() const;

 private:
  // A library instance with the number of requests using it (guarded by mutex_).
  template <class Library>
  struct Held {
    std::shared_ptr<Library> library;
    int users = 0;
  };
  // One request's use of an instance, from its preparation to the end of the step.
  template <class Library>
  class Use;

  // A use of the instance in `slot`; an empty Use when there is none.
  template <class Library>
  Use<Library> useHeld(std::shared_ptr<Held<Library>>& slot, const char* name);
  // Puts `created` into `slot` (an instance there before is dropped) and returns a use of it.
  template <class Library>
  Use<Library> holdAndUse(std::shared_ptr<Held<Library>>& slot, std::shared_ptr<Library> created, const char* name);
  Use<vostrane::Vostrane> prepareVostrane();
  Use<dellomar::Dellomar> prepareDellomar();
  std::shared_ptr<vostrane::Vostrane> currentVostrane() const;
  std::shared_ptr<dellomar::Dellomar> currentDellomar() const;
  std::shared_ptr<vostrane::Vostrane> makeVostrane(const vostrane::VostraneConfig& config) const;
  std::filesystem::path lockPathOf(const std::string& repo) const;

  const TranscriptionMethod method_;
  const ResolvedMethodSettings settings_;
  const std::shared_ptr<DiskSpaceChecking> diskSpaceChecker_;
  const std::filesystem::path storageBase_;
  const VostraneFactory makeVostrane_;
  ModelStatusMachine statusMachine_;

  mutable std::mutex mutex_;
  std::shared_ptr<Held<vostrane::Vostrane>> vostrane_;  // guarded by mutex_
  std::shared_ptr<Held<dellomar::Dellomar>> dellomar_;  // guarded by mutex_
};

}  // namespace velmoria
