#include "host/transcriber_service.hpp"

#include <exception>
#include <string>
#include <utility>

#include "platform/ipc/ipc_error.hpp"
#include "platform/log/log.hpp"
#include "platform/log/check.hpp"
#include "platform/sys/error_description.hpp"
#include "platform/sys/system.hpp"
#include "transcription/transcriber_status_reporting.hpp"
#include "transcription/transcript_records.hpp"
#include "transcription/transcription_error.hpp"

namespace velmoria {
namespace {

using platform::ipc::ErrorRecord;
using platform::json::Json;

const platform::log::Logger& logger() {
  static const platform::log::Logger l("com.velmoria.transcriber", "TranscriberXPCHost");
  return l;
}

// The record of `error` for the reply, after its full text went to the log.
ErrorRecord loggedRecordOf(std::string_view method, std::exception_ptr error) {
  ErrorRecord record = errorRecordOf(error);
  logger().error(std::string(method) + " failed: " + platform::sys::describeError(error, "unknown failure") + " [" +
                 record.domain + " " + std::to_string(record.code) + "]");
  return record;
}

ErrorRecord tooManyCallsRecord(std::string_view method) {
  logger().error(std::string(method) + " refused: too many calls in flight");
  return ErrorRecord::from(
      platform::ipc::IpcError(platform::ipc::IpcErrorCase::tooManyCalls, "the connection's calls are at their limit"));
}

}  // namespace

TranscriberService::TranscriberService(std::shared_ptr<TranscriptionEngine> engine,
                                       std::weak_ptr<platform::ipc::Connection> connection, std::size_t callLimit)
    : engine_(std::move(engine)), connection_(std::move(connection)), threads_(callLimit) {
  platform::log::requireThat(engine_ != nullptr, "TranscriberService needs an engine");
}

void TranscriberService::processAudio(Json request, ProcessAudioReply reply) {
  XPCProcessRequest decoded;
  try {
    decoded = decodeProcessRequest(request);
  } catch (...) {
    return reply(std::nullopt, loggedRecordOf("processAudio", std::current_exception()));
  }
  auto shared = std::make_shared<ProcessAudioReply>(std::move(reply));
  const bool started = threads_.start([engine = engine_, decoded = std::move(decoded), shared] {
    std::optional<Json> transcript;
    std::optional<ErrorRecord> error;
    try {
      const TranscriptResult result =
          engine->processAudio(decoded.micPath, decoded.systemPath, decoded.customVocabulary);
      transcript = encodeJson(result);
    } catch (...) {
      error = loggedRecordOf("processAudio", std::current_exception());
    }
    (*shared)(std::move(transcript), std::move(error));
  });
  if (!started) (*shared)(std::nullopt, tooManyCallsRecord("processAudio"));
}

void TranscriberService::ensureModelsDownloaded(ErrorReply reply) {
  std::shared_ptr<TranscriberStatusReportingProxy> statusProxy;
  if (auto connection = connection_.lock()) {
    statusProxy = connection->remoteObjectProxy<TranscriberStatusReportingProxy>();
  }
  auto shared = std::make_shared<ErrorReply>(std::move(reply));
  const bool started = threads_.start([engine = engine_, statusProxy, shared] {
    std::optional<ErrorRecord> error;
    try {
      engine->ensureModelsDownloaded([&statusProxy](const std::string& status) {
        if (statusProxy) statusProxy->reportDownloadStatus(status);
      });
    } catch (...) {
      error = loggedRecordOf("ensureModelsDownloaded", std::current_exception());
    }
    (*shared)(std::move(error));
  });
  if (!started) (*shared)(tooManyCallsRecord("ensureModelsDownloaded"));
}

void TranscriberService::unloadModels(EmptyReply reply) {
  auto shared = std::make_shared<EmptyReply>(std::move(reply));
  const bool started = threads_.start([engine = engine_, shared] {
    try {
      engine->unloadModels();
      // The worker keeps freed blocks for the next request (runWorker); models unloaded are
      // memory the app wants back.
      platform::sys::releaseFreeHeapMemory();
    } catch (...) {
      // The operation has no failure to report; the reply goes out regardless.
      loggedRecordOf("unloadModels", std::current_exception());
    }
    (*shared)();
  });
  if (!started) {
    // The reply of unloadModels carries nothing: without a thread the models stay loaded.
    logger().error("unloadModels refused: too many calls in flight");
    (*shared)();
  }
}

void TranscriberService::healthCheck(HealthReply reply) { reply(true); }

}  // namespace velmoria
