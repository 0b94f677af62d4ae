// TranscriberService: the worker's exported object for one connection. It turns each call of
// the service protocol into one call of its engine, converts JSON and errors at the boundary
// and forwards the engine's download steps to the app.
//
// - processAudio decodes the request at once; a request that does not decode is answered on
//   the calling thread with NSCocoaErrorDomain 4864 (the decoder's message) and the engine is
//   not called. Otherwise one thread calls the engine and answers with the transcript's JSON,
//   or 4866 when it does not encode, or the engine's error.
// - ensureModelsDownloaded takes the connection's status proxy once, before its thread starts;
//   without a connection the steps are dropped and the download still runs.
// - unloadModels runs on its own thread and always answers.
// - healthCheck answers true at once without touching the engine.
// Every failure is logged with its full text before the reply, which carries only the record
// (for a TranscriptionError: domain, case number and the generic text). At most
// ServiceCallThreads::kDefaultLimit calls run at a time; more are answered at once with
// {"platform.ipc", 5}. Threads hold the engine, so it lives until the last call ends.
// Thread-safe.
#pragma once

#include <memory>

#include "host/service_call_threads.hpp"
#include "platform/ipc/connection.hpp"
#include "transcription/transcriber_service_protocol.hpp"
#include "transcription/transcription_engine.hpp"

namespace velmoria {

class TranscriberService : public TranscriberServiceProtocol {
 public:
  // `engine` must not be null. `connection` may be empty (no status receiver).
  TranscriberService(std::shared_ptr<TranscriptionEngine> engine, std::weak_ptr<platform::ipc::Connection> connection,
                     std::size_t callLimit = ServiceCallThreads::kDefaultLimit);

  void processAudio(platform::json::Json request, ProcessAudioReply reply) override;
  void ensureModelsDownloaded(ErrorReply reply) override;
  void unloadModels(EmptyReply reply) override;
  void healthCheck(HealthReply reply) override;

  // Calls running now.
  std::size_t callsRunning() const { return threads_.running(); }

 private:
  std::shared_ptr<TranscriptionEngine> engine_;
  std::weak_ptr<platform::ipc::Connection> connection_;
  ServiceCallThreads threads_;
};

}  // namespace velmoria
