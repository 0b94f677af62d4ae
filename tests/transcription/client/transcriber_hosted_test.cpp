// The client facade's hosted backend against the scripted worker (the real worker process
// around a scripted engine), started on demand: first connection, worker deaths during and
// between calls, status strings through the receiver, shutdown and the worker's exit; and
// overlapping calls with stream consumers that stop and a shutdown among them; and a connection
// factory of the caller's own.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include "platform/ipc/launcher.hpp"
#include "support/temporary_folder.hpp"
#include "transcription/transcriber.hpp"
#include "transcription/xpc_connection.hpp"

namespace {

using platform::ipc::LaunchedWorker;
using velmoria::ModelStatus;
using velmoria::Transcriber;
using velmoria::TranscriptionError;
using Case = velmoria::TranscriptionErrorCase;

class Hosted : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("VELMORIA_WORKER_PATH", SCRIPTED_WORKER_PATH, 1);
    ::setenv("VELMORIA_WORKER_SOCKET", (folder_.path() / "run" / "worker.sock").c_str(), 1);
    ::unsetenv("VELMORIA_WORKER_IDLE_SECONDS");
    ::unsetenv("SCRIPTED_ENGINE_DOWNLOAD");
    before_ = platform::ipc::waitForLaunchedWorkers(std::chrono::milliseconds(0)).size();
  }

  std::shared_ptr<Transcriber> make() {
    Transcriber::Dependencies deps;
    deps.modelsPresentOnDisk = [](const velmoria::TranscriptionMethod&) { return false; };
    return Transcriber::make(Transcriber::Backend::hosted(), velmoria::TranscriptionMethod::v2(), std::move(deps));
  }

  // Workers started by this test, waiting at most `timeout` for them to end.
  std::vector<LaunchedWorker> launchedHere(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    auto all = platform::ipc::waitForLaunchedWorkers(timeout);
    return std::vector<LaunchedWorker>(all.begin() + static_cast<std::ptrdiff_t>(before_), all.end());
  }

  // Kills the newest running worker with SIGKILL and waits until it has been reaped.
  void killWorker() {
    auto workers = launchedHere(std::chrono::milliseconds(0));
    ASSERT_FALSE(workers.empty());
    const pid_t pid = workers.back().pid;
    ASSERT_FALSE(workers.back().ended());
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    for (int i = 0; i < 500 && !platform::ipc::launchedWorkerEnded(pid); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(platform::ipc::launchedWorkerEnded(pid));
  }

  static bool exitedZero(const LaunchedWorker& w) {
    return w.waitStatus && WIFEXITED(*w.waitStatus) && WEXITSTATUS(*w.waitStatus) == 0;
  }

  testsupport::TemporaryFolder folder_{"hosted"};
  std::size_t before_ = 0;
};

std::vector<ModelStatus> drain(velmoria::StatusStream& stream) {
  std::vector<ModelStatus> seen;
  while (auto s = stream.tryNext()) seen.push_back(*s);
  return seen;
}

TEST_F(Hosted, RunsOperationsOnALaunchedWorkerAndShutdownLetsItExitZero) {
  auto t = make();
  EXPECT_FALSE(t->isAvailable());
  EXPECT_FALSE(t->modelsPresent());
  t->unloadModels();  // no engine: nothing opened
  EXPECT_TRUE(launchedHere(std::chrono::milliseconds(0)).empty());

  std::vector<std::string> texts;
  std::mutex textsMutex;
  t->ensureModelsDownloaded([&](const std::string& s) {
    std::lock_guard<std::mutex> guard(textsMutex);
    texts.push_back(s);
  });
  {
    std::lock_guard<std::mutex> guard(textsMutex);
    EXPECT_EQ(texts, (std::vector<std::string>{"Downloading speech-to-text model", "Downloading speaker ID model"}));
  }
  EXPECT_TRUE(t->isAvailable());
  const auto result = t->processAudio("/tmp/mic.wav", "/tmp/system.wav", {"Velmoria"});
  ASSERT_EQ(result.segments.size(), 1u);
  EXPECT_EQ(result.segments[0].text, "mic=/tmp/mic.wav system=/tmp/system.wav vocabulary=Velmoria");

  // The worker's own errors arrive as domain and code: transcriptionFailed with the generic text.
  try {
    t->processAudio("script:throw=3", "/tmp/s.wav", {});
    FAIL() << "no error";
  } catch (const TranscriptionError& e) {
    EXPECT_EQ(e, TranscriptionError::transcriptionFailed(
                     "The operation couldn\u2019t be completed. (Transcription.TranscriptionError error 3.)"));
  }
  t->unloadModels();
  t->shutdown();
  EXPECT_FALSE(t->isAvailable());
  const auto workers = launchedHere();
  ASSERT_EQ(workers.size(), 1u);
  EXPECT_TRUE(exitedZero(workers[0]));
}

TEST_F(Hosted, ACallersConnectionFactoryMakesEveryConnectionTheFacadeOpens) {
  std::atomic<int> made{0};
  Transcriber::Dependencies deps;
  deps.modelsPresentOnDisk = [](const velmoria::TranscriptionMethod&) { return false; };
  deps.connectionFactory = [&made]() -> std::shared_ptr<velmoria::TranscriberXPCConnecting> {
    ++made;
    return std::make_shared<velmoria::TranscriberXPCConnectionImpl>(velmoria::kTranscriberServiceName);
  };
  auto t = Transcriber::make(Transcriber::Backend::hosted("not.a.service"), velmoria::TranscriptionMethod::v2(),
                             std::move(deps));
  t->unloadModels();
  EXPECT_EQ(made, 0);  // nothing opened yet
  EXPECT_EQ(t->processAudio("/m", "/s", {}).segments.size(), 1u);
  EXPECT_EQ(t->processAudio("/m", "/s", {}).segments.size(), 1u);
  EXPECT_EQ(made, 1);
  t->shutdown();
  EXPECT_EQ(t->processAudio("/m", "/s", {}).segments.size(), 1u);
  EXPECT_EQ(made, 2);
  t->shutdown();
  for (const auto& w : launchedHere()) EXPECT_TRUE(exitedZero(w));
}

TEST_F(Hosted, AWorkerKilledDuringACallFailsThatCallOnceAndTheNextRunsOnARelaunchedWorker) {
  auto t = make();
  auto stream = t->statusStream();
  t->ensureModelsDownloaded();
  auto pending = std::async(std::launch::async, [&] { return t->processAudio("script:sleep=20000", "/s", {}); });
  // Give the call time to reach the worker.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  killWorker();
  try {
    pending.get();
    FAIL() << "no error";
  } catch (const TranscriptionError& e) {
    EXPECT_EQ(e.errorCase(), Case::workerInterrupted);
  }
  // Reported once: the next call runs, on a new worker.
  EXPECT_EQ(t->processAudio("/m", "/s", {}).segments.size(), 1u);
  EXPECT_EQ(drain(stream), (std::vector<ModelStatus>{
                               ModelStatus::needsDownload(), ModelStatus::downloading(0), ModelStatus::ready(),
                               ModelStatus::running(), ModelStatus::error(TranscriptionError::workerInterrupted()),
                               ModelStatus::running(), ModelStatus::ready()}));
  t->shutdown();
  const auto workers = launchedHere();
  ASSERT_EQ(workers.size(), 2u);
  EXPECT_TRUE(exitedZero(workers[1]));
}

TEST_F(Hosted, AWorkerDeathBetweenCallsIsReportedOnceWithoutPublishing) {
  auto t = make();
  EXPECT_EQ(t->processAudio("/m", "/s", {}).segments.size(), 1u);
  killWorker();
  // The interruption handler runs on the connection's thread.
  for (int i = 0; i < 500 && t->isAvailable(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(t->isAvailable());
  auto stream = t->statusStream();
  try {
    t->processAudio("/m", "/s", {});
    FAIL() << "no error";
  } catch (const TranscriptionError& e) {
    EXPECT_EQ(e, TranscriptionError::workerInterrupted());
  }
  EXPECT_EQ(drain(stream), std::vector<ModelStatus>{ModelStatus::ready()});
  EXPECT_EQ(t->processAudio("/m", "/s", {}).segments.size(), 1u);
  t->ensureModelsDownloaded();
  EXPECT_EQ(drain(stream), (std::vector<ModelStatus>{ModelStatus::running(), ModelStatus::ready(),
                                                     ModelStatus::downloading(0), ModelStatus::ready()}));
  t->shutdown();
  const auto workers = launchedHere();
  ASSERT_EQ(workers.size(), 2u);
  EXPECT_TRUE(exitedZero(workers[1]));
}

TEST_F(Hosted, ShutdownAmongOverlappingCallsAndStoppingConsumersEndsEveryCall) {
  auto t = make();
  EXPECT_EQ(t->processAudio("/m", "/s", {}).segments.size(), 1u);
  std::vector<std::thread> consumers;
  for (int i = 0; i < 3; ++i) {
    consumers.emplace_back([&t, i] {
      auto stream = t->statusStream();
      for (int n = 0; n < 2 + i; ++n) {
        if (!stream.next()) break;
      }
    });
  }
  std::vector<std::future<bool>> calls;
  for (int i = 0; i < 6; ++i) {
    calls.push_back(std::async(std::launch::async, [&t, i] {
      try {
        t->processAudio(i % 2 ? "script:sleep=50" : "/m", "/s", {});
        return true;
      } catch (const TranscriptionError& e) {
        // A call that the shutdown ends, or that starts after it on a new connection.
        return e.errorCase() == Case::workerUnavailable || e.errorCase() == Case::workerInterrupted;
      }
    }));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  t->shutdown();
  for (auto& c : calls) EXPECT_TRUE(c.get());
  // Unblock consumers still waiting for statuses.
  for (int i = 0; i < 4; ++i) t->unloadModels();
  for (auto& c : consumers) c.join();
  t->shutdown();
  EXPECT_EQ(t->liveStatusStreams(), 0u);
  for (const auto& w : launchedHere()) EXPECT_TRUE(exitedZero(w));
}

}  // namespace
