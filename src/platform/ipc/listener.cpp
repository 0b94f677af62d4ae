#include "platform/ipc/listener.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ipc/ipc_error.hpp"
#include "platform/ipc/socket_path.hpp"
#include "platform/log/log.hpp"
#include "platform/sys/error_description.hpp"

namespace platform::ipc {
namespace {

const log::Logger& logger() {
  static const log::Logger l("platform", "ipc");
  return l;
}

}  // namespace

std::unique_ptr<Listener> Listener::service(std::string_view serviceName, ConnectionOptions options) {
  const auto path = socketPathFor(serviceName);
  ensureSocketFolder(path.parent_path());
  const sockaddr_un address = socketAddress(path);

  const std::string lockPath = path.string() + ".lock";
  platform::fs::UniqueFd lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock) throw systemCallError("open", errno, lockPath);
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      logger().info("another worker serves " + path.string());
      return nullptr;
    }
    throw systemCallError("flock", errno, lockPath);
  }
  // Holding the lock, no live worker serves this path: whatever lies there is stale.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw systemCallError("unlink", errno, path.string());

  platform::fs::UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) throw systemCallError("socket", errno);
  // Made 0600 from the start: no moment in which another user could connect.
  const mode_t previous = ::umask(0177);
  const int rc = ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int bindErrno = errno;
  ::umask(previous);
  if (rc != 0) throw systemCallError("bind", bindErrno, path.string());
  if (::chmod(path.c_str(), 0600) != 0) throw systemCallError("chmod", errno, path.string());
  if (::listen(socket.get(), 64) != 0) throw systemCallError("listen", errno, path.string());
  logger().info("listening on " + path.string());
  return std::unique_ptr<Listener>(new Listener(path, std::move(lock), std::move(socket), options));
}

void Listener::resume() {
  while (true) {
    platform::fs::UniqueFd client(::accept4(socket_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) {
      if (closed_.load()) return;
      if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE || errno == ENOBUFS ||
          errno == ENOMEM) {
        if (errno != EINTR && errno != ECONNABORTED) ::usleep(10000);
        continue;
      }
      logger().error(systemCallError("accept", errno, path_.string()).description());
      return;
    }
    std::shared_ptr<Connection> connection;
    try {
      connection = Connection::adopt(std::move(client), options_);
      if (!delegate_ || !delegate_(connection)) connection->invalidate();
    } catch (...) {
      // One connection that cannot be set up ends alone; the listener goes on.
      logger().error("a new connection could not be set up: " + sys::describeError(std::current_exception()));
      if (connection) connection->invalidate();
    }
  }
}

void Listener::close() {
  if (closed_.exchange(true)) return;
  ::shutdown(socket_.get(), SHUT_RDWR);
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
    logger().error(systemCallError("unlink", errno, path_.string()).description());
  }
}

}  // namespace platform::ipc
