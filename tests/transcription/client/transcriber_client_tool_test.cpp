// tools/transcriber-client against the scripted worker: a run whose transcript decodes, a
// failing download with its one error line, and usage errors; and with --in-process on the demo
// models behind a local fake hub.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fs/file_system.hpp"
#include "support/fake_hub/fake_hub.hpp"
#include "support/temporary_folder.hpp"
#include "tools/make-demo-models/diarization_models.hpp"
#include "tools/make-demo-models/speech/speech_models.hpp"
#include "transcription/transcript_records.hpp"

namespace {

struct ToolRun {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The rest of each line of `text` that starts with `prefix`, in order.
std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line.substr(prefix.size()));
  }
  return found;
}

class TranscriberClientTool : public ::testing::Test {
 protected:
  ToolRun run(const std::string& arguments, const std::string& environment = "") {
    const auto out = folder_.path() / "out", err = folder_.path() / "err";
    const std::string command = "cd " + folder_.path().string() + " && env VELMORIA_WORKER_PATH=" SCRIPTED_WORKER_PATH
                                " VELMORIA_WORKER_SOCKET=" + (folder_.path() / "run" / "w.sock").string() + " " +
                                environment + " " TRANSCRIBER_CLIENT_PATH " " + arguments + " >" + out.string() +
                                " 2>" + err.string();
    const int status = std::system(command.c_str());
    ToolRun r;
    r.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
  }
  testsupport::TemporaryFolder folder_{"client-tool"};
};

TEST_F(TranscriberClientTool, PrintsTheTranscriptWithAbsolutePathsAndTheStatuses) {
  const ToolRun r = run("--mic mic.wav --system /abs/system.wav --vocabulary Velmoria --vocabulary Dellomar");
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const auto transcript = velmoria::decodeTranscriptResultText(r.out);
  ASSERT_EQ(transcript.segments.size(), 1u);
  EXPECT_EQ(transcript.segments[0].text, "mic=" + (folder_.path() / "mic.wav").string() +
                                             " system=/abs/system.wav vocabulary=Velmoria,Dellomar");
  EXPECT_NE(r.err.find("status: Downloading speech-to-text model\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("status: Downloading speaker ID model\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("model status: downloading(progress: 0.0)\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("model status: running\n"), std::string::npos) << r.err;

  const ToolRun quiet = run("--mic /m.wav --system /s.wav --no-download");
  ASSERT_EQ(quiet.exitStatus, 0) << quiet.err;
  EXPECT_EQ(quiet.err.find("status: Downloading"), std::string::npos) << quiet.err;
}

TEST_F(TranscriberClientTool, AFailingOperationGivesOneErrorLineAndStatus1) {
  const ToolRun r = run("--mic /m.wav --system /s.wav", "SCRIPTED_ENGINE_DOWNLOAD=fail");
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_TRUE(r.out.empty());
  EXPECT_NE(r.err.find("error: transcriptionFailed: The operation couldn\u2019t be completed. "
                       "(Transcription.TranscriptionError error 1.)\n"),
            std::string::npos)
      << r.err;
}

TEST_F(TranscriberClientTool, UsageErrorsExitWith2) {
  EXPECT_EQ(run("--mic /m.wav").exitStatus, 2);
  EXPECT_EQ(run("--mic /m.wav --system").exitStatus, 2);
  EXPECT_EQ(run("--mic /m.wav --system /s.wav --bogus").exitStatus, 2);
  EXPECT_EQ(run("--mic /m.wav --system /s.wav --in-process --service other").exitStatus, 2);
}

class TranscriberClientToolInProcess : public TranscriberClientTool {
 protected:
  static void SetUpTestSuite() {
    repos_ = new testsupport::TemporaryFolder("client-tool-repos");
    demomodels::SpeechDemoOptions speech;
    speech.out = repos_->path() / "speech";
    speech.tokenizerMerges = 2000;
    demomodels::writeSpeechModels(platform::fs::RealFileSystem::shared(), speech);
    demomodels::writeDiarizationModels(platform::fs::RealFileSystem::shared(), repos_->path() / "diarization");
    hub_ = new fake_hub::FakeHub();
    hub_->addRepository("didezuraz/vostrane-coreml", speech.out);
    hub_->addRepository("didezuraz/dellomar-coreml", repos_->path() / "diarization");
  }
  static void TearDownTestSuite() {
    delete hub_;
    delete repos_;
  }
  void SetUp() override {
    const std::string command = MAKE_DEMO_AUDIO_PATH " --mic " + (folder_.path() / "mic.wav").string() +
                                " --system " + (folder_.path() / "system.wav").string() + " --seconds 20";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  // The hub, a storage folder of this test, and no worker that could be started.
  std::string environment() const {
    return "HF_ENDPOINT=" + hub_->endpoint() + " XDG_DATA_HOME=" + (folder_.path() / "data").string() +
           " CI_DISABLE_NETWORK_MONITOR=1 VELMORIA_WORKER_PATH=/nonexistent";
  }

  static testsupport::TemporaryFolder* repos_;
  static fake_hub::FakeHub* hub_;
};

testsupport::TemporaryFolder* TranscriberClientToolInProcess::repos_ = nullptr;
fake_hub::FakeHub* TranscriberClientToolInProcess::hub_ = nullptr;

TEST_F(TranscriberClientToolInProcess, TranscribesInsideTheToolWithTheModelsOfTheStorageFolder) {
  const ToolRun r = run("--in-process --mic mic.wav --system system.wav --vocabulary Velmoria", environment());
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const auto transcript = velmoria::decodeTranscriptResultText(r.out);
  EXPECT_EQ(transcript.speakerCount, 2);
  EXPECT_FALSE(transcript.segments.empty());
  EXPECT_NE(r.err.find("status: Downloading speech-to-text model\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("status: Downloading speaker ID model\n"), std::string::npos) << r.err;
  // The printer of the published statuses runs beside the download steps' lines.
  EXPECT_EQ(linesStartingWith(r.err, "model status: "),
            (std::vector<std::string>{"needsDownload", "downloading(progress: 0.0)", "ready", "running", "ready",
                                      "needsDownload"}))
      << r.err;
  EXPECT_TRUE(std::filesystem::exists(folder_.path() / "data" / "Velmoria" / "models" / "didezuraz"));

  // Without a download the engine loads what the first run left on disk.
  const ToolRun again = run("--in-process --no-download --mic mic.wav --system system.wav", environment());
  ASSERT_EQ(again.exitStatus, 0) << again.err;
  EXPECT_EQ(velmoria::decodeTranscriptResultText(again.out).speakerCount, 2);
  EXPECT_EQ(again.err.find("status: Downloading"), std::string::npos) << again.err;
}

TEST_F(TranscriberClientToolInProcess, AFailureInsideTheToolKeepsItsCaseAndMessage) {
  const ToolRun r = run("--in-process --no-download --mic missing.wav --system system.wav", environment());
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_TRUE(r.out.empty());
  // Unlike an error from the worker, the engine's own error arrives whole.
  EXPECT_NE(r.err.find("error: invalidInput: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("missing.wav"), std::string::npos) << r.err;
}

}  // namespace
