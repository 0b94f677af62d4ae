// The status protocol the app exports and the worker calls: one status text per download step
// ("Downloading speech-to-text model", "Downloading speaker ID model"). One-way: never
// answered, and a report that cannot be delivered is dropped.
//
// On the wire: reportDownloadStatus (oneway) {"status": text}.
//
// TranscriberStatusReportingExporter delivers incoming reports to a TranscriberStatusReporting
// (the app's receiver); TranscriberStatusReportingProxy sends them (the worker, through
// Connection::remoteObjectProxy<TranscriberStatusReportingProxy>()). Both are thread-safe.
#pragma once

#include <memory>
#include <string>

#include "platform/ipc/connection.hpp"
#include "platform/json/json.hpp"

namespace velmoria {

class TranscriberStatusReporting {
 public:
  virtual ~TranscriberStatusReporting() = default;
  // Called on a thread of the connection's choosing.
  virtual void reportDownloadStatus(const std::string& status) = 0;
};

// The protocol's interface description (name "TranscriberStatusReporting", one one-way method).
const platform::ipc::Interface& transcriberStatusReportingInterface();

// The exported object of an app-side connection. A report without a text `status` is logged
// and dropped.
class TranscriberStatusReportingExporter : public platform::ipc::ExportedObject {
 public:
  explicit TranscriberStatusReportingExporter(std::shared_ptr<TranscriberStatusReporting> receiver)
      : receiver_(std::move(receiver)) {}
  void handleCall(const std::string& method, const platform::json::Json& args, platform::ipc::Reply& reply) override;
  void handleOneway(const std::string& method, const platform::json::Json& args) override;

 private:
  std::shared_ptr<TranscriberStatusReporting> receiver_;
};

class TranscriberStatusReportingProxy : public platform::ipc::RemoteProxy, public TranscriberStatusReporting {
 public:
  using RemoteProxy::RemoteProxy;
  static const platform::ipc::Interface& interface() { return transcriberStatusReportingInterface(); }

  // Sends the report; dropped (and logged by the connection) when it cannot be sent.
  void reportDownloadStatus(const std::string& status) override;
};

}  // namespace velmoria
