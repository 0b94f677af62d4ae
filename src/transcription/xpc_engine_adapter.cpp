#include "transcription/xpc_engine_adapter.hpp"

#include <future>
#include <optional>
#include <utility>

#include "platform/json/json.hpp"

namespace velmoria {

using platform::ipc::ErrorRecord;
using platform::json::Json;

TranscriptionError mapXPCError(const ErrorRecord& record) {
  if (record.domain == platform::ipc::kCocoaErrorDomain) {
    if (record.code == platform::ipc::kConnectionInvalidCode) return TranscriptionError::workerUnavailable();
    if (record.code == platform::ipc::kConnectionInterruptedCode) return TranscriptionError::workerInterrupted();
  }
  return TranscriptionError::transcriptionFailed(record.description);
}

TranscriptionError mapXPCError(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const TranscriptionError& e) {
    return e;
  } catch (const platform::ipc::RemoteError& e) {
    return mapXPCError(e.record());
  } catch (const std::exception& e) {
    return TranscriptionError::transcriptionFailed(e.what());
  } catch (...) {
    return TranscriptionError::transcriptionFailed("unknown error");
  }
}

XPCEngineAdapter::XPCEngineAdapter(ProxyProvider proxyProvider, ModelsPresentTest modelsPresent)
    : proxyProvider_(std::move(proxyProvider)), modelsPresent_(std::move(modelsPresent)) {}

void XPCEngineAdapter::ensureModelsDownloaded(const StatusCallback&) {
  auto proxy = proxyProvider_ ? proxyProvider_() : nullptr;
  if (!proxy) throw TranscriptionError::workerUnavailable();
  auto promise = std::make_shared<std::promise<std::optional<ErrorRecord>>>();
  auto answer = promise->get_future();
  proxy->ensureModelsDownloaded([promise](std::optional<ErrorRecord> error) { promise->set_value(std::move(error)); });
  if (auto error = answer.get()) throw mapXPCError(*error);
}

TranscriptResult XPCEngineAdapter::processAudio(const std::string& micPath, const std::string& systemPath,
                                                const std::vector<std::string>& customVocabulary) {
  auto proxy = proxyProvider_ ? proxyProvider_() : nullptr;
  if (!proxy) throw TranscriptionError::workerUnavailable();
  Json request;
  try {
    request = encodeJson(XPCProcessRequest{micPath, systemPath, customVocabulary});
  } catch (const std::exception& e) {
    throw TranscriptionError::invalidInput(std::string("Failed to encode XPCProcessRequest: ") + e.what());
  }
  struct Answer {
    std::optional<Json> transcript;
    std::optional<ErrorRecord> error;
  };
  auto promise = std::make_shared<std::promise<Answer>>();
  auto answer = promise->get_future();
  proxy->processAudio(std::move(request), [promise](std::optional<Json> transcript, std::optional<ErrorRecord> error) {
    promise->set_value(Answer{std::move(transcript), std::move(error)});
  });
  Answer reply = answer.get();
  // An error wins; data that came with it is not read.
  if (reply.error) throw mapXPCError(*reply.error);
  if (!reply.transcript) throw TranscriptionError::transcriptionFailed("XPC service returned nil data without an error");
  try {
    return decodeTranscriptResult(*reply.transcript);
  } catch (const std::exception& e) {
    throw TranscriptionError::transcriptionFailed(std::string("Failed to decode TranscriptResult from XPC: ") + e.what());
  }
}

void XPCEngineAdapter::unloadModels() {
  auto proxy = proxyProvider_ ? proxyProvider_() : nullptr;
  if (!proxy) return;
  auto promise = std::make_shared<std::promise<void>>();
  auto done = promise->get_future();
  proxy->unloadModels([promise] { promise->set_value(); });
  done.get();
}

bool XPCEngineAdapter::modelsPresent() { return modelsPresent_ && modelsPresent_(); }

ModelStatus XPCEngineAdapter::status() { return ModelStatus::ready(); }

}  // namespace velmoria
