// The worker process (scripted-worker: the real entry, listener and service around a scripted
// engine) against raw peers and real clients: malformed traffic, clients that leave mid-call,
// many clients at once, status reports per connection, errors on the wire and the exit rules.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <thread>

#include "host/status_log.hpp"
#include "host/worker_peer.hpp"
#include "platform/ipc/connection.hpp"
#include "platform/ipc/launcher.hpp"
#include "platform/ipc/test_support.hpp"
#include "support/temporary_folder.hpp"
#include "transcription/transcriber_service_protocol.hpp"
#include "transcription/transcriber_status_reporting.hpp"

namespace {

using ipctest::Json;
using ipctest::RawPeer;
using platform::ipc::CallOutcome;
using platform::ipc::Connection;
using platform::ipc::LaunchedWorker;

constexpr const char* kGenericTextOf3 = "The operation couldn\u2019t be completed. (Transcription.TranscriptionError error 3.)";

using hosttest::StatusLog;

// An app-side connection to the worker service, as the app makes it.
struct Client {
  std::shared_ptr<Connection> connection = Connection::toService(velmoria::kTranscriberServiceName);
  std::shared_ptr<StatusLog> statuses = std::make_shared<StatusLog>();

  Client() {
    connection->setExportedInterface(velmoria::transcriberStatusReportingInterface());
    connection->setExportedObject(std::make_shared<velmoria::TranscriberStatusReportingExporter>(statuses));
    connection->setRemoteObjectInterface(velmoria::transcriberServiceInterface());
    connection->resume();
  }
  ~Client() { connection->invalidate(); }

  std::future<CallOutcome> start(const std::string& method, Json args = Json::object()) {
    auto promise = std::make_shared<std::promise<CallOutcome>>();
    auto future = promise->get_future();
    connection->call(method, std::move(args), [promise](CallOutcome o) { promise->set_value(std::move(o)); });
    return future;
  }
  CallOutcome call(const std::string& method, Json args = Json::object()) { return start(method, args).get(); }
  bool healthy() {
    const auto outcome = call("healthCheck");
    return outcome.ok() && outcome.result == Json{{"healthy", true}};
  }
};

Json processArgs(const std::string& mic, std::vector<std::string> vocabulary = {}) {
  return Json{{"request", {{"micPath", mic}, {"systemPath", "/tmp/system.wav"}, {"customVocabulary", vocabulary}}}};
}

class WorkerProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("VELMORIA_WORKER_PATH", SCRIPTED_WORKER_PATH, 1);
    ::setenv("VELMORIA_WORKER_SOCKET", socketPath().c_str(), 1);
    ::unsetenv("VELMORIA_WORKER_IDLE_SECONDS");
    ::unsetenv("SCRIPTED_ENGINE_DOWNLOAD");
    before_ = platform::ipc::waitForLaunchedWorkers(std::chrono::milliseconds(0)).size();
  }
  void TearDown() override { ::unsetenv("SCRIPTED_ENGINE_DOWNLOAD"); }

  // In a folder of its own, which the worker creates private (mode 0700).
  std::filesystem::path socketPath() const { return folder_ / "run" / "worker.sock"; }

  // A raw connection to the running worker, greeted as the app greets.
  RawPeer rawPeer() { return hosttest::greetedWorkerPeer(socketPath()); }

  // Workers started by this test, after waiting for them to end.
  std::vector<LaunchedWorker> launchedHere() {
    auto all = platform::ipc::waitForLaunchedWorkers(std::chrono::seconds(20));
    return std::vector<LaunchedWorker>(all.begin() + static_cast<std::ptrdiff_t>(before_), all.end());
  }

  testsupport::TemporaryFolder folder_{"worker"};
  std::size_t before_ = 0;
};

TEST_F(WorkerProcess, AFrameOverTheLimitIsAnsweredWithCode4AndClosedWhileOthersAreServed) {
  Client keeper;
  ASSERT_TRUE(keeper.healthy());
  RawPeer peer = rawPeer();
  peer.sendBytes(std::string("\x7f\xff\xff\xff", 4));
  const auto answer = peer.read();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["kind"], "error");
  EXPECT_TRUE((*answer)["id"].is_null());
  EXPECT_EQ((*answer)["error"]["domain"], "platform.ipc");
  EXPECT_EQ((*answer)["error"]["code"], 4);
  EXPECT_TRUE(peer.waitForEnd());
  Client other;
  EXPECT_TRUE(other.healthy());
}

TEST_F(WorkerProcess, ATruncatedFrameIsDroppedWithoutAnAnswerAndTheWorkerGoesOn) {
  Client keeper;
  ASSERT_TRUE(keeper.healthy());
  RawPeer peer = rawPeer();
  peer.sendBytes(std::string("\x00\x00\x00\x64", 4) + "{\"kind\":\"ca");
  peer.endStream();
  std::vector<Json> rest;
  EXPECT_TRUE(peer.waitForEnd(&rest));
  EXPECT_TRUE(rest.empty());
  Client other;
  EXPECT_TRUE(other.healthy());
}

TEST_F(WorkerProcess, ABodyThatIsNotJsonIsAnsweredWithCode1AndTheConnectionStaysUsable) {
  Client keeper;
  ASSERT_TRUE(keeper.healthy());
  RawPeer peer = rawPeer();
  peer.sendText("this is {not json");
  auto answer = peer.read();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["kind"], "error");
  EXPECT_EQ((*answer)["error"]["code"], 1);
  peer.send(Json{{"kind", "call"}, {"id", 7}, {"method", "healthCheck"}, {"args", Json::object()}});
  answer = peer.read();
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, (Json{{"kind", "reply"}, {"id", 7}, {"result", {{"healthy", true}}}}));
  Client other;
  EXPECT_TRUE(other.healthy());
}

TEST_F(WorkerProcess, AnUnknownMethodIsAnsweredWithCode2) {
  Client client;
  ASSERT_TRUE(client.healthy());
  // The app side refuses unknown methods itself; a raw peer sends one anyway.
  RawPeer peer = rawPeer();
  peer.send(Json{{"kind", "call"}, {"id", 1}, {"method", "transcribeEverything"}, {"args", Json::object()}});
  const auto answer = peer.read();
  ASSERT_TRUE(answer);
  EXPECT_EQ((*answer)["kind"], "error");
  EXPECT_EQ((*answer)["id"], 1);
  EXPECT_EQ((*answer)["error"]["domain"], "platform.ipc");
  EXPECT_EQ((*answer)["error"]["code"], 2);
  EXPECT_TRUE(client.healthy());
}

TEST_F(WorkerProcess, ARequestThatDoesNotDecodeIsAnsweredWith4864AndTheNextOneIsServed) {
  Client client;
  for (const Json& args : {Json::object(), Json{{"request", "micPath=/a.wav"}}, Json{{"request", {{"micPath", 3}}}},
                           Json{{"request", {{"micPath", "/a"}, {"systemPath", "/b"}}}}}) {
    const auto outcome = client.call("processAudio", args);
    ASSERT_TRUE(outcome.error) << args;
    EXPECT_EQ(outcome.error->domain, "NSCocoaErrorDomain") << args;
    EXPECT_EQ(outcome.error->code, 4864) << args;
    EXPECT_FALSE(outcome.error->description.empty());
  }
  const auto good = client.call("processAudio", processArgs("/tmp/mic.wav", {"Velmoria", "Dellomar"}));
  ASSERT_TRUE(good.ok()) << good.error->description;
  EXPECT_EQ(good.result["transcript"]["segments"][0]["text"],
            "mic=/tmp/mic.wav system=/tmp/system.wav vocabulary=Velmoria,Dellomar");
  EXPECT_EQ(good.result["transcript"]["transcriptionMethodId"], "v2");
}

TEST_F(WorkerProcess, RunsInTheRootFolderSoRelativePathsNeverMeanTheClientsFolder) {
  ASSERT_NE(std::filesystem::current_path(), "/");
  Client client;
  const auto outcome = client.call("processAudio", processArgs("script:cwd"));
  ASSERT_TRUE(outcome.ok()) << outcome.error->description;
  const std::string text = outcome.result["transcript"]["segments"][0]["text"];
  EXPECT_TRUE(text.ends_with(" cwd=/")) << text;
}

TEST_F(WorkerProcess, AClientGoneMidRequestLeavesTheWorkerServingOthers) {
  Client keeper;
  ASSERT_TRUE(keeper.healthy());
  {
    RawPeer peer = rawPeer();
    peer.send(Json{{"kind", "call"}, {"id", 1}, {"method", "processAudio"}, {"args", processArgs("script:sleep=300")}});
  }  // closed while the engine works
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the orphaned reply has gone nowhere by now
  const auto outcome = keeper.call("processAudio", processArgs("/tmp/after.wav"));
  ASSERT_TRUE(outcome.ok()) << outcome.error->description;
  Client other;
  EXPECT_TRUE(other.healthy());
}

TEST_F(WorkerProcess, TwentyHealthChecksAreAnsweredWhileFourRequestsRunAndAllAreAnswered) {
  const auto gate = folder_ / "gate";
  std::vector<std::unique_ptr<Client>> working;
  std::vector<std::future<CallOutcome>> requests;
  for (int i = 0; i < 4; ++i) {
    working.push_back(std::make_unique<Client>());
    requests.push_back(working.back()->start("processAudio", processArgs("script:wait=" + gate.string())));
  }
  std::vector<std::thread> checkers;
  std::atomic<int> healthy{0};
  for (int i = 0; i < 20; ++i) {
    checkers.emplace_back([&healthy] {
      Client c;
      if (c.healthy()) ++healthy;
    });
  }
  for (auto& t : checkers) t.join();
  EXPECT_EQ(healthy.load(), 20);
  for (auto& r : requests) EXPECT_EQ(r.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  std::ofstream(gate).put('x');
  for (auto& r : requests) {
    const auto outcome = r.get();
    ASSERT_TRUE(outcome.ok()) << outcome.error->description;
    EXPECT_TRUE(outcome.result["transcript"].is_object());
  }
  working.clear();
  const auto workers = launchedHere();
  ASSERT_EQ(workers.size(), 1u);
  EXPECT_TRUE(WIFEXITED(*workers[0].waitStatus) && WEXITSTATUS(*workers[0].waitStatus) == 0);
}

TEST_F(WorkerProcess, MoreThan64CallsInFlightOnOneConnectionAreRefusedAtOnceWithCode5) {
  const auto gate = folder_ / "gate";
  Client keeper;
  ASSERT_TRUE(keeper.healthy());
  RawPeer peer = rawPeer();
  for (int id = 1; id <= 65; ++id) {
    peer.send(Json{{"kind", "call"}, {"id", id}, {"method", "processAudio"},
                   {"args", processArgs("script:wait=" + gate.string())}});
  }
  const auto refused = peer.read();
  ASSERT_TRUE(refused);
  EXPECT_EQ((*refused)["kind"], "error");
  EXPECT_EQ((*refused)["id"], 65);
  EXPECT_EQ((*refused)["error"]["code"], 5);
  EXPECT_TRUE(keeper.healthy());
  std::ofstream(gate).put('x');
  std::set<int> answered;
  for (int i = 0; i < 64; ++i) {
    const auto m = peer.read();
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)["kind"], "reply");
    answered.insert((*m)["id"].get<int>());
  }
  EXPECT_EQ(answered.size(), 64u);
}

TEST_F(WorkerProcess, EachConnectionHasItsOwnEngineSoASecondConnectionGetsTheStatusStringsAgain) {
  const std::vector<std::string> both{"Downloading speech-to-text model", "Downloading speaker ID model"};
  Client first;
  ASSERT_TRUE(first.call("ensureModelsDownloaded").ok());
  EXPECT_EQ(first.statuses->statuses(), both);
  const auto again = first.call("ensureModelsDownloaded");
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again.result, Json::object());
  EXPECT_EQ(first.statuses->statuses(), both);  // its engine has the models now

  Client second;
  ASSERT_TRUE(second.call("ensureModelsDownloaded").ok());
  EXPECT_EQ(second.statuses->statuses(), both);

  EXPECT_EQ(first.call("unloadModels").result, Json::object());
  ASSERT_TRUE(first.call("ensureModelsDownloaded").ok());
  EXPECT_EQ(first.statuses->statuses().size(), 4u);
}

TEST_F(WorkerProcess, FailuresCrossAsRecordsWithOnlyDomainAndCode) {
  ::setenv("SCRIPTED_ENGINE_DOWNLOAD", "fail", 1);
  Client client;
  const auto download = client.call("ensureModelsDownloaded");
  ASSERT_TRUE(download.error);
  EXPECT_EQ(*download.error, (platform::ipc::ErrorRecord{"Transcription.TranscriptionError", 1,
                                                         "The operation couldn\u2019t be completed. "
                                                         "(Transcription.TranscriptionError error 1.)"}));
  EXPECT_TRUE(client.statuses->statuses().empty());

  const auto invalid = client.call("processAudio", processArgs("script:throw=3"));
  ASSERT_TRUE(invalid.error);
  EXPECT_EQ(*invalid.error, (platform::ipc::ErrorRecord{"Transcription.TranscriptionError", 3, kGenericTextOf3}));

  const auto unencodable = client.call("processAudio", processArgs("script:nan"));
  ASSERT_TRUE(unencodable.error);
  EXPECT_EQ(unencodable.error->domain, "NSCocoaErrorDomain");
  EXPECT_EQ(unencodable.error->code, 4866);

  const auto other = client.call("processAudio", processArgs("script:throwOther"));
  ASSERT_TRUE(other.error);
  EXPECT_EQ(other.error->domain, "platform.ipc");
  EXPECT_EQ(other.error->code, 0);
  EXPECT_TRUE(client.healthy());
}

TEST_F(WorkerProcess, AnAbortedWorkerInterruptsItsCallAndTheNextCallStartsAnother) {
  Client client;
  const auto outcome = client.call("processAudio", processArgs("script:abort"));
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->domain, "NSCocoaErrorDomain");
  EXPECT_EQ(outcome.error->code, 4097);
  EXPECT_TRUE(client.healthy());
  client.connection->invalidate();
  const auto workers = launchedHere();
  ASSERT_EQ(workers.size(), 2u);
  EXPECT_TRUE(WIFSIGNALED(*workers[0].waitStatus));
  EXPECT_TRUE(WIFEXITED(*workers[1].waitStatus) && WEXITSTATUS(*workers[1].waitStatus) == 0);
}

TEST_F(WorkerProcess, ExitsWith0AfterTheLastOfTwoConnectionsClosesNotTheFirst) {
  auto first = std::make_unique<Client>();
  ASSERT_TRUE(first->healthy());
  const auto pid = first->connection->peerProcessId();
  ASSERT_TRUE(pid);
  Client second;
  ASSERT_TRUE(second.healthy());
  EXPECT_EQ(second.connection->peerProcessId(), pid);

  first.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(platform::ipc::launchedWorkerEnded(*pid));
  EXPECT_TRUE(second.healthy());
  EXPECT_EQ(second.connection->peerProcessId(), pid);
  EXPECT_TRUE(std::filesystem::exists(socketPath()));

  second.connection->invalidate();
  const auto workers = launchedHere();
  ASSERT_EQ(workers.size(), 1u);
  ASSERT_TRUE(workers[0].ended());
  EXPECT_TRUE(WIFEXITED(*workers[0].waitStatus));
  EXPECT_EQ(WEXITSTATUS(*workers[0].waitStatus), 0);
  EXPECT_FALSE(std::filesystem::exists(socketPath()));  // closed and removed before the exit
}

TEST_F(WorkerProcess, AWorkerWithoutAnyConnectionExitsWith0AfterItsIdlePeriod) {
  ::setenv("VELMORIA_WORKER_IDLE_SECONDS", "0.2", 1);
  const auto pid = platform::ipc::spawnWorker();
  ::unsetenv("VELMORIA_WORKER_IDLE_SECONDS");
  ASSERT_TRUE(pid);
  const auto workers = launchedHere();
  ASSERT_EQ(workers.size(), 1u);
  ASSERT_TRUE(workers[0].ended());
  EXPECT_TRUE(WIFEXITED(*workers[0].waitStatus));
  EXPECT_EQ(WEXITSTATUS(*workers[0].waitStatus), 0);
  EXPECT_FALSE(std::filesystem::exists(socketPath()));
}

}  // namespace
