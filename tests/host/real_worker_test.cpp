// The real transcriber-worker on the demo models behind a local fake hub: every bad path of a
// request is answered with invalidInput (code 3) and the worker stays up; one full request on
// two-speaker demo audio gives a transcript with two speakers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "platform/ipc/connection.hpp"
#include "platform/ipc/launcher.hpp"
#include "support/demo_hub/demo_hub.hpp"
#include "support/temporary_folder.hpp"
#include "tools/make-demo-models/speech/speech_models.hpp"
#include "transcription/transcriber_service_protocol.hpp"

namespace {

namespace fs = std::filesystem;
using platform::ipc::CallOutcome;
using platform::ipc::Connection;
using Json = platform::json::Json;

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

}  // namespace
