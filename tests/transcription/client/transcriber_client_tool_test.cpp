// tools/transcriber-client against the scripted worker: a run whose transcript decodes, a
// failing download with its one error line, and usage errors.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/temporary_folder.hpp"
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
}

}  // namespace
