// XPCEngineAdapter: the TranscriptionEngine of the app side's hosted backend. Each operation
// sends its request to the worker through the proxy its provider hands out, waits for the
// reply and turns every failure into a TranscriptionError (mapXPCError).
//
// The adapter holds no state besides its two callbacks, so one adapter serves any number of
// concurrent calls from any threads. A call ends when its reply arrives; the connection ends
// every pending call itself (4097 when the worker went away, 4099 when the connection is
// invalid), so no call waits for ever. Never call it on the connection's delivery thread.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ipc/ipc_error.hpp"
#include "transcription/transcriber_service_protocol.hpp"
#include "transcription/transcription_engine.hpp"
#include "transcription/transcription_error.hpp"

namespace velmoria {

// The worker's remote object, or null when none can be had.
using ProxyProvider = std::function<std::shared_ptr<TranscriberServiceProtocol>()>;
// Whether both model sets are on this machine's disk.
using ModelsPresentTest = std::function<bool()>;

// An error record received from the worker or the connection: NSCocoaErrorDomain 4099 gives
// workerUnavailable, 4097 workerInterrupted, anything else (a TranscriptionError arrives as its
// domain, code and generic text only) transcriptionFailed with the record's description.
TranscriptionError mapXPCError(const platform::ipc::ErrorRecord& record);
// A thrown error: a TranscriptionError unchanged, a RemoteError by its record, anything else
// transcriptionFailed with its text.
TranscriptionError mapXPCError(std::exception_ptr error);

class XPCEngineAdapter : public TranscriptionEngine {
 public:
  // `modelsPresent` answers modelsPresent() from the local disk; the worker is never asked.
  XPCEngineAdapter(ProxyProvider proxyProvider, ModelsPresentTest modelsPresent);

  // Download steps reach the app through the status receiver; `status` is not called.
  void ensureModelsDownloaded(const StatusCallback& status) override;
  TranscriptResult processAudio(const std::string& micPath, const std::string& systemPath,
                                const std::vector<std::string>& customVocabulary) override;
  // Without a proxy sends nothing; never throws.
  void unloadModels() override;
  bool modelsPresent() override;
  // Always ready: nothing is asked.
  ModelStatus status() override;

 private:
  const ProxyProvider proxyProvider_;
  const ModelsPresentTest modelsPresent_;
};

}  // namespace velmoria
