// Where a service's socket lies, and the checks that keep it private to the user.
//
// The path is $VELMORIA_WORKER_SOCKET when set, else $XDG_RUNTIME_DIR/velmoria/<service>.sock,
// else /tmp/velmoria-<uid>/<service>.sock. Its folder is created with mode 0700 when missing and
// refused unless it is a real folder (not a link) owned by the effective user with no group or
// other permission bits. Thread-safe as long as no other thread changes the environment.
#pragma once

#include <sys/un.h>

#include <filesystem>
#include <string_view>

namespace platform::ipc {

// The socket path of `serviceName`, from the environment as above. Creates nothing.
std::filesystem::path socketPathFor(std::string_view serviceName);

// Creates `folder` (mode 0700) when missing and checks it. Throws IpcError(unsafeSocketFolder)
// when it is a link, not a folder, owned by another user or open to group or others, and
// IpcError(systemCallFailed) when it cannot be created or inspected.
void ensureSocketFolder(const std::filesystem::path& folder);

// The socket address of `path`. Throws IpcError(socketPathTooLong) when the path with its
// terminating zero does not fit in sun_path.
sockaddr_un socketAddress(const std::filesystem::path& path);

}  // namespace platform::ipc
