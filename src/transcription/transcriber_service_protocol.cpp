#include "transcriber_service_protocol.hpp"

#include <utility>

#include "platform/ipc/ipc_error.hpp"

namespace velmoria {

using platform::ipc::CallOutcome;
using platform::ipc::ErrorRecord;
using platform::ipc::IpcError;
using platform::ipc::IpcErrorCase;
using platform::ipc::Reply;
using platform::json::Json;

const platform::ipc::Interface& transcriberServiceInterface() {
  static const platform::ipc::Interface i{"TranscriberServiceProtocol",
                                          {{"processAudio", false, Json::object()},
                                           {"ensureModelsDownloaded", false, Json::object()},
                                           {"unloadModels", false, Json::object()},
                                           {"healthCheck", false, Json::object()}}};
  return i;
}

void TranscriberServiceExporter::handleCall(const std::string& method, const Json& args, Reply& reply) {
  // The reply outlives this call when the service answers later; a callback that is never
  // called drops it, which answers the call with the layer's "dropped" record.
  auto shared = std::make_shared<Reply>(std::move(reply));
  if (method == "processAudio") {
    auto it = args.find("request");
    Json request = it == args.end() ? Json(nullptr) : *it;
    service_->processAudio(std::move(request),
                           [shared](std::optional<Json> transcript, std::optional<ErrorRecord> error) {
                             if (error) return shared->fail(std::move(*error));
                             Json result = Json::object();
                             if (transcript) result["transcript"] = std::move(*transcript);
                             shared->succeed(std::move(result));
                           });
    return;
  }
  if (method == "ensureModelsDownloaded") {
    service_->ensureModelsDownloaded([shared](std::optional<ErrorRecord> error) {
      if (error) return shared->fail(std::move(*error));
      shared->succeed(Json::object());
    });
    return;
  }
  if (method == "unloadModels") {
    service_->unloadModels([shared] { shared->succeed(Json::object()); });
    return;
  }
  if (method == "healthCheck") {
    service_->healthCheck([shared](bool healthy) { shared->succeed(Json{{"healthy", healthy}}); });
    return;
  }
  shared->fail(IpcError(IpcErrorCase::unknownMethod, method));
}

void TranscriberServiceProxy::processAudio(Json request, ProcessAudioReply reply) {
  call("processAudio", Json{{"request", std::move(request)}}, [reply = std::move(reply)](CallOutcome outcome) {
    if (outcome.error) return reply(std::nullopt, std::move(outcome.error));
    std::optional<Json> transcript;
    if (outcome.result.is_object()) {
      auto it = outcome.result.find("transcript");
      if (it != outcome.result.end() && !it->is_null()) transcript = std::move(*it);
    }
    reply(std::move(transcript), std::nullopt);
  });
}

void TranscriberServiceProxy::ensureModelsDownloaded(ErrorReply reply) {
  call("ensureModelsDownloaded", Json::object(),
       [reply = std::move(reply)](CallOutcome outcome) { reply(std::move(outcome.error)); });
}

void TranscriberServiceProxy::unloadModels(EmptyReply reply) {
  call("unloadModels", Json::object(), [reply = std::move(reply)](CallOutcome) { reply(); });
}

void TranscriberServiceProxy::healthCheck(HealthReply reply) {
  call("healthCheck", Json::object(), [reply = std::move(reply)](CallOutcome outcome) {
    bool healthy = false;
    if (!outcome.error && outcome.result.is_object()) {
      auto it = outcome.result.find("healthy");
      healthy = it != outcome.result.end() && it->is_boolean() && it->get<bool>();
    }
    reply(healthy);
  });
}

}  // namespace velmoria
