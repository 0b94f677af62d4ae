// tools/worker-call against the scripted worker: answers on standard output, one-way messages
// on standard error, and an exit status that says whether every call was answered and the
// worker it started exited with 0.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/json/json.hpp"
#include "support/temporary_folder.hpp"

namespace {

using platform::json::Json;

struct ToolRun {
  int status = -1;
  std::vector<Json> out;
  std::string err;
};

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

class WorkerCall : public ::testing::Test {
 protected:
  // Runs worker-call with `words`; against the scripted worker unless `realWorker`.
  ToolRun run(const std::vector<std::string>& words, bool realWorker = false) {
    std::string command = std::string("env ") +
                          (realWorker ? "-u VELMORIA_WORKER_PATH"
                                      : "VELMORIA_WORKER_PATH=" + quoted(SCRIPTED_WORKER_PATH)) +
                          " VELMORIA_WORKER_SOCKET=" + quoted((folder_ / "run" / "w.sock").string()) + " " +
                          quoted(WORKER_CALL_PATH);
    for (const auto& w : words) command += " " + quoted(w);
    command += " >" + quoted((folder_ / "out").string()) + " 2>" + quoted((folder_ / "err").string());
    ToolRun r;
    const int raw = std::system(command.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream out(folder_ / "out");
    for (std::string line; std::getline(out, line);) r.out.push_back(platform::json::parse(line));
    std::stringstream err;
    err << std::ifstream(folder_ / "err").rdbuf();
    r.err = err.str();
    return r;
  }
  testsupport::TemporaryFolder folder_{"worker-call"};
};

TEST_F(WorkerCall, RunsTheCallsInOrderAndExits0WhenAllAreRepliesAndTheWorkerExited0) {
  const auto r = run({"ensureModelsDownloaded",
                      R"(processAudio={"request":{"micPath":"/m.wav","systemPath":"/s.wav","customVocabulary":[]}})",
                      "healthCheck", "unloadModels"});
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(r.out.size(), 4u);
  EXPECT_EQ(r.out[0], (Json{{"method", "ensureModelsDownloaded"}, {"result", Json::object()}}));
  EXPECT_EQ(r.out[1]["result"]["transcript"]["segments"][0]["text"], "mic=/m.wav system=/s.wav vocabulary=");
  EXPECT_EQ(r.out[2], (Json{{"method", "healthCheck"}, {"result", {{"healthy", true}}}}));
  EXPECT_EQ(r.out[3]["method"], "unloadModels");
  EXPECT_NE(r.err.find(R"({"oneway":"reportDownloadStatus","args":{"status":"Downloading speech-to-text model"}})"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Downloading speaker ID model"), std::string::npos);
}

TEST_F(WorkerCall, ExitsWith1WhenAnAnswerIsAnErrorOrTheWorkerDidNotExitWith0) {
  auto r = run({"healthCheck", "noSuchMethod"});
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(r.out.size(), 2u);
  EXPECT_EQ(r.out[1]["error"]["code"], 2);

  r = run({R"(processAudio={"request":{"micPath":"script:abort","systemPath":"/s","customVocabulary":[]}})"});
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(r.out.size(), 1u);
  EXPECT_EQ(r.out[0]["error"]["code"], 4097);
}

TEST_F(WorkerCall, TheWorkerOfThisBuildRefusesAMissingRecordingBeforeAnyDownload) {
  const auto r = run({"healthCheck",
                      R"(processAudio={"request":{"micPath":"/missing-mic.wav","systemPath":"/missing-system.wav","customVocabulary":[]}})",
                      "unloadModels"},
                     true);
  EXPECT_EQ(r.status, 1);
  ASSERT_EQ(r.out.size(), 3u);
  EXPECT_EQ(r.out[0]["result"], (Json{{"healthy", true}}));
  EXPECT_EQ(r.out[1]["error"]["domain"], "Transcription.TranscriptionError");
  EXPECT_EQ(r.out[1]["error"]["code"], 3);
  EXPECT_FALSE(r.out[1].contains("result"));
  EXPECT_EQ(r.out[2]["result"], Json::object());
  EXPECT_EQ(r.err.find("did not exit"), std::string::npos) << r.err;
}

TEST_F(WorkerCall, RefusesArgumentsThatAreNotAJsonObjectWith2) {
  EXPECT_EQ(run({"healthCheck=[1]"}).status, 2);
  EXPECT_EQ(run({"healthCheck={"}).status, 2);
  EXPECT_EQ(run({"=x"}).status, 2);
  EXPECT_EQ(run({}).status, 2);
}

}  // namespace
