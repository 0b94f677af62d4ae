// The worker's service protocol: what the app asks of the transcription worker, as a C++
// interface with reply callbacks, and its two ends over a platform::ipc connection.
//
// TranscriberServiceProtocol is implemented by the worker's service object (host/) and by
// TranscriberServiceProxy on the app side. Every method returns at once and answers through its
// reply callback, called exactly once, from any thread. Payloads are JSON values: the request is
// the JSON of an XPCProcessRequest, the transcript the JSON of a TranscriptResult; a failure is
// an error record {domain, code, description}.
//
// On the wire (docs/ipc.md, "The worker's methods"):
//   processAudio           {"request": XPCProcessRequest} -> {"transcript": TranscriptResult} or error
//   ensureModelsDownloaded {}                             -> {} or error
//   unloadModels           {}                             -> {}
//   healthCheck            {}                             -> {"healthy": true}
//
// TranscriberServiceExporter turns incoming calls into calls of a TranscriberServiceProtocol;
// TranscriberServiceProxy turns calls into messages. Both are thread-safe.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/ipc/connection.hpp"
#include "platform/ipc/ipc_error.hpp"
#include "platform/json/json.hpp"

namespace velmoria {

// The service name the app connects to and the worker listens as (its socket is
// "<name>.sock", platform/ipc/socket_path.hpp).
inline constexpr const char* kTranscriberServiceName = "transcriber-worker";

class TranscriberServiceProtocol {
 public:
  // The transcript's JSON or an error record; never both. Neither: the service had no answer.
  using ProcessAudioReply =
      std::function<void(std::optional<platform::json::Json> transcript, std::optional<platform::ipc::ErrorRecord> error)>;
  // Absent on success.
  using ErrorReply = std::function<void(std::optional<platform::ipc::ErrorRecord> error)>;
  using EmptyReply = std::function<void()>;
  using HealthReply = std::function<void(bool healthy)>;

  virtual ~TranscriberServiceProtocol() = default;

  // `request`: the JSON of an XPCProcessRequest, as received (the receiver decodes it).
  virtual void processAudio(platform::json::Json request, ProcessAudioReply reply) = 0;
  virtual void ensureModelsDownloaded(ErrorReply reply) = 0;
  virtual void unloadModels(EmptyReply reply) = 0;
  virtual void healthCheck(HealthReply reply) = 0;
};

// The protocol's interface description (name "TranscriberServiceProtocol", its four methods).
const platform::ipc::Interface& transcriberServiceInterface();

// The exported object of a worker-side connection: forwards each call to `service`. An
// unknown method or a call the service throws out of is answered with the error's record.
class TranscriberServiceExporter : public platform::ipc::ExportedObject {
 public:
  explicit TranscriberServiceExporter(std::shared_ptr<TranscriberServiceProtocol> service)
      : service_(std::move(service)) {}
  void handleCall(const std::string& method, const platform::json::Json& args, platform::ipc::Reply& reply) override;

 private:
  std::shared_ptr<TranscriberServiceProtocol> service_;
};

// The app side's view of the worker: Connection::remoteObjectProxy<TranscriberServiceProxy>().
// Replies run on the connection's delivery thread. A call the connection itself ends (the
// worker went away, the connection is invalid) answers processAudio and ensureModelsDownloaded
// with that record (NSCocoaErrorDomain 4097 / 4099), unloadModels with its plain reply and
// healthCheck with false.
class TranscriberServiceProxy : public platform::ipc::RemoteProxy, public TranscriberServiceProtocol {
 public:
  using RemoteProxy::RemoteProxy;
  static const platform::ipc::Interface& interface() { return transcriberServiceInterface(); }

  void processAudio(platform::json::Json request, ProcessAudioReply reply) override;
  void ensureModelsDownloaded(ErrorReply reply) override;
  void unloadModels(EmptyReply reply) override;
  void healthCheck(HealthReply reply) override;
};

}  // namespace velmoria
