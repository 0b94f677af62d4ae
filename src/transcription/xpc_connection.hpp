// The app side's connection to the transcription worker: TranscriberXPCConnecting is the
// client's handle of one open connection (the platform::ipc connection and the status receiver
// it exports); TranscriberXPCConnectionImpl makes one by service name. startTranscriberConnection
// installs the handlers, resumes the connection and builds the engine adapter over it.
//
// Thread-safe. Destroying a TranscriberXPCConnectionImpl invalidates its connection, so no
// connection outlives the handle the client dropped.
#pragma once

#include <memory>
#include <string>

#include "platform/ipc/connection.hpp"
#include "transcription/transcriber_status_receiver.hpp"
#include "transcription/xpc_engine_adapter.hpp"

namespace velmoria {

class TranscriberXPCConnecting {
 public:
  virtual ~TranscriberXPCConnecting() = default;
  virtual const std::shared_ptr<platform::ipc::Connection>& connection() const = 0;
  virtual const std::shared_ptr<TranscriberStatusReceiver>& statusReceiver() const = 0;
};

class TranscriberXPCConnectionImpl : public TranscriberXPCConnecting {
 public:
  // A connection to `serviceName` (launched on demand at the first call) with remote interface
  // TranscriberServiceProtocol, exporting a new status receiver as TranscriberStatusReporting.
  // Neither installs handlers nor resumes; contacts nothing.
  explicit TranscriberXPCConnectionImpl(const std::string& serviceName);
  ~TranscriberXPCConnectionImpl() override;
  TranscriberXPCConnectionImpl(const TranscriberXPCConnectionImpl&) = delete;
  TranscriberXPCConnectionImpl& operator=(const TranscriberXPCConnectionImpl&) = delete;

  const std::shared_ptr<platform::ipc::Connection>& connection() const override { return connection_; }
  const std::shared_ptr<TranscriberStatusReceiver>& statusReceiver() const override { return statusReceiver_; }

 private:
  const std::shared_ptr<TranscriberStatusReceiver> statusReceiver_;
  const std::shared_ptr<platform::ipc::Connection> connection_;
};

// The start sequence: with a flag, an interruption handler that raises it; an invalidation
// handler that logs; resume; then an adapter whose proxy provider holds `connecting` weakly
// (null once the client dropped it). `modelsPresent` is the adapter's disk test.
std::shared_ptr<XPCEngineAdapter> startTranscriberConnection(const std::shared_ptr<TranscriberXPCConnecting>& connecting,
                                                             const std::shared_ptr<InterruptedFlag>& flag,
                                                             ModelsPresentTest modelsPresent);

}  // namespace velmoria
