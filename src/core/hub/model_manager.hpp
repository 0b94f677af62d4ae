// ModelManager: the generic life-cycle controller of one set of models, and ModelLoader, the
// interface through which a model-specific library fetches, loads and unloads that set.
//
// The manager takes the set from nothing local through download (or adoption of the loader's
// local folder), optional prewarming, loading and unloading; it keeps the current ModelState,
// reports each change to an optional callback as (old, new) and logs every step under its
// logger name ("[<loggerName>] ..."). What the models are is the loader's business; the
// manager hands the loader its ModelDownloader when the models must be resolved. The
// diarization library derives from ModelManager and inherits the whole state machine.
//
// States and transitions (every other combination leaves the state unchanged):
//   unloaded  --download, loader has a folder-->  downloaded
//   unloaded  --download through the loader-->    downloading, downloaded   (failure: unloaded)
//   downloaded --prewarm-->                       prewarming, prewarmed     (failure: unloaded)
//   downloaded|prewarmed --load-->                loading, loaded           (failure: unloaded)
//   loaded|prewarmed --unload-->                  unloading, unloaded
// Prewarm and load started in unloaded first run the download row.
//
// Thread-safety: every member is thread-safe. Download, prewarm, load and unload are serialised
// by one lifecycle turn: a second caller waits until the first has finished, and gives up with
// platform::sync::CancellationError when its stop token is triggered first. No mutex is held
// while the loader or the state callback runs (the turn is a flag, not a held lock). The state
// callback is called on the thread that made the change, one change at a time, in order.
// ensureModelsLoaded() is single-flight: concurrent callers share one download-and-load.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "core/hub/load_models_coordinator.hpp"
#include "core/hub/noxtal_core_error.hpp"
#include "core/model_state.hpp"
#include "core/progress.hpp"

namespace noxtal {

class ModelDownloader;

// Implemented by a model-specific library. The manager calls one member at a time (holding its
// lifecycle turn, but no mutex), possibly from different threads over the loader's life.
class ModelLoader {
 public:
  using ProgressCallback = std::function<void(const Progress&)>;

  virtual ~ModelLoader() = default;

  // A local folder that already holds the models; absent when they must be resolved.
  virtual std::optional<std::string> modelFolder() const = 0;
  // Makes the models available locally (typically through `downloader`) and returns the path
  // of the folder that holds them. Reports progress through `progressCallback` when it is set.
  // Throws whatever resolving fails with; should honour `stopToken`.
  virtual std::string resolveModels(ModelDownloader& downloader, const ProgressCallback& progressCallback,
                                    std::stop_token stopToken) = 0;
  // Loads the models in the folder at `path`; `prewarm` true asks for a prewarming pass instead
  // of a load for use. Throws whatever loading fails with.
  virtual void load(const std::string& path, bool prewarm, std::stop_token stopToken) = 0;
  // Releases the loaded models. Cannot fail.
  virtual void unload() noexcept = 0;
};

class ModelManager {
 public:
  using StateCallback = std::function<void(ModelState oldState, ModelState newState)>;
  using ProgressCallback = ModelLoader::ProgressCallback;

  // `loader` and `downloader` must not be null. `loggerName` is the log prefix; a derived class
  // passes its own (unqualified) class name. A new manager is unloaded, without path or callback.
  ModelManager(std::shared_ptr<ModelLoader> loader, std::shared_ptr<ModelDownloader> downloader,
               std::string loggerName = "ModelManager");
  // Waits for a running coordinated load (asking it to stop). Does not unload the models.
  virtual ~ModelManager();
  ModelManager(const ModelManager&) = delete;
  ModelManager& operator=(const ModelManager&) = delete;

  ModelState modelState() const;
  StateCallback modelStateCallback() const;
  // An empty function removes the callback. The callback may read the manager and replace the
  // callback, but must not call its download, prewarm, load, unload or ensure operations from
  // the thread it runs on (that would wait for the turn its own caller holds: such a call is a
  // programming error and aborts with a log line), nor destroy the manager. An exception thrown
  // by the callback is logged and dropped: it changes neither the state nor the operation.
  void setModelStateCallback(StateCallback callback);
  // Folder of the resolved models, once a download step has set it. Never cleared.
  std::optional<std::filesystem::path> modelPath() const;
  // The loader's folder as a path; absent when the loader has none.
  std::optional<std::filesystem::path> modelFolder() const;
  const std::string& loggerName() const { return loggerName_; }
  const std::shared_ptr<ModelDownloader>& downloader() const { return downloader_; }
  const std::shared_ptr<ModelLoader>& loader() const { return loader_; }

  // Returns at once when loaded; otherwise downloads if needed and loads, sharing one such run
  // with every concurrent caller (all of them receive its error). The shared run continues when
  // a caller's `stopToken` ends that caller's wait (CancellationError). Like the operations
  // below, a call from a thread that runs a lifecycle operation (the state callback or the loader
  // of a direct operation or of the shared run itself) aborts with a log line, whatever the state.
  void ensureModelsLoaded(std::stop_token stopToken = {});
  // Each of the next three waits for the lifecycle turn first; a triggered `stopToken` ends that
  // wait with platform::sync::CancellationError and no state change.
  //
  // From unloaded: adopts the loader's folder, or resolves the models through the loader
  // (states downloading, downloaded). In any other state: logs the skip and returns. On a
  // loader failure the state returns to unloaded and the loader's error is rethrown.
  void downloadModels(const ProgressCallback& progressCallback = nullptr, std::stop_token stopToken = {});
  // Downloads first when unloaded, then prewarms from downloaded (prewarmed: skipped). Throws
  // NoxtalCoreError::invalidConfiguration when there is no model path ("No model path
  // available. Call downloadModels() first, or provide modelFolder.") or in any other state
  // ("Cannot prewarm in state: <state>"), without a state change; a loader failure returns the
  // state to unloaded and is rethrown.
  void prewarmModels(std::stop_token stopToken = {});
  // As prewarmModels, loading from downloaded or prewarmed (loaded: skipped; other states:
  // "Cannot load in state: <state>").
  void loadModels(std::stop_token stopToken = {});
  // From loaded or prewarmed: unloading, then unloaded. Does nothing in other states, and
  // nothing when `stopToken` is triggered before the turn is free (logged). Never throws.
  void unloadModels(std::stop_token stopToken = {}) noexcept;

  // True for loading, loaded and downloaded.
  bool isAvailable() const;
  // True only for loaded.
  bool isLoaded() const;

 protected:
  // Stores the state; calls the callback with (old, new) when it differs from the old one.
  void setModelState(ModelState state);
  // The single-flight guard of ensureModelsLoaded(), for observation.
  const LoadModelsCoordinator& coordinator() const { return coordinator_; }
  // Callers currently waiting for the lifecycle turn, for observation.
  std::size_t lifecycleWaiterCount() const;

 private:
  struct StateFields {
    ModelState modelState = ModelState::unloaded;
    StateCallback modelStateCallback;
    std::optional<std::filesystem::path> modelPath;
  };

  // Serialises the lifecycle operations. Taken and handed back by the operation's thread; no
  // mutex is held in between.
  class LifecycleTurn {
   public:
    // Waits until the turn is free and takes it. Throws platform::sync::CancellationError when
    // `stopToken` is triggered first. Taking it again on the thread that holds it aborts.
    void acquire(const std::stop_token& stopToken);
    void release() noexcept;
    std::size_t waiters() const;
    // Aborts when the calling thread holds the turn.
    void requireNotHeldHere() const;

   private:
    void requireNotHeldHereLocked() const;  // needs mutex_

    mutable std::mutex mutex_;
    std::condition_variable_any changed_;
    bool held_ = false;        // guarded by mutex_
    std::thread::id owner_;    // guarded by mutex_
    std::size_t waiters_ = 0;  // guarded by mutex_
  };
  // Holds the turn for one scope.
  class TurnGuard {
   public:
    TurnGuard(LifecycleTurn& turn, const std::stop_token& stopToken) : turn_(turn) { turn_.acquire(stopToken); }
    ~TurnGuard() { turn_.release(); }
    TurnGuard(const TurnGuard&) = delete;
    TurnGuard& operator=(const TurnGuard&) = delete;

   private:
    LifecycleTurn& turn_;
  };

  // The *Locked members expect the lifecycle turn to be held by the caller.
  void downloadModelsLocked(const ProgressCallback& progressCallback, std::stop_token stopToken);
  void prewarmModelsLocked(std::stop_token stopToken);
  void loadModelsLocked(std::stop_token stopToken);
  std::string requireModelPath() const;
  void setModelPath(std::filesystem::path path);

  const std::shared_ptr<ModelLoader> loader_;
  const std::shared_ptr<ModelDownloader> downloader_;
  const std::string loggerName_;

  LifecycleTurn lifecycle_;        // serialises download, prewarm, load and unload
  mutable std::mutex stateMutex_;  // guards state_
  StateFields state_;

  // Declared last: destroyed (and its thread joined) before the members above.
  LoadModelsCoordinator coordinator_;
};

}  // namespace noxtal
