// Benchmarks of the connection layer against the echo worker process, beside the same frames
// over a plain Unix socket to a forked peer that reads and writes them back.
//
// BM_CallRoundTrip/N: one call of "echo" with an N-byte string argument and its reply (N = 0 is
// the empty call). BM_RawUnixPingPong/N: a frame of the size of that call written to a forked
// echo peer and read back with plain read/write. BM_ColdLaunch: from a call on a fresh
// connection with no worker running to its answer: spawn, listen, both hellos and the first
// round trip.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>

#include "echo_service.hpp"
#include "platform/ipc/connection.hpp"
#include "platform/ipc/launcher.hpp"
#include "platform/ipc/wire.hpp"
#include "platform/log/log.hpp"

namespace {

using platform::ipc::CallOutcome;
using platform::ipc::Connection;
using platform::json::Json;

std::filesystem::path benchFolder() {
  static const std::filesystem::path folder = [] {
    char pattern[] = "/tmp/ipc-bench-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) std::abort();
    ::setenv("VELMORIA_WORKER_PATH", ECHO_WORKER_PATH, 1);
    platform::log::setMinimumLevel(platform::log::Level::error);
    return std::filesystem::path(made);
  }();
  return folder;
}

CallOutcome callAndWait(Connection& c, const std::string& method, const Json& args) {
  std::promise<CallOutcome> p;
  auto f = p.get_future();
  c.call(method, args, [&p](CallOutcome o) { p.set_value(std::move(o)); });
  return f.get();
}

Json argsOfSize(std::int64_t bytes) {
  return bytes == 0 ? Json::object() : Json{{"s", std::string(static_cast<std::size_t>(bytes), 'x')}};
}

void BM_CallRoundTrip(benchmark::State& state) {
  ::setenv("VELMORIA_WORKER_SOCKET", (benchFolder() / "warm.sock").c_str(), 1);
  auto connection = Connection::toService("echo");
  echo::configureClientSide(connection);
  connection->resume();
  const Json args = argsOfSize(state.range(0));
  if (!callAndWait(*connection, "echo", args).ok()) state.SkipWithError("worker unreachable");
  for (auto _ : state) {
    auto outcome = callAndWait(*connection, "echo", args);
    benchmark::DoNotOptimize(outcome);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) * 2);
  connection->invalidate();
  platform::ipc::waitForLaunchedWorkers(std::chrono::seconds(10));
}
BENCHMARK(BM_CallRoundTrip)->Arg(0)->Arg(64 << 10)->Arg(4 << 20)->UseRealTime();

bool writeAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool readAll(int fd, char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t r = ::read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

void BM_RawUnixPingPong(benchmark::State& state) {
  const std::string frame =
      platform::ipc::encodeMessage(platform::ipc::callMessage(1, "echo", argsOfSize(state.range(0))));
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return state.SkipWithError("socketpair");
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(fds[0]);
    std::string buffer;
    while (true) {
      char header[4];
      if (!readAll(fds[1], header, 4)) ::_exit(0);
      const std::uint32_t n = (std::uint32_t(static_cast<unsigned char>(header[0])) << 24) |
                              (std::uint32_t(static_cast<unsigned char>(header[1])) << 16) |
                              (std::uint32_t(static_cast<unsigned char>(header[2])) << 8) |
                              std::uint32_t(static_cast<unsigned char>(header[3]));
      buffer.resize(4 + n);
      std::copy(header, header + 4, buffer.data());
      if (!readAll(fds[1], buffer.data() + 4, n) || !writeAll(fds[1], buffer.data(), buffer.size())) ::_exit(0);
    }
  }
  ::close(fds[1]);
  std::string back(frame.size(), '\0');
  for (auto _ : state) {
    if (!writeAll(fds[0], frame.data(), frame.size()) || !readAll(fds[0], back.data(), back.size())) {
      state.SkipWithError("peer gone");
      break;
    }
    benchmark::DoNotOptimize(back.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) * 2);
  ::close(fds[0]);
  ::waitpid(child, nullptr, 0);
}
BENCHMARK(BM_RawUnixPingPong)->Arg(0)->Arg(64 << 10)->Arg(4 << 20)->UseRealTime();

void BM_ColdLaunch(benchmark::State& state) {
  ::setenv("VELMORIA_WORKER_SOCKET", (benchFolder() / "cold.sock").c_str(), 1);
  for (auto _ : state) {
    auto connection = Connection::toService("echo");
    echo::configureClientSide(connection);
    connection->resume();
    if (!callAndWait(*connection, "echo", Json::object()).ok()) {
      state.SkipWithError("worker unreachable");
      break;
    }
    state.PauseTiming();
    connection->invalidate();
    platform::ipc::waitForLaunchedWorkers(std::chrono::seconds(10));
    state.ResumeTiming();
  }
}
BENCHMARK(BM_ColdLaunch)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
