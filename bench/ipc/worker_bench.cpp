// The worker's health check through the whole stack: an app-side connection to the scripted
// worker (the real entry, listener and service object), one healthCheck call and its reply per
// iteration. Compare with BM_RawUnixPingPong/0 of ipc_bench (the same size of frame over a
// plain socket pair).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <future>

#include "platform/ipc/connection.hpp"
#include "platform/ipc/launcher.hpp"
#include "platform/log/log.hpp"
#include "transcription/transcriber_service_protocol.hpp"
#include "transcription/transcriber_status_reporting.hpp"

namespace {

using platform::ipc::CallOutcome;
using platform::ipc::Connection;
using platform::json::Json;

void BM_HealthCheckRoundTrip(benchmark::State& state) {
  char pattern[] = "/tmp/worker-bench-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  if (!made) return state.SkipWithError("no temporary folder");
  const std::filesystem::path folder(made);
  ::setenv("VELMORIA_WORKER_PATH", SCRIPTED_WORKER_PATH, 1);
  ::setenv("VELMORIA_WORKER_SOCKET", (folder / "run" / "worker.sock").c_str(), 1);
  platform::log::setMinimumLevel(platform::log::Level::error);

  auto connection = Connection::toService(velmoria::kTranscriberServiceName);
  connection->setExportedInterface(velmoria::transcriberStatusReportingInterface());
  connection->setRemoteObjectInterface(velmoria::transcriberServiceInterface());
  connection->resume();
  auto proxy = connection->remoteObjectProxy<velmoria::TranscriberServiceProxy>();
  const auto check = [&proxy] {
    std::promise<bool> p;
    proxy->healthCheck([&p](bool healthy) { p.set_value(healthy); });
    return p.get_future().get();
  };
  if (!check()) state.SkipWithError("worker unreachable");
  for (auto _ : state) {
    benchmark::DoNotOptimize(check());
  }
  connection->invalidate();
  proxy.reset();
  connection.reset();
  platform::ipc::waitForLaunchedWorkers(std::chrono::seconds(10));
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
}
BENCHMARK(BM_HealthCheckRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
