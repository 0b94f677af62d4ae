// The worker's listener: the one process that serves a service name accepts its connections.
//
// Listener::service(name) takes an exclusive lock on "<socket>.lock" beside the socket path
// (socket_path.hpp); when another process holds it, that process serves and service() returns
// null (the worker then exits with status 0). Otherwise it removes a stale socket file, binds
// (mode 0600) and listens. resume() accepts for the life of the process, handing every new
// connection, not yet resumed, to the delegate; the delegate sets it up and resumes it and
// returns true, or returns false to have it closed (a delegate that throws has it closed too,
// logged, and accepting goes on). close() ends listening for a worker that is about to exit:
// the socket is shut down and its file removed while the lock stays held.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/fs/unique_fd.hpp"
#include "platform/ipc/connection.hpp"

namespace platform::ipc {

class Listener {
 public:
  using Delegate = std::function<bool(const std::shared_ptr<Connection>&)>;

  // Throws IpcError when the socket folder is unsafe, the path too long, or a system call fails.
  static std::unique_ptr<Listener> service(std::string_view serviceName, ConnectionOptions options = {});

  void setDelegate(Delegate delegate) { delegate_ = std::move(delegate); }
  // Accepts connections until the listening socket fails (returns after logging) or close()
  // was called (returns quietly).
  void resume();
  // Stops listening: shuts the socket down, so that resume() returns and nothing more is
  // accepted, and removes the socket file, so that new clients find no worker. The lock on
  // "<socket>.lock" stays held until the process ends, so no other worker binds meanwhile.
  // Thread-safe; idempotent.
  void close();

  const std::filesystem::path& socketPath() const { return path_; }

 private:
  Listener(std::filesystem::path path, platform::fs::UniqueFd lock, platform::fs::UniqueFd socket,
           ConnectionOptions options)
      : path_(std::move(path)), lock_(std::move(lock)), socket_(std::move(socket)), options_(options) {}

  std::filesystem::path path_;
  platform::fs::UniqueFd lock_;
  platform::fs::UniqueFd socket_;
  ConnectionOptions options_;
  Delegate delegate_;
  std::atomic<bool> closed_{false};
};

}  // namespace platform::ipc
