// The real transcriber-worker on the demo models behind a local fake hub: every bad path of a
// request is answered with invalidInput (code 3) and the worker stays up; one full request on
// two-speaker demo audio gives a transcript with two speakers; two connections and a second
// worker downloading the same repositories at once all end with the models whole on disk; a
// hostile peer's bodies that are not UTF-8 are answered and its connection is kept.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "host/status_log.hpp"
#include "host/worker_peer.hpp"
#include "platform/ipc/connection.hpp"
#include "platform/ipc/launcher.hpp"
#include "support/demo_hub/demo_hub.hpp"
#include "support/folder_contents.hpp"
#include "support/temporary_folder.hpp"
#include "tools/make-demo-models/speech/speech_models.hpp"
#include "transcription/transcriber_service_protocol.hpp"
#include "transcription/transcriber_status_reporting.hpp"

namespace {

namespace fs = std::filesystem;
using platform::ipc::CallOutcome;
using platform::ipc::Connection;
using Json = platform::json::Json;

using hosttest::StatusLog;

class RealWorker : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::useDemoWorker(hub_, folder_.path(), WORKER_PATH);
    ASSERT_TRUE(testsupport::makeDemoAudio(MAKE_DEMO_AUDIO_PATH, mic(), systemAudio(), 60));
    connection_ = Connection::toService(velmoria::kTranscriberServiceName);
    connection_->setRemoteObjectInterface(velmoria::transcriberServiceInterface());
    connection_->resume();
  }
  void TearDown() override {
    if (connection_) connection_->invalidate();
  }

  fs::path speechSource() const { return folder_.path() / "speech-repo"; }
  fs::path diarizationSource() const { return folder_.path() / "diarization"; }
  std::string mic() const { return (folder_.path() / "mic.wav").string(); }
  std::string systemAudio() const { return (folder_.path() / "system.wav").string(); }

  CallOutcome call(const std::string& method, Json args = Json::object()) {
    auto promise = std::make_shared<std::promise<CallOutcome>>();
    auto future = promise->get_future();
    connection_->call(method, std::move(args), [promise](CallOutcome o) { promise->set_value(std::move(o)); });
    EXPECT_EQ(future.wait_for(std::chrono::seconds(120)), std::future_status::ready) << method;
    return future.get();
  }
  CallOutcome process(const std::string& micPath) {
    return call("processAudio", Json{{"request", {{"micPath", micPath}, {"systemPath", systemAudio()},
                                                  {"customVocabulary", Json::array()}}}});
  }

  testsupport::TemporaryFolder folder_{"real-worker"};
  testsupport::DemoHub hub_{folder_.path(), demomodels::kDefaultSpeechText};
  std::shared_ptr<Connection> connection_;
};

TEST_F(RealWorker, EveryBadPathIsInvalidInputAndTheWorkerStaysUp) {
  const fs::path unreadable = folder_.path() / "unreadable.wav";
  std::ofstream(unreadable) << "RIFF";
  fs::permissions(unreadable, fs::perms::none);
  const fs::path fifo = folder_.path() / "fifo.wav";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path dangling = folder_.path() / "dangling.wav";
  fs::create_symlink(folder_.path() / "nowhere.wav", dangling);
  std::vector<std::string> paths = {folder_.path().string(), fifo.string(), "/dev/zero", dangling.string(), "",
                                    "relative.wav", mic().substr(0, 5) + std::string(1, '\0') + mic(),
                                    "/" + std::string(4999, 'a')};
  if (::geteuid() != 0) paths.push_back(unreadable.string());
  for (const std::string& path : paths) {
    const CallOutcome outcome = process(path);
    ASSERT_TRUE(outcome.error.has_value()) << path.substr(0, 40);
    EXPECT_EQ(outcome.error->domain, "Transcription.TranscriptionError") << path.substr(0, 40);
    EXPECT_EQ(outcome.error->code, 3) << path.substr(0, 40);
  }
  EXPECT_TRUE(call("healthCheck").ok());
}

// The parser refuses such a body with a message that quotes its bytes; that message must reach
// the peer as valid UTF-8 rather than take the worker down while it is encoded.
TEST_F(RealWorker, BodiesThatAreNotUtf8AreAnsweredWithCode1OnAConnectionThatStaysAndTheWorkerExits0) {
  const std::size_t before = platform::ipc::waitForLaunchedWorkers(std::chrono::milliseconds(0)).size();
  ASSERT_TRUE(call("healthCheck").ok());  // starts the worker
  {
    ipctest::RawPeer peer = hosttest::greetedWorkerPeer(folder_.path() / "run" / "worker.sock");
    const std::string bodies[] = {
        "\xff\xfe not json at all",
        "{\"kind\":\"call\",\"id\":4,\"method\":\"healthCheck\",\"args\":{\"note\":\"a\xff b\"}}"};
    int id = 10;
    for (const std::string& body : bodies) {
      peer.sendText(body);
      const auto answer = peer.read();
      ASSERT_TRUE(answer) << "no answer: the worker has gone";
      EXPECT_EQ((*answer)["kind"], "error");
      EXPECT_TRUE((*answer)["id"].is_null());
      EXPECT_EQ((*answer)["error"]["domain"], "platform.ipc");
      EXPECT_EQ((*answer)["error"]["code"], 1);
      peer.send(Json{{"kind", "call"}, {"id", ++id}, {"method", "healthCheck"}, {"args", Json::object()}});
      const auto health = peer.read();
      ASSERT_TRUE(health);
      EXPECT_EQ(*health, (Json{{"kind", "reply"}, {"id", id}, {"result", {{"healthy", true}}}}));
    }
  }
  EXPECT_TRUE(call("healthCheck").ok());
  connection_->invalidate();
  const auto all = platform::ipc::waitForLaunchedWorkers(std::chrono::seconds(20));
  ASSERT_EQ(all.size(), before + 1);
  ASSERT_TRUE(all.back().ended());
  EXPECT_TRUE(WIFEXITED(*all.back().waitStatus)) << *all.back().waitStatus;
  EXPECT_EQ(WEXITSTATUS(*all.back().waitStatus), 0);
}

TEST_F(RealWorker, OneFullRequestOnTwoSpeakerDemoAudio) {
  ASSERT_TRUE(call("ensureModelsDownloaded").ok());
  const CallOutcome outcome = process(mic());
  ASSERT_TRUE(outcome.ok()) << outcome.error->description;
  const Json& transcript = outcome.result["transcript"];
  EXPECT_EQ(transcript["speakerCount"], 2);
  EXPECT_EQ(transcript["speakerSpeechDurations"].size(), 2U);
  EXPECT_FALSE(transcript["segments"].empty());
  EXPECT_EQ(transcript["transcriptionMethodId"], "v2");
  EXPECT_TRUE(call("unloadModels").ok());
}

TEST_F(RealWorker, TwoConnectionsAndASecondWorkerDownloadingAtOnceAllEndWithWholeModels) {
  // The first transfer of one file per repository stops for a while after its first byte, so
  // the other downloaders arrive while it is under way.
  for (const char* file : {"AudioEncoder.mlmodelc/model.json", "SpeakerSegmenter.mlmodelc/model.json"}) {
    hub_.hub().addFault(
        fake_hub::Fault::stallFor(std::chrono::milliseconds(800), file, 1).forMethod("GET").limitedTo(1));
  }
  // A second worker process on a socket of its own, with the same storage folder.
  const fs::path otherStatuses = folder_.path() / "other-worker.err";
  const std::string otherWorker = "VELMORIA_WORKER_SOCKET='" + (folder_.path() / "run2" / "worker.sock").string() +
                                  "' " + WORKER_CALL_PATH + " ensureModelsDownloaded >/dev/null 2>'" +
                                  otherStatuses.string() + "'";
  struct Client {
    std::shared_ptr<Connection> connection = Connection::toService(velmoria::kTranscriberServiceName);
    std::shared_ptr<StatusLog> statuses = std::make_shared<StatusLog>();
    std::promise<CallOutcome> outcome;
  };
  Client clients[2];
  for (Client& client : clients) {
    client.connection->setExportedInterface(velmoria::transcriberStatusReportingInterface());
    auto exporter = std::make_shared<velmoria::TranscriberStatusReportingExporter>(client.statuses);
    client.connection->setExportedObject(std::move(exporter));
    client.connection->setRemoteObjectInterface(velmoria::transcriberServiceInterface());
    client.connection->resume();
  }
  ASSERT_TRUE(call("healthCheck").ok());  // the first worker runs before the downloads start
  auto other = std::async(std::launch::async, [&] { return std::system(otherWorker.c_str()); });
  for (Client& client : clients) {
    client.connection->call("ensureModelsDownloaded", Json::object(),
                            [&client](CallOutcome o) { client.outcome.set_value(std::move(o)); });
  }
  const std::vector<std::string> both = {"Downloading speech-to-text model", "Downloading speaker ID model"};
  for (Client& client : clients) {
    auto future = client.outcome.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(120)), std::future_status::ready);
    const CallOutcome outcome = future.get();
    EXPECT_TRUE(outcome.ok()) << outcome.error->description;
    EXPECT_EQ(client.statuses->statuses(), both);
    client.connection->invalidate();
  }
  EXPECT_EQ(other.get(), 0);  // every answer a reply, and the second worker exited 0
  const std::string otherLog = testsupport::fileContents(otherStatuses);
  for (const std::string& status : both) EXPECT_NE(otherLog.find(status), std::string::npos) << otherLog;
  EXPECT_GE(hub_.hub().requestCount("GET", "AudioEncoder.mlmodelc/model.json"), 1U);

  const fs::path models = folder_.path() / "data" / "Velmoria" / "models";
  const std::pair<fs::path, fs::path> copies[] = {
      {models / "didezuraz/vostrane-coreml" / demomodels::kDefaultSpeechFolder,
       speechSource() / demomodels::kDefaultSpeechFolder},
      {models / "didezuraz/dellomar-coreml", diarizationSource()}};
  for (const auto& [copy, source] : copies) {
    const std::vector<fs::path> expected = testsupport::visibleFiles(source);
    ASSERT_FALSE(expected.empty()) << source;
    ASSERT_EQ(testsupport::visibleFiles(copy), expected) << copy;
    for (const fs::path& file : expected) {
      const std::string copied = testsupport::fileContents(copy / file);
      EXPECT_TRUE(copied == testsupport::fileContents(source / file)) << file << ": " << copied.size() << " bytes";
    }
  }
  for (const auto& entry : fs::recursive_directory_iterator(models)) {
    EXPECT_NE(entry.path().extension(), ".incomplete") << "partial file left: " << entry.path();
  }
  // The fixture's connection still gets a full request done on what was downloaded.
  const CallOutcome request = process(mic());
  ASSERT_TRUE(request.ok()) << request.error->description;
  EXPECT_EQ(request.result["transcript"]["speakerCount"], 2);
}

}  // namespace
