#include "transcriber_status_reporting.hpp"

#include "platform/ipc/ipc_error.hpp"
#include "platform/log/log.hpp"

namespace velmoria {

using platform::json::Json;

const platform::ipc::Interface& transcriberStatusReportingInterface() {
  static const platform::ipc::Interface i{"TranscriberStatusReporting", {{"reportDownloadStatus", true}}};
  return i;
}

void TranscriberStatusReportingExporter::handleCall(const std::string& method, const Json&, platform::ipc::Reply& reply) {
  reply.fail(platform::ipc::IpcError(platform::ipc::IpcErrorCase::unknownMethod, method));
}

void TranscriberStatusReportingExporter::handleOneway(const std::string& method, const Json& args) {
  auto it = args.find("status");
  if (method != "reportDownloadStatus" || it == args.end() || !it->is_string()) {
    static const platform::log::Logger logger("com.velmoria.transcriber", "Transcriber");
    logger.notice("status report " + method + " without a status text dropped");
    return;
  }
  receiver_->reportDownloadStatus(it->get<std::string>());
}

void TranscriberStatusReportingProxy::reportDownloadStatus(const std::string& status) {
  send("reportDownloadStatus", Json{{"status", status}});
}

}  // namespace velmoria
