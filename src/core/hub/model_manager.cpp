#include "core/hub/model_manager.hpp"

#include <exception>
#include <utility>

#include "core/logging.hpp"
#include "platform/log/check.hpp"
#include "platform/sync/cancellation.hpp"

namespace noxtal {
namespace {

// The text of the exception being handled.
std::string currentErrorText() {
  try {
    throw;
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unknown error";
  }
}

std::string stateText(ModelState state) { return std::string(description(state)); }

}  // namespace

void ModelManager::LifecycleTurn::requireNotHeldHere() const {
  std::lock_guard<std::mutex> guard(mutex_);
  requireNotHeldHereLocked();
}

void ModelManager::LifecycleTurn::requireNotHeldHereLocked() const {
  platform::log::requireThat(!(held_ && owner_ == std::this_thread::get_id()),
                             "ModelManager: a lifecycle operation was called while the same thread runs one "
                             "(from the model state callback or the loader?)");
}

void ModelManager::LifecycleTurn::acquire(const std::stop_token& stopToken) {
  std::unique_lock<std::mutex> lock(mutex_);
  requireNotHeldHereLocked();
  ++waiters_;
  const bool free = changed_.wait(lock, stopToken, [&] { return !held_; });
  --waiters_;
  if (!free) throw platform::sync::CancellationError();
  held_ = true;
  owner_ = std::this_thread::get_id();
}

void ModelManager::LifecycleTurn::release() noexcept {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    held_ = false;
    owner_ = std::thread::id();
  }
  changed_.notify_all();
}

std::size_t ModelManager::LifecycleTurn::waiters() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return waiters_;
}

std::size_t ModelManager::lifecycleWaiterCount() const { return lifecycle_.waiters(); }

ModelManager::ModelManager(std::shared_ptr<ModelLoader> loader, std::shared_ptr<ModelDownloader> downloader,
                           std::string loggerName)
    : loader_(std::move(loader)), downloader_(std::move(downloader)), loggerName_(std::move(loggerName)) {}

ModelManager::~ModelManager() = default;

ModelState ModelManager::modelState() const {
  std::lock_guard<std::mutex> guard(stateMutex_);
  return state_.modelState;
}

ModelManager::StateCallback ModelManager::modelStateCallback() const {
  std::lock_guard<std::mutex> guard(stateMutex_);
  return state_.modelStateCallback;
}

void ModelManager::setModelStateCallback(StateCallback callback) {
  std::lock_guard<std::mutex> guard(stateMutex_);
  state_.modelStateCallback = std::move(callback);
}

std::optional<std::filesystem::path> ModelManager::modelPath() const {
  std::lock_guard<std::mutex> guard(stateMutex_);
  return state_.modelPath;
}

std::optional<std::filesystem::path> ModelManager::modelFolder() const {
  auto folder = loader_->modelFolder();
  if (!folder) return std::nullopt;
  return std::filesystem::path(*folder);
}

bool ModelManager::isAvailable() const {
  const ModelState state = modelState();
  return state == ModelState::loading || state == ModelState::loaded || state == ModelState::downloaded;
}

bool ModelManager::isLoaded() const { return modelState() == ModelState::loaded; }

void ModelManager::setModelState(ModelState state) {
  ModelState old;
  StateCallback callback;
  {
    std::lock_guard<std::mutex> guard(stateMutex_);
    old = state_.modelState;
    state_.modelState = state;
    if (old == state || !state_.modelStateCallback) return;
    callback = state_.modelStateCallback;
  }
  try {
    callback(old, state);
  } catch (...) {
    Logging::error("[" + loggerName_ + "] Model state callback failed (" + stateText(old) + " -> " + stateText(state) +
                   "): " + currentErrorText());
  }
}

void ModelManager::setModelPath(std::filesystem::path path) {
  std::lock_guard<std::mutex> guard(stateMutex_);
  state_.modelPath = std::move(path);
}

std::string ModelManager::requireModelPath() const {
  if (auto path = modelPath()) return path->string();
  if (auto folder = loader_->modelFolder()) return *folder;
  throw NoxtalCoreError::invalidConfiguration(
      "No model path available. Call downloadModels() first, or provide modelFolder.");
}

void ModelManager::ensureModelsLoaded(std::stop_token stopToken) {
  // The coordinated run takes the turn on the coordinator's thread, where acquire() cannot see
  // that this caller holds it (a direct operation) or is that run itself (a coordinated one).
  lifecycle_.requireNotHeldHere();
  if (modelState() == ModelState::loaded) return;
  coordinator_.run(
      [this](std::stop_token loadToken) {
        const TurnGuard turn(lifecycle_, loadToken);
        if (modelState() == ModelState::loaded) return;
        downloadModelsLocked(nullptr, loadToken);
        loadModelsLocked(loadToken);
      },
      std::move(stopToken));
}

void ModelManager::downloadModels(const ProgressCallback& progressCallback, std::stop_token stopToken) {
  const TurnGuard turn(lifecycle_, stopToken);
  downloadModelsLocked(progressCallback, std::move(stopToken));
}

void ModelManager::prewarmModels(std::stop_token stopToken) {
  const TurnGuard turn(lifecycle_, stopToken);
  prewarmModelsLocked(std::move(stopToken));
}

void ModelManager::loadModels(std::stop_token stopToken) {
  const TurnGuard turn(lifecycle_, stopToken);
  loadModelsLocked(std::move(stopToken));
}

void ModelManager::unloadModels(std::stop_token stopToken) noexcept {
  try {
    const TurnGuard turn(lifecycle_, stopToken);
    const ModelState state = modelState();
    if (state != ModelState::loaded && state != ModelState::prewarmed) return;
    setModelState(ModelState::unloading);
    loader_->unload();
    setModelState(ModelState::unloaded);
  } catch (const platform::sync::CancellationError&) {
    Logging::debug("[" + loggerName_ + "] Unload cancelled while waiting for another operation");
  } catch (...) {
    Logging::error("[" + loggerName_ + "] Failed to unload models: " + currentErrorText());
  }
}

void ModelManager::downloadModelsLocked(const ProgressCallback& progressCallback, std::stop_token stopToken) {
  const std::string& n = loggerName_;
  const ModelState state = modelState();
  if (state != ModelState::unloaded) {
    Logging::debug("[" + n + "] Models already downloaded (state: " + stateText(state) + "), skipping download");
    return;
  }
  if (auto folder = loader_->modelFolder()) {
    Logging::debug("[" + n + "] modelFolder is set, skipping download");
    setModelPath(std::filesystem::path(*folder));
    setModelState(ModelState::downloaded);
    return;
  }
  Logging::info("[" + n + "] Starting download process...");
  setModelState(ModelState::downloading);
  std::string path;
  try {
    path = loader_->resolveModels(*downloader_, progressCallback, std::move(stopToken));
  } catch (...) {
    setModelState(ModelState::unloaded);
    Logging::error("[" + n + "] Failed to download models: " + currentErrorText());
    throw;
  }
  setModelPath(std::filesystem::path(path));
  setModelState(ModelState::downloaded);
  Logging::info("[" + n + "] Models downloaded to " + path);
}

void ModelManager::prewarmModelsLocked(std::stop_token stopToken) {
  const std::string& n = loggerName_;
  if (modelState() == ModelState::unloaded) downloadModelsLocked(nullptr, stopToken);
  const std::string path = requireModelPath();
  const ModelState state = modelState();
  if (state == ModelState::prewarmed) {
    Logging::debug("[" + n + "] Models already prewarmed, skipping");
    return;
  }
  if (state != ModelState::downloaded) {
    throw NoxtalCoreError::invalidConfiguration("Cannot prewarm in state: " + stateText(state));
  }
  setModelState(ModelState::prewarming);
  try {
    loader_->load(path, true, std::move(stopToken));
  } catch (...) {
    setModelState(ModelState::unloaded);
    Logging::error("[" + n + "] Failed to prewarm models: " + currentErrorText());
    throw;
  }
  setModelState(ModelState::prewarmed);
  Logging::info("[" + n + "] Models prewarmed successfully");
}

void ModelManager::loadModelsLocked(std::stop_token stopToken) {
  const std::string& n = loggerName_;
  if (modelState() == ModelState::unloaded) downloadModelsLocked(nullptr, stopToken);
  const std::string path = requireModelPath();
  const ModelState state = modelState();
  if (state == ModelState::loaded) {
    Logging::debug("[" + n + "] Models already loaded, skipping");
    return;
  }
  if (state != ModelState::prewarmed && state != ModelState::downloaded) {
    throw NoxtalCoreError::invalidConfiguration("Cannot load in state: " + stateText(state));
  }
  setModelState(ModelState::loading);
  try {
    loader_->load(path, false, std::move(stopToken));
  } catch (...) {
    setModelState(ModelState::unloaded);
    Logging::error("[" + n + "] Failed to load models: " + currentErrorText());
    throw;
  }
  setModelState(ModelState::loaded);
  Logging::info("[" + n + "] Models loaded successfully");
}

}  // namespace noxtal
