// A raw peer of a running worker in the host tests: connects to the worker's socket and greets
// it as the app does, so that a test can then send frames by hand (platform/ipc/test_support.hpp).
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <filesystem>

#include "platform/ipc/socket_path.hpp"
#include "platform/ipc/test_support.hpp"

namespace hosttest {

// Connected to `socket` and greeted; a failed connect or greeting is a test failure.
inline ipctest::RawPeer greetedWorkerPeer(const std::filesystem::path& socket) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un address = platform::ipc::socketAddress(socket);
  EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ipctest::RawPeer peer{platform::fs::UniqueFd(fd)};
  peer.send(ipctest::Json{{"kind", "hello"}, {"version", 1}, {"exports", "TranscriberStatusReporting"}});
  const auto hello = peer.read();
  EXPECT_TRUE(hello && (*hello)["exports"] == "TranscriberServiceProtocol");
  return peer;
}

}  // namespace hosttest
