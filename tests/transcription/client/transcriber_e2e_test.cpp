// The app side end to end on this machine: the client facade's hosted backend starts the real
// transcriber-worker on demand, which downloads the demo models from a local fake hub and
// transcribes two demo recordings of two voices; then tools/transcriber-client does the same
// from the command line.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ipc/launcher.hpp"
#include "support/demo_hub/demo_hub.hpp"
#include "support/temporary_folder.hpp"
#include "transcription/speaker_spans.hpp"
#include "transcription/transcriber.hpp"
#include "transcription/transcript_records.hpp"

namespace {

using velmoria::ModelStatus;
using velmoria::Transcriber;

// make-demo-audio's layout over one 20 s period: the microphone voice speaks in 0-5 s and
// 10-15 s, the system voice in 5-10 s and 15-20 s, so each speaks 10 s.
constexpr double kSeconds = 20;
struct Stretch {
  double start;
  double end;
};
const std::map<std::string, std::vector<Stretch>> kVoices = {{"mic", {{0, 5}, {10, 15}}},
                                                             {"system", {{5, 10}, {15, 20}}}};
// The demo speech model says word w in [0.5 w, 0.5 (w + 1)) s and ends its first segment after
// half of the words: these 20 words put the first ten (and the first segment) in the microphone
// voice's first stretch and the other ten in the system voice's.
constexpr const char* kSpeech =
    " The quick brown fox jumps over the lazy dog while the sleepy cat watches from the warm and sunny window.";
constexpr double kMargin = 0.5;

// The one voice whose stretches hold [start, end] within the margin; absent when none does or
// when the span lies at a turn, within the margin of both voices.
std::optional<std::string> voiceHolding(double start, double end) {
  std::optional<std::string> holder;
  for (const auto& [voice, stretches] : kVoices) {
    for (const Stretch& s : stretches) {
      if (start >= s.start - kMargin && end <= s.end + kMargin) {
        if (holder && *holder != voice) return std::nullopt;
        holder = voice;
      }
    }
  }
  return holder;
}

std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<ModelStatus> drain(velmoria::StatusStream& stream) {
  std::vector<ModelStatus> seen;
  while (auto s = stream.tryNext()) seen.push_back(*s);
  return seen;
}

bool exitedZero(const platform::ipc::LaunchedWorker& w) {
  return w.waitStatus && WIFEXITED(*w.waitStatus) && WEXITSTATUS(*w.waitStatus) == 0;
}

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::useDemoWorker(hub_, folder_.path(), WORKER_PATH);
    ASSERT_TRUE(testsupport::makeDemoAudio(MAKE_DEMO_AUDIO_PATH, mic(), systemAudio(), kSeconds));
  }
  std::string mic() const { return (folder_.path() / "mic.wav").string(); }
  std::string systemAudio() const { return (folder_.path() / "system.wav").string(); }

  // Collects the status strings of one ensureModelsDownloaded.
  struct Texts {
    std::mutex mutex;
    std::vector<std::string> seen;
    velmoria::TranscriptionEngine::StatusCallback callback() {
      return [this](const std::string& text) {
        std::lock_guard<std::mutex> guard(mutex);
        seen.push_back(text);
      };
    }
    std::vector<std::string> taken() {
      std::lock_guard<std::mutex> guard(mutex);
      return seen;
    }
  };

  testsupport::TemporaryFolder folder_{"e2e"};
  testsupport::DemoHub hub_{folder_.path(), kSpeech};
};

// Every segment and word that lies inside one voice's stretches carries that voice's id; each
// voice has some, and the two ids differ.
void expectVoicesAttributed(const velmoria::TranscriptResult& transcript) {
  std::map<std::string, std::int64_t> idOfVoice;
  std::map<std::string, int> wordsOfVoice;
  const auto check = [&](double start, double end, const std::optional<std::int64_t>& id, const std::string& what) {
    const auto voice = voiceHolding(start, end);
    if (!voice) return;
    ASSERT_TRUE(id.has_value()) << what << " in the " << *voice << " voice's stretch has no speaker";
    const auto it = idOfVoice.emplace(*voice, *id).first;
    EXPECT_EQ(it->second, *id) << what << " [" << start << ", " << end << "] in the " << *voice
                               << " voice's stretch";
  };
  for (const auto& segment : transcript.segments) {
    check(segment.startTime, segment.endTime, segment.speakerID, "segment \"" + segment.text + "\"");
    for (const auto& word : segment.words.value_or(std::vector<velmoria::TranscriptWord>{})) {
      check(word.startTime, word.endTime, word.speakerID, "word \"" + word.word + "\"");
      if (const auto voice = voiceHolding(word.startTime, word.endTime)) ++wordsOfVoice[*voice];
    }
  }
  EXPECT_GT(wordsOfVoice["mic"], 0);
  EXPECT_GT(wordsOfVoice["system"], 0);
  ASSERT_EQ(idOfVoice.size(), 2u);
  EXPECT_NE(idOfVoice["mic"], idOfVoice["system"]);
}

TEST_F(EndToEnd, TheHostedFacadeAndTheClientToolTranscribeTwoVoicesOnTheRealWorker) {
  const std::size_t before = platform::ipc::waitForLaunchedWorkers(std::chrono::milliseconds(0)).size();
  Transcriber::Dependencies deps;
  auto t = Transcriber::make(Transcriber::Backend::hosted(), velmoria::TranscriptionMethod::v2(), std::move(deps));
  auto stream = t->statusStream();

  Texts download;
  t->ensureModelsDownloaded(download.callback());
  EXPECT_EQ(download.taken(),
            (std::vector<std::string>{"Downloading speech-to-text model", "Downloading speaker ID model"}));
  EXPECT_EQ(drain(stream), (std::vector<ModelStatus>{ModelStatus::needsDownload(), ModelStatus::downloading(0),
                                                     ModelStatus::ready()}));

  const velmoria::TranscriptResult transcript = t->processAudio(mic(), systemAudio(), {"Velmoria"});
  EXPECT_EQ(transcript.transcriptionMethodId, "v2");
  EXPECT_EQ(transcript.speakerCount, 2);
  ASSERT_FALSE(transcript.segments.empty());
  for (const auto& segment : transcript.segments) {
    EXPECT_FALSE(segment.speakerLabel.empty()) << segment.text;
  }
  ASSERT_EQ(transcript.speakerSpeechDurations.size(), 2u);
  for (const auto& [speaker, seconds] : transcript.speakerSpeechDurations) {
    EXPECT_NEAR(seconds, kSeconds / 2, 1.0) << "speaker " << speaker;
  }
  ASSERT_EQ(transcript.embeddingSets.size(), 1u);
  EXPECT_EQ(transcript.embeddingSets[0].kind, velmoria::EmbeddingKind::raw);
  EXPECT_EQ(transcript.embeddingSets[0].space, velmoria::SpeakerEmbeddingSpace::current());
  EXPECT_EQ(transcript.embeddingSets[0].vectors.size(), 2u);
  expectVoicesAttributed(transcript);
  EXPECT_EQ(drain(stream), (std::vector<ModelStatus>{ModelStatus::running(), ModelStatus::ready()}));

  // The models are on disk now: a second download sends no status strings.
  Texts again;
  t->ensureModelsDownloaded(again.callback());
  EXPECT_TRUE(again.taken().empty());

  t->shutdown();
  const auto all = platform::ipc::waitForLaunchedWorkers(std::chrono::seconds(60));
  ASSERT_GT(all.size(), before);
  for (std::size_t i = before; i < all.size(); ++i) {
    EXPECT_TRUE(exitedZero(all[i])) << "worker " << all[i].pid;
  }

  // The command-line client on the same inputs starts a worker of its own.
  const auto out = folder_.path() / "client.out", err = folder_.path() / "client.err";
  const std::string command = std::string(TRANSCRIBER_CLIENT_PATH) + " --mic " + mic() + " --system " +
                              systemAudio() + " --vocabulary Velmoria >" + out.string() + " 2>" + err.string();
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << slurp(err);
  const velmoria::TranscriptResult printed = velmoria::decodeTranscriptResultText(slurp(out));
  EXPECT_EQ(printed.speakerCount, 2);
}

}  // namespace
