// Transcriber: the app's facade over transcription. It hides where the engine runs (the
// worker process over its connection, or an engine inside the app), publishes a ModelStatus for
// every step to any number of status streams and turns every failure into a TranscriptionError,
// which it publishes as an error status and throws.
//
// Made with Transcriber::make (always held by std::shared_ptr). Every member is thread-safe.
// The facade's mutex is never held across an engine, library or connection call: each
// operation takes a std::shared_ptr copy of the engine and the connection under the lock and
// calls through it, so a concurrent shutdown() or unloadModels() never frees an object in use.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/sync/channel.hpp"
#include "platform/sync/uuid.hpp"
#include "transcription/model_status.hpp"
#include "transcription/transcriber_status_receiver.hpp"
#include "transcription/transcription_engine.hpp"
#include "transcription/transcription_error.hpp"
#include "transcription/xpc_connection.hpp"

namespace velmoria {

// One consumer's stream of statuses. The first value is the facade's status when the stream
// was made. next() waits for the next status; cancel() (or destruction) ends the stream and
// the facade forgets it. When the facade goes away first, next() gives the statuses still
// buffered and then none. Move-only; next() and cancel() may be called from any thread.
class StatusStream {
 public:
  explicit StatusStream(std::shared_ptr<platform::sync::Channel<ModelStatus>> channel) : channel_(std::move(channel)) {}
  StatusStream(StatusStream&&) noexcept = default;
  StatusStream& operator=(StatusStream&& other) noexcept;
  StatusStream(const StatusStream&) = delete;
  StatusStream& operator=(const StatusStream&) = delete;
  ~StatusStream();

  // The next status; absent once the stream ended.
  std::optional<ModelStatus> next();
  // A status already buffered, without waiting.
  std::optional<ModelStatus> tryNext();
  // How many statuses wait to be taken.
  std::size_t buffered() const { return channel_ ? channel_->bufferedCount() : 0; }
  // How many callers wait in next() right now (diagnostics and tests).
  std::size_t waiting() const { return channel_ ? channel_->waitingCount() : 0; }
  void cancel();

 private:
  std::shared_ptr<platform::sync::Channel<ModelStatus>> channel_;
};

class Transcriber : public std::enable_shared_from_this<Transcriber> {
 public:
  struct Backend {
    // The worker reached by service name, started on demand.
    static Backend hosted(std::string serviceName = kTranscriberServiceName) { return Backend{std::move(serviceName)}; }
    // An engine inside the app.
    static Backend inProcess() { return Backend{std::nullopt}; }
    bool isHosted() const { return serviceName.has_value(); }

    std::optional<std::string> serviceName;  // absent: in process
  };

  // Makes the hosted backend's connection, neither started nor resumed. May be called from
  // any thread; a null result leaves the operation that needed it with workerUnavailable.
  using ConnectionFactory = std::function<std::shared_ptr<TranscriberXPCConnecting>()>;

  // What the facade needs from outside: the in-process engine, the disk test of a method's
  // model sets, the removal of the models folder and the hosted backend's connections. An
  // empty member of the first three means "none": no in-process engine, no models on disk,
  // nothing to remove. An empty connectionFactory means the real one: a
  // TranscriberXPCConnectionImpl to the backend's service name. The in-process backend makes
  // no connection.
  struct Dependencies {
    std::function<std::shared_ptr<TranscriptionEngine>(const TranscriptionMethod&)> makeInProcessEngine;
    std::function<bool(const TranscriptionMethod&)> modelsPresentOnDisk;
    // Throws the file system's error when the folder exists and cannot be removed.
    std::function<void(const TranscriptionMethod&)> removeModelsFolder;
    // Called each time the facade opens a connection: at the first operation that needs the
    // worker, and again after shutdown().
    ConnectionFactory connectionFactory;
  };

  // The real ones, all in modelStorageBaseURL(): an InProcessTranscriptionEngine of the method;
  // that engine's disk test of the method's speech and diarization model sets; and
  // removeModelsFolder() while holding both repositories' download locks (speech first, then
  // diarization), so a download of the worker or of the speaker analyzer never runs during
  // the removal. Each call reads the storage folder anew; none keeps state. The connection
  // factory is left empty: the real connection.
  static Dependencies defaultDependencies();

  // The in-process backend creates its engine at once; the hosted one opens no connection yet.
  static std::shared_ptr<Transcriber> make(Backend backend, TranscriptionMethod method = TranscriptionMethod::current(),
                                           Dependencies dependencies = defaultDependencies());
  // Ends every status stream the facade still publishes to: a consumer waiting in next() gets
  // the statuses already buffered, then the end.
  ~Transcriber();

  // Makes sure both model sets are on disk; each download step's text goes to `status`
  // (may be empty; called on any thread). Publishes downloading(0), then ready or error.
  void ensureModelsDownloaded(const TranscriptionEngine::StatusCallback& status = {});
  // Publishes running, then ready or error.
  TranscriptResult processAudio(const std::string& micPath, const std::string& systemPath,
                                const std::vector<std::string>& customVocabulary);
  TranscriptResult reTranscribe(const std::string& micPath, const std::string& systemPath,
                                const std::vector<std::string>& customVocabulary);
  // Unloads the engine's models when there is an engine; publishes needsDownload. Never throws.
  void unloadModels();
  // As unloadModels, then removes the models folder; throws what the removal throws (the
  // status stays needsDownload).
  void clearCache();
  // Never throws.
  bool modelsPresent();
  // Hosted: a connection is open and the worker was not found gone; in process: the engine
  // is ready. Sends nothing, opens nothing.
  bool isAvailable();
  // Hosted: invalidates and drops the connection and the engine, clears the flag. In process:
  // nothing.
  void shutdown();
  StatusStream statusStream();

  ModelStatus currentStatus() const;
  // How many streams are live (not yet ended by their consumers).
  std::size_t liveStatusStreams() const;

  struct Passkey {
   private:
    friend class Transcriber;
    Passkey() = default;
  };
  // Use make(); public only for std::make_shared.
  Transcriber(Passkey, Backend backend, TranscriptionMethod method, Dependencies dependencies);

 private:

  struct Resolved {
    std::shared_ptr<TranscriptionEngine> engine;
    std::shared_ptr<TranscriberXPCConnecting> connection;
  };
  Resolved resolveEngine();
  void throwIfInterrupted();
  void publishStatus(ModelStatus status);
  void removeStream(const platform::sync::Uuid& id);
  // Converts the failure, publishes it, clears the flag when the worker was found gone, and
  // returns the converted error for the caller to throw.
  TranscriptionError fail(std::exception_ptr error);
  TranscriptResult runProcess(const std::string& micPath, const std::string& systemPath,
                              const std::vector<std::string>& customVocabulary);

  const Backend backend_;
  const TranscriptionMethod method_;
  const Dependencies dependencies_;
  const std::shared_ptr<InterruptedFlag> interruptedFlag_;  // hosted only
  const ConnectionFactory connectionFactory_;                // hosted only

  mutable std::mutex mutex_;
  // Guarded by mutex_:
  std::shared_ptr<TranscriptionEngine> engine_;
  ModelStatus currentStatus_ = ModelStatus::needsDownload();
  std::shared_ptr<TranscriberXPCConnecting> xpcConnection_;
  std::map<platform::sync::Uuid, std::shared_ptr<platform::sync::Channel<ModelStatus>>> statusContinuations_;
};

}  // namespace velmoria
