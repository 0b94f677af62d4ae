#include "platform/ipc/socket_path.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/ipc/ipc_error.hpp"

namespace platform::ipc {
namespace {

std::string environment(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

}  // namespace

std::filesystem::path socketPathFor(std::string_view serviceName) {
  if (auto explicitPath = environment("VELMORIA_WORKER_SOCKET"); !explicitPath.empty()) return explicitPath;
  const std::string file = std::string(serviceName) + ".sock";
  if (auto runtime = environment("XDG_RUNTIME_DIR"); !runtime.empty() && runtime.front() == '/') {
    return std::filesystem::path(runtime) / "velmoria" / file;
  }
  return std::filesystem::path("/tmp") / ("velmoria-" + std::to_string(::geteuid())) / file;
}

void ensureSocketFolder(const std::filesystem::path& folder) {
  const std::string text = folder.empty() ? std::string(".") : folder.string();
  if (::mkdir(text.c_str(), 0700) != 0 && errno != EEXIST) {
    // A missing parent of $XDG_RUNTIME_DIR/velmoria is the runtime folder itself: not ours to make.
    throw systemCallError("mkdir", errno, text);
  }
  struct stat st {};
  if (::lstat(text.c_str(), &st) != 0) throw systemCallError("lstat", errno, text);
  if (S_ISLNK(st.st_mode)) throw IpcError(IpcErrorCase::unsafeSocketFolder, text + " is a symbolic link");
  if (!S_ISDIR(st.st_mode)) throw IpcError(IpcErrorCase::unsafeSocketFolder, text + " is not a folder");
  if (st.st_uid != ::geteuid()) throw IpcError(IpcErrorCase::unsafeSocketFolder, text + " is owned by another user");
  if ((st.st_mode & 077) != 0) {
    throw IpcError(IpcErrorCase::unsafeSocketFolder, text + " is open to group or others");
  }
}

sockaddr_un socketAddress(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.empty() || text.size() + 1 > sizeof(address.sun_path)) {
    throw IpcError(IpcErrorCase::socketPathTooLong, text + " (" + std::to_string(text.size()) + " bytes, at most " +
                                                        std::to_string(sizeof(address.sun_path) - 1) + ")");
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  return address;
}

}  // namespace platform::ipc
