#include "transcription/xpc_connection.hpp"

#include <utility>

#include "transcription/transcriber_service_protocol.hpp"
#include "transcription/transcriber_status_reporting.hpp"

namespace velmoria {

TranscriberXPCConnectionImpl::TranscriberXPCConnectionImpl(const std::string& serviceName)
    : statusReceiver_(std::make_shared<TranscriberStatusReceiver>()),
      connection_(platform::ipc::Connection::toService(serviceName)) {
  connection_->setRemoteObjectInterface(transcriberServiceInterface());
  connection_->setExportedInterface(transcriberStatusReportingInterface());
  connection_->setExportedObject(std::make_shared<TranscriberStatusReportingExporter>(statusReceiver_));
}

TranscriberXPCConnectionImpl::~TranscriberXPCConnectionImpl() { connection_->invalidate(); }

std::shared_ptr<XPCEngineAdapter> startTranscriberConnection(const std::shared_ptr<TranscriberXPCConnecting>& connecting,
                                                             const std::shared_ptr<InterruptedFlag>& flag,
                                                             ModelsPresentTest modelsPresent) {
  const auto& connection = connecting->connection();
  if (flag) {
    std::weak_ptr<InterruptedFlag> weakFlag = flag;
    connection->setInterruptionHandler([weakFlag] {
      transcriberLogger().info("client: XPC connection interrupted (worker crash/jetsam)");
      if (auto f = weakFlag.lock()) f->set();
    });
  }
  connection->setInvalidationHandler([] { transcriberLogger().info("client: XPC connection invalidation handler fired"); });
  connection->resume();
  std::weak_ptr<TranscriberXPCConnecting> weak = connecting;
  ProxyProvider provider = [weak]() -> std::shared_ptr<TranscriberServiceProtocol> {
    auto strong = weak.lock();
    if (!strong) return nullptr;
    return strong->connection()->remoteObjectProxy<TranscriberServiceProxy>();
  };
  return std::make_shared<XPCEngineAdapter>(std::move(provider), std::move(modelsPresent));
}

}  // namespace velmoria
