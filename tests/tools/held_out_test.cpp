// Held-out runs of the diarization tools end to end, as separate processes: generated two-voice
// recordings through make-two-voice-audio and a speech synthesiser's man and woman (espeak-ng),
// diarize with the demo models from make-demo-models, and score-der against the true turns; one
// voice, silence, very short input, and bad input of every kind (each exit 1 with one stderr
// line). In process: the library gives the same result for any worker counts on the demo models.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>

#include "diarization/dellomar.hpp"
#include "platform/audio/wav_writer.hpp"
#include "platform/fs/file_system.hpp"
#include "platform/json/json.hpp"
#include "speech/audio/audio_processor.hpp"
#include "support/temporary_folder.hpp"
#include "support/tool_run.hpp"
#include "tools/make-demo-models/diarization_models.hpp"
#include "tools/make-two-voice-audio/two_voice_synth.hpp"
#include "tools/score-der/rttm.hpp"

namespace {

namespace fs = std::filesystem;

using testsupport::ToolRun;

class HeldOutTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new testsupport::TemporaryFolder("held-out");
    const ToolRun made = run(MAKE_DEMO_MODELS_TOOL, {"diarization", "--out", (folder_->path() / "models").string()});
    ASSERT_EQ(made.exitCode, 0) << made.err;
  }
  static void TearDownTestSuite() { delete folder_; }
  static fs::path models() { return folder_->path() / "models" / "dellomar"; }
  static fs::path file(const std::string& name) { return folder_->path() / name; }

  static ToolRun run(const std::string& tool, const std::vector<std::string>& args) {
    static int counter = 0;
    return testsupport::runTool(tool, args, folder_->path() / ("run" + std::to_string(++counter)));
  }

  // A recording and its true turns made by make-two-voice-audio.
  static fs::path makeRecording(const std::string& name, int seconds, int seed, int voices) {
    const fs::path wav = file(name + ".wav");
    const ToolRun made = run(MAKE_TWO_VOICE_AUDIO_TOOL,
                             {"--out", wav.string(), "--rttm", file(name + ".rttm").string(), "--seconds",
                              std::to_string(seconds), "--seed", std::to_string(seed), "--voices",
                              std::to_string(voices)});
    EXPECT_EQ(made.exitCode, 0) << made.err;
    return wav;
  }

  // Diarizes `wav`, checks every line's ten fields, and returns the lines.
  static std::vector<std::string> diarize(const fs::path& wav, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {models().string(), wav.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    const ToolRun result = run(DIARIZE_TOOL, args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const std::regex line("SPEAKER " + rttm::fileIdFor(wav) +
                          " 1 [0-9]+\\.[0-9]{3} [0-9]+\\.[0-9]{3} <NA> <NA> [A-Z]+ <NA> <NA>");
    for (const std::string& l : result.outLines()) {
      EXPECT_TRUE(std::regex_match(l, line)) << l;
      std::istringstream fields(l);
      std::vector<std::string> words{std::istream_iterator<std::string>(fields), {}};
      EXPECT_EQ(words.size(), 10u) << l;
    }
    platform::fs::writeFileAtomically(file(rttm::fileIdFor(wav) + ".hyp.rttm"), result.out);
    return result.outLines();
  }

  // score-der's line for a diarize run's lines (as diarize() keeps them) against the reference
  // RTTM at a collar of 0.25 s, and the diarization error rate it gives.
  struct Score {
    double errorRate = 1;
    std::string line;
  };
  static Score score(const fs::path& reference, const fs::path& wav) {
    const ToolRun scored = run(SCORE_DER_TOOL, {reference.string(), file(rttm::fileIdFor(wav) + ".hyp.rttm").string(),
                                                "--collar", "0.25"});
    EXPECT_EQ(scored.exitCode, 0) << scored.err;
    std::smatch match;
    if (!std::regex_match(scored.out, match,
                          std::regex("DER=([0-9.]+) missed=([0-9.]+) false_alarm=([0-9.]+) confusion=([0-9.]+)\n"))) {
      ADD_FAILURE() << scored.out;
      return {1, scored.out};
    }
    return {std::stod(match[1]), scored.out};
  }

  static std::set<std::string> speakersOf(const std::vector<std::string>& lines) {
    std::set<std::string> speakers;
    for (const auto& l : rttm::parse([&] {
           std::string text;
           for (const auto& x : lines) text += x + "\n";
           return text;
         }())) {
      speakers.insert(l.speaker);
    }
    return speakers;
  }

  // The library over the demo models with the given worker counts.
  static dellomar::DiarizationResult diarizeInProcess(std::span<const float> samples, int segmenterWorkers,
                                                      int embedderWorkers) {
    auto config = std::make_shared<dellomar::PyannoteConfig>(dellomar::PyannoteConfig::Flat{
        std::nullopt, "didezuraz/dellomar-coreml", std::nullopt, models().string(), false, false,
        "https://huggingface.co", "main", true, false, noxtal::Logging::LogLevel::none, true, segmenterWorkers,
        embedderWorkers, nullptr});
    dellomar::Dellomar dellomar(config);
    return dellomar.diarize(samples);
  }

  static void expectOneErrorLine(const ToolRun& result, const std::string& fragment) {
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    ASSERT_EQ(result.errLines().size(), 1u) << result.err;
    EXPECT_NE(result.err.find(fragment), std::string::npos) << result.err;
  }

  static testsupport::TemporaryFolder* folder_;
};
testsupport::TemporaryFolder* HeldOutTest::folder_ = nullptr;

TEST_F(HeldOutTest, TwoVoicesOverThreeSeedsGiveTwoSpeakersAndALowDer) {
  for (const int seed : {1, 2, 3}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const std::string name = "two voices " + std::to_string(seed);  // a blank in the file name
    const fs::path wav = makeRecording(name, 120, seed, 2);
    const auto lines = diarize(wav);
    EXPECT_EQ(speakersOf(lines).size(), 2u);
    const Score result = score(file(name + ".rttm"), wav);
    EXPECT_LT(result.errorRate, 0.10) << result.line;
  }
}

// A speech synthesiser's man and woman taking turns (espeak-ng, spoken at test time): two
// speakers, against the spans where each voice's own samples are active.
TEST_F(HeldOutTest, ASpeechSynthesisersManAndWomanAreTwoSpeakers) {
  struct Voice {
    const char* variant;
    const char* pitch;  // espeak-ng's pitch adjustment, 0-99
    const char* name;
  };
  const Voice voices[2] = {{"en+m3", "25", "man"}, {"en+f3", "65", "woman"}};
  const std::pair<int, const char*> turns[] = {
      {0, "The weather was cold and grey when we left the harbour this morning."},
      {1, "I packed some bread, some cheese and a few apples for the long walk."},
      {0, "We followed the old road along the river until the bridge."},
      {1, "Then the path climbed through the forest towards the village on the hill."},
      {0, "By noon the clouds had gone and the sun was warm on our faces."},
      {1, "We sat by the church and watched the boats come back into the bay."}};
  constexpr std::size_t kPause = 9600;  // 0.6 s between turns, and before the first
  constexpr std::size_t kFrame = 160;   // 10 ms
  std::vector<float> mixed(kPause, 0.0f);
  std::string reference;
  int spoken = 0;
  for (const auto& [voice, text] : turns) {
    const fs::path wav = file("espeak_" + std::to_string(++spoken) + ".wav");
    const ToolRun made = run("espeak-ng", {"-v", voices[voice].variant, "-p", voices[voice].pitch, "-w", wav.string(), text});
    ASSERT_EQ(made.exitCode, 0) << "espeak-ng (scripts/install-deps installs it): " << made.err;
    const std::vector<float> speech = vostrane::AudioProcessor::loadAudioAsFloatArray(wav.string());
    ASSERT_GT(speech.size(), 16000u);
    const std::size_t offset = mixed.size();
    mixed.insert(mixed.end(), speech.begin(), speech.end());
    mixed.resize(mixed.size() + kPause, 0.0f);
    // The voice is active in every 10 ms frame whose level is within 30 dB of its loudest
    // frame; gaps under 0.25 s (between words, in stops) are bridged.
    std::vector<double> levels;
    for (std::size_t f = 0; f + kFrame <= speech.size(); f += kFrame) {
      double sum = 0;
      for (std::size_t n = f; n < f + kFrame; ++n) sum += static_cast<double>(speech[n]) * speech[n];
      levels.push_back(std::sqrt(sum / kFrame));
    }
    const double loudest = *std::max_element(levels.begin(), levels.end());
    std::optional<std::size_t> start;
    std::size_t last = 0;
    const auto close = [&] {
      char line[200];
      std::snprintf(line, sizeof line, "SPEAKER espeak 1 %.3f %.3f <NA> <NA> %s <NA> <NA>\n",
                    static_cast<double>(offset + *start * kFrame) / 16000,
                    static_cast<double>((last + 1 - *start) * kFrame) / 16000, voices[voice].name);
      reference += line;
    };
    for (std::size_t f = 0; f < levels.size(); ++f) {
      if (levels[f] < loudest * 0.0316) continue;
      if (start && f - last > 25) {
        close();
        start.reset();
      }
      if (!start) start = f;
      last = f;
    }
    if (start) close();
  }
  platform::audio::writeWav(platform::fs::RealFileSystem::shared(), file("espeak.wav"), mixed, 16000);
  platform::fs::writeFileAtomically(file("espeak.rttm"), reference);
  const auto lines = diarize(file("espeak.wav"));
  EXPECT_EQ(speakersOf(lines).size(), 2u);
  const Score result = score(file("espeak.rttm"), file("espeak.wav"));
  EXPECT_LT(result.errorRate, 0.20) << result.line;
}

TEST_F(HeldOutTest, OneVoiceSilenceAndAShortInput) {
  EXPECT_EQ(speakersOf(diarize(makeRecording("one_voice", 120, 4, 1))).size(), 1u);
  EXPECT_TRUE(diarize(makeRecording("silence", 60, 4, 0)).empty());
  const auto silence = diarizeInProcess(twovoice::synthesize({60, 4, 0}).samples, 2, 2);
  EXPECT_EQ(silence.speakerCount, 0);
  EXPECT_TRUE(silence.segments.empty());
  // Three seconds: shorter than a window, diarized zero-padded.
  const auto twoVoices = twovoice::synthesize({120, 4, 2});
  const twovoice::Turn first = twoVoices.turns.front();
  std::vector<float> shortInput(twoVoices.samples.begin() + first.startMilliseconds * 16,
                                twoVoices.samples.begin() + (first.startMilliseconds + 3000) * 16);
  platform::audio::writeWav(platform::fs::RealFileSystem::shared(), file("short.wav"), shortInput, 16000);
  const auto lines = diarize(file("short.wav"));
  EXPECT_EQ(speakersOf(lines).size(), 1u);
  // --speakers is passed on: one voice asked as one speaker stays one.
  EXPECT_EQ(speakersOf(diarize(file("one_voice.wav"), {"--speakers", "1"})).size(), 1u);
}

TEST_F(HeldOutTest, BadInputExitsOneWithOneLine) {
  const fs::path wav = makeRecording("bad_input_base", 20, 5, 2);
  expectOneErrorLine(run(DIARIZE_TOOL, {(folder_->path() / "no-models").string(), wav.string()}), "SpeakerSegmenter");
  expectOneErrorLine(run(DIARIZE_TOOL, {models().string(), file("missing.wav").string()}), "missing.wav");
  platform::fs::writeFileAtomically(file("text.wav"), "this is not audio");
  expectOneErrorLine(run(DIARIZE_TOOL, {models().string(), file("text.wav").string()}), "text.wav");
  platform::audio::writeWav(platform::fs::RealFileSystem::shared(), file("empty.wav"), std::vector<float>{}, 16000);
  expectOneErrorLine(run(DIARIZE_TOOL, {models().string(), file("empty.wav").string()}), "no samples");
  std::vector<float> withNan(32000, 0.1f);
  withNan[20000] = std::nanf("");
  platform::audio::writeWav(platform::fs::RealFileSystem::shared(), file("nan.wav"), withNan, 16000, 1,
                            platform::audio::WavSampleFormat::float32);
  expectOneErrorLine(run(DIARIZE_TOOL, {models().string(), file("nan.wav").string()}), "not finite");
  expectOneErrorLine(run(DIARIZE_TOOL, {models().string()}), "usage");
  expectOneErrorLine(run(DIARIZE_TOOL, {models().string(), wav.string(), "--speakers", "0"}), "usage");
  expectOneErrorLine(run(DIARIZE_TOOL, {models().string(), wav.string(), "--speakers", "two"}), "usage");

  // Models whose shapes disagree: an embedder expecting other mask rows.
  testsupport::TemporaryFolder mismatched("held-out-mismatched");
  demomodels::writeDiarizationModels(platform::fs::RealFileSystem::shared(), mismatched.path());
  const fs::path embedder =
      mismatched.path() / "speaker_embedder/pyannote-v3/W8A16/SpeakerEmbedder.mlmodelc/model.json";
  platform::json::Json json = platform::json::parse(platform::fs::readFile(embedder));
  ASSERT_EQ(json["inputs"][1]["name"], "speaker_masks");
  json["inputs"][1]["shape"] = platform::json::Json::array({1, 40, 300});
  platform::fs::writeFileAtomically(embedder, platform::json::dump(json));
  expectOneErrorLine(run(DIARIZE_TOOL, {mismatched.path().string(), wav.string()}), "40");

  // score-der: a malformed file exits 1 naming it.
  platform::fs::writeFileAtomically(file("bad.rttm"), "SPEAKER f 1 zero 1 <NA> <NA> a <NA> <NA>\n");
  const ToolRun score = run(SCORE_DER_TOOL, {file("bad.rttm").string(), file("bad_input_base.rttm").string()});
  expectOneErrorLine(score, "bad.rttm: line 1: onset is not a number");
  expectOneErrorLine(run(SCORE_DER_TOOL, {file("nothing.rttm").string(), file("bad_input_base.rttm").string()}),
                     "nothing.rttm");
}

// The library over the demo models: worker counts (segmenter, embedder) change nothing.
TEST_F(HeldOutTest, ResultsAreIdenticalForAnyWorkerCounts) {
  const auto recording = twovoice::synthesize({90, 6, 2});
  const auto one = diarizeInProcess(recording.samples, 1, 1);
  const auto many = diarizeInProcess(recording.samples, 4, 8);
  EXPECT_EQ(one.speakerCount, 2);
  EXPECT_EQ(one.binaryMatrix(), many.binaryMatrix());
  EXPECT_EQ(one.speakerCentroidEmbeddings, many.speakerCentroidEmbeddings);
  ASSERT_EQ(one.segments.size(), many.segments.size());
  for (std::size_t i = 0; i < one.segments.size(); ++i) {
    EXPECT_EQ(one.segments[i].startTime, many.segments[i].startTime);
    EXPECT_EQ(one.segments[i].endTime, many.segments[i].endTime);
    EXPECT_EQ(one.segments[i].speaker, many.segments[i].speaker);
  }
}

}  // namespace
