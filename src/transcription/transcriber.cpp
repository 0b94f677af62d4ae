#include "transcription/transcriber.hpp"

#include <utility>

#include "platform/sys/system.hpp"
#include "transcription/in_process_transcription_engine.hpp"
#include "transcription/model_repository_lock.hpp"

namespace velmoria {

using platform::sync::Channel;
using platform::sync::Uuid;

// ---- StatusStream

StatusStream& StatusStream::operator=(StatusStream&& other) noexcept {
  if (this != &other) {
    cancel();
    channel_ = std::move(other.channel_);
  }
  return *this;
}

StatusStream::~StatusStream() { cancel(); }

std::optional<ModelStatus> StatusStream::next() { return channel_ ? channel_->pop() : std::nullopt; }

std::optional<ModelStatus> StatusStream::tryNext() {
  if (!channel_ || channel_->bufferedCount() == 0) return std::nullopt;
  return channel_->pop();
}

void StatusStream::cancel() {
  if (channel_) channel_->cancel();
}

// ---- Transcriber

Transcriber::Dependencies Transcriber::defaultDependencies() {
  Dependencies dependencies;
  dependencies.makeInProcessEngine = [](const TranscriptionMethod& method) -> std::shared_ptr<TranscriptionEngine> {
    return std::make_shared<InProcessTranscriptionEngine>(method);
  };
  dependencies.modelsPresentOnDisk = [](const TranscriptionMethod& method) {
    // The engine's own disk test, with the settings resolved for this machine; making an
    // engine loads nothing.
    return InProcessTranscriptionEngine(method).modelsPresent();
  };
  dependencies.removeModelsFolder = [](const TranscriptionMethod& method) {
    const auto settings = ResolvedMethodSettings::resolve(method.id, platform::sys::physicalMemoryBytes());
    // The engine takes one repository lock at a time, so holding both here cannot deadlock.
    const auto speechLock = lockModelRepository(modelStorageBaseURL(), settings.sttModelRepo);
    const auto diarizationLock = lockModelRepository(modelStorageBaseURL(), kDiarizationModelRepo);
    velmoria::removeModelsFolder();
  };
  return dependencies;
}

std::shared_ptr<Transcriber> Transcriber::make(Backend backend, TranscriptionMethod method, Dependencies dependencies) {
  return std::make_shared<Transcriber>(Passkey{}, std::move(backend), std::move(method), std::move(dependencies));
}

namespace {

Transcriber::ConnectionFactory connectionFactoryOf(const Transcriber::Backend& backend,
                                                   const Transcriber::ConnectionFactory& given) {
  if (!backend.isHosted()) return {};
  if (given) return given;
  return [serviceName = *backend.serviceName]() -> std::shared_ptr<TranscriberXPCConnecting> {
    return std::make_shared<TranscriberXPCConnectionImpl>(serviceName);
  };
}

}  // namespace

Transcriber::Transcriber(Passkey, Backend backend, TranscriptionMethod method, Dependencies dependencies)
    : backend_(std::move(backend)),
      method_(std::move(method)),
      dependencies_(std::move(dependencies)),
      interruptedFlag_(backend_.isHosted() ? std::make_shared<InterruptedFlag>() : nullptr),
      connectionFactory_(connectionFactoryOf(backend_, dependencies_.connectionFactory)) {
  if (!backend_.isHosted() && dependencies_.makeInProcessEngine) engine_ = dependencies_.makeInProcessEngine(method_);
}

Transcriber::~Transcriber() {
  std::map<Uuid, std::shared_ptr<Channel<ModelStatus>>> streams;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    streams.swap(statusContinuations_);
  }
  // Each stream's termination callback finds the facade gone and does nothing.
  for (auto& [id, channel] : streams) channel->finish();
}

Transcriber::Resolved Transcriber::resolveEngine() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (engine_) return Resolved{engine_, xpcConnection_};
  }
  // Made outside the lock; a concurrent caller that got there first wins, and what was made
  // here is released after the lock.
  if (!connectionFactory_) {
    auto made = dependencies_.makeInProcessEngine ? dependencies_.makeInProcessEngine(method_) : nullptr;
    std::lock_guard<std::mutex> guard(mutex_);
    if (!engine_) engine_ = std::move(made);
    return Resolved{engine_, nullptr};
  }
  transcriberLogger().info("client: creating XPC connection (previous was shut down or nil)");
  // Creating and starting a connection contacts nothing; the worker is reached at the first call.
  std::shared_ptr<TranscriberXPCConnecting> connection = connectionFactory_();
  if (!connection) return Resolved{};
  ModelsPresentTest diskTest;
  if (dependencies_.modelsPresentOnDisk) {
    diskTest = [test = dependencies_.modelsPresentOnDisk] { return test(TranscriptionMethod::v2()); };
  }
  std::shared_ptr<TranscriptionEngine> adapter =
      startTranscriberConnection(connection, interruptedFlag_, std::move(diskTest));
  std::shared_ptr<TranscriberXPCConnecting> previous;
  std::lock_guard<std::mutex> guard(mutex_);
  if (!engine_) {
    previous = std::exchange(xpcConnection_, connection);
    engine_ = std::move(adapter);
  }
  return Resolved{engine_, xpcConnection_};
}

void Transcriber::throwIfInterrupted() {
  if (interruptedFlag_ && interruptedFlag_->value()) {
    interruptedFlag_->clear();
    throw TranscriptionError::workerInterrupted();
  }
}

void Transcriber::publishStatus(ModelStatus status) {
  // Pushing onto an unbounded channel neither waits nor runs its termination callback, so it
  // may happen under the lock, which keeps every stream in publication order.
  std::lock_guard<std::mutex> guard(mutex_);
  currentStatus_ = status;
  for (auto& [id, channel] : statusContinuations_) channel->push(status);
}

void Transcriber::removeStream(const Uuid& id) {
  std::shared_ptr<Channel<ModelStatus>> removed;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = statusContinuations_.find(id);
    if (it == statusContinuations_.end()) return;
    removed = std::move(it->second);
    statusContinuations_.erase(it);
  }
  // The channel is released here, outside the lock.
}

TranscriptionError Transcriber::fail(std::exception_ptr error) {
  TranscriptionError converted = mapXPCError(error);
  if (converted.errorCase() == TranscriptionError::Case::workerInterrupted && interruptedFlag_) {
    // This operation already reports the worker's death; the next one must not report it again.
    interruptedFlag_->clear();
  }
  publishStatus(ModelStatus::error(converted));
  return converted;
}

void Transcriber::ensureModelsDownloaded(const TranscriptionEngine::StatusCallback& status) {
  transcriberLogger().info("client: ensureModelsDownloaded called");
  throwIfInterrupted();
  const Resolved resolved = resolveEngine();
  publishStatus(ModelStatus::downloading(0));
  const auto& receiver = resolved.connection ? resolved.connection->statusReceiver() : nullptr;
  if (receiver) receiver->setHandler(status);
  try {
    if (!resolved.engine) throw TranscriptionError::workerUnavailable();
    resolved.engine->ensureModelsDownloaded([&status](const std::string& text) {
      if (status) status(text);
    });
  } catch (...) {
    auto converted = fail(std::current_exception());
    if (receiver) receiver->setHandler({});
    throw converted;
  }
  publishStatus(ModelStatus::ready());
  if (receiver) receiver->setHandler({});
}

TranscriptResult Transcriber::runProcess(const std::string& micPath, const std::string& systemPath,
                                         const std::vector<std::string>& customVocabulary) {
  throwIfInterrupted();
  const Resolved resolved = resolveEngine();
  publishStatus(ModelStatus::running());
  std::optional<TranscriptResult> result;
  try {
    if (!resolved.engine) throw TranscriptionError::workerUnavailable();
    result = resolved.engine->processAudio(micPath, systemPath, customVocabulary);
  } catch (...) {
    throw fail(std::current_exception());
  }
  publishStatus(ModelStatus::ready());
  return std::move(*result);
}

TranscriptResult Transcriber::processAudio(const std::string& micPath, const std::string& systemPath,
                                           const std::vector<std::string>& customVocabulary) {
  transcriberLogger().info("client: processAudio called");
  return runProcess(micPath, systemPath, customVocabulary);
}

TranscriptResult Transcriber::reTranscribe(const std::string& micPath, const std::string& systemPath,
                                           const std::vector<std::string>& customVocabulary) {
  transcriberLogger().info("client: reTranscribe called");
  return runProcess(micPath, systemPath, customVocabulary);
}

void Transcriber::unloadModels() {
  std::shared_ptr<TranscriptionEngine> engine;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    engine = engine_;
  }
  if (engine) engine->unloadModels();
  publishStatus(ModelStatus::needsDownload());
}

void Transcriber::clearCache() {
  unloadModels();
  if (dependencies_.removeModelsFolder) dependencies_.removeModelsFolder(method_);
}

bool Transcriber::modelsPresent() {
  std::shared_ptr<TranscriptionEngine> engine;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    engine = engine_;
  }
  try {
    if (engine) return engine->modelsPresent();
    return dependencies_.modelsPresentOnDisk && dependencies_.modelsPresentOnDisk(method_);
  } catch (const std::exception& e) {
    transcriberLogger().error(std::string("client: models presence test failed: ") + e.what());
    return false;
  }
}

bool Transcriber::isAvailable() {
  std::shared_ptr<TranscriptionEngine> engine;
  std::shared_ptr<TranscriberXPCConnecting> connection;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    engine = engine_;
    connection = xpcConnection_;
  }
  if (backend_.isHosted()) {
    if (interruptedFlag_->value() || !connection) return false;
    return connection->connection()->remoteObjectProxy<TranscriberServiceProxy>() != nullptr;
  }
  if (!engine) return false;
  return engine->status() == ModelStatus::ready();
}

void Transcriber::shutdown() {
  if (!backend_.isHosted()) return;
  transcriberLogger().info("client: shutting down \u2014 invalidating XPC connection");
  std::shared_ptr<TranscriberXPCConnecting> connection;
  std::shared_ptr<TranscriptionEngine> engine;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    connection = std::move(xpcConnection_);
    engine = std::move(engine_);
    xpcConnection_.reset();
    engine_.reset();
  }
  if (connection) connection->connection()->invalidate();
  transcriberLogger().info("client: invalidate() returned \u2014 connection torn down");
  interruptedFlag_->clear();
  // Released here, outside the lock; a call still running keeps its own copies.
}

StatusStream Transcriber::statusStream() {
  auto channel = std::make_shared<Channel<ModelStatus>>();
  const Uuid id = Uuid::random();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    statusContinuations_.emplace(id, channel);
    channel->push(currentStatus_);
  }
  std::weak_ptr<Transcriber> weak = weak_from_this();
  // Runs on the consumer's thread when it ends the stream, never inside publishStatus.
  channel->onTermination([weak, id](Channel<ModelStatus>::Termination) {
    if (auto self = weak.lock()) self->removeStream(id);
  });
  return StatusStream(channel);
}

ModelStatus Transcriber::currentStatus() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return currentStatus_;
}

std::size_t Transcriber::liveStatusStreams() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return statusContinuations_.size();
}

}  // namespace velmoria
