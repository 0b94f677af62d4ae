// The transcribe tool as a process on the demo speech models and generated WAV files: the JSON
// it writes reads back equal to the library's own run, its SRT and VTT files are read by ffmpeg
// with the same cues, options reach the library, progress lines, and every bad input or
// command line fails alone with its one line.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fs/file_system.hpp"
#include "platform/json/json.hpp"
#include "speech/pipeline/transcription_utilities.hpp"
#include "speech/pipeline/vostrane.hpp"
#include "support/temporary_folder.hpp"
#include "support/tool_run.hpp"
#include "support/wav_writer.hpp"
#include "tools/make-demo-models/speech/speech_models.hpp"
#include "tools/transcribe/transcribe_arguments.hpp"

namespace {

namespace fs = std::filesystem;

using testsupport::ToolRun;

std::vector<std::string> linesOf(const std::string& text) { return ToolRun::lines(text); }

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// One subtitle cue: times in milliseconds, the text trimmed.
struct Cue {
  double startMs = 0;
  double endMs = 0;
  std::string text;
};

double srtTimeMs(const std::string& text) {
  int h = 0, m = 0, s = 0, ms = 0;
  EXPECT_EQ(std::sscanf(text.c_str(), "%d:%d:%d,%d", &h, &m, &s, &ms), 4) << text;
  return ((h * 60.0 + m) * 60.0 + s) * 1000.0 + ms;
}

// The cues of an SRT text (as ffmpeg writes it).
std::vector<Cue> parseSrt(const std::string& srt) {
  std::vector<Cue> cues;
  const std::vector<std::string> lines = linesOf(srt);
  const std::regex timing("([0-9:,]+) --> ([0-9:,]+)");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::smatch match;
    if (!std::regex_match(lines[i], match, timing)) continue;
    Cue cue{srtTimeMs(match[1]), srtTimeMs(match[2]), {}};
    std::string text;
    for (++i; i < lines.size() && !trimmed(lines[i]).empty(); ++i) text += (text.empty() ? "" : "\n") + lines[i];
    cue.text = trimmed(text);
    cues.push_back(cue);
  }
  return cues;
}

// The cues a subtitle file of `result` must hold: one per word of a segment with words, else
// one per segment.
std::vector<Cue> expectedCues(const vostrane::TranscriptionResult& result) {
  std::vector<Cue> cues;
  for (const auto& segment : result.segments()) {
    if (segment.words && !segment.words->empty()) {
      for (const auto& word : *segment.words) cues.push_back({word.start * 1000.0, word.end * 1000.0, trimmed(word.word)});
    } else {
      cues.push_back({segment.start * 1000.0, segment.end * 1000.0, trimmed(segment.text)});
    }
  }
  return cues;
}

std::shared_ptr<vostrane::TranscriptionResult> readJson(const fs::path& path) {
  return vostrane::TranscriptionResult::fromJson(platform::json::parse(platform::fs::readFile(path)));
}

// The result without its timings, which differ from run to run.
vostrane::TranscriptionResultStruct withoutTimings(const vostrane::TranscriptionResult& result) {
  vostrane::TranscriptionResultStruct plain = result.snapshot();
  plain.timings = {};
  return plain;
}

class TranscribeTool : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new testsupport::TemporaryFolder("transcribe-tool");
    demomodels::SpeechDemoOptions options;
    options.out = folder_->path() / "repo";
    options.tokenizerMerges = 2000;
    demomodels::writeSpeechModels(platform::fs::RealFileSystem::shared(), options);
    // A script whose text needs escaping in VTT.
    options.out = folder_->path() / "marks";
    options.text = " Fish & chips <3 are > tea";
    demomodels::writeSpeechModels(platform::fs::RealFileSystem::shared(), options);
  }
  static void TearDownTestSuite() { delete folder_; }

  static fs::path models() { return folder_->path() / "repo" / demomodels::kDefaultSpeechFolder; }
  static fs::path markModels() { return folder_->path() / "marks" / demomodels::kDefaultSpeechFolder; }

  fs::path path(const std::string& name) const { return test_.path() / name; }

  // A mono 16 kHz (or stereo 22.05 kHz) WAV file of a quiet tone.
  fs::path wav(const std::string& name, double seconds, bool stereo = false) const {
    const int rate = stereo ? 22050 : 16000;
    const fs::path file = path(name);
    fs::create_directories(file.parent_path());
    testsupport::writeWav(file, rate, stereo ? 2 : 1, std::int64_t(seconds * rate), testsupport::sine(440, 0.2, rate));
    return file;
  }

  ToolRun run(const std::vector<std::string>& args) const {
    static int counter = 0;
    return testsupport::runTool(TRANSCRIBE_TOOL, args, test_.path() / ("run" + std::to_string(++counter)));
  }

  static ToolRun ffmpeg(std::vector<std::string> args, const fs::path& scratch) {
    args.insert(args.begin(), {"-nostdin", "-hide_banner"});
    return testsupport::runTool("ffmpeg", args, scratch);
  }

  // The library's merged result for `file` with the options that the tool's command line
  // `args` names, made in this process.
  static std::shared_ptr<vostrane::TranscriptionResult> libraryResult(const std::vector<std::string>& args,
                                                                      const fs::path& file) {
    const std::vector<std::string_view> views(args.begin(), args.end());
    const transcribetool::TranscribeArguments parsed = transcribetool::parseTranscribeArguments(views);
    vostrane::VostraneConfig config;
    config.modelFolder = parsed.modelFolder.string();
    config.tokenizerFolder = parsed.modelFolder;
    config.download = false;
    config.verbose = false;
    const auto vostrane = vostrane::Vostrane::create(config);
    return vostrane::TranscriptionUtilities::mergeTranscriptionResults(
        vostrane->transcribe(file.string(), parsed.audioInputOptions(), parsed.decodingOptions()));
  }

  // Checks that ffmpeg reads `subtitles` whole and gives back `expected`.
  void expectFfmpegReads(const fs::path& subtitles, const std::vector<Cue>& expected) {
    SCOPED_TRACE(subtitles.string());
    const ToolRun copy = ffmpeg({"-v", "error", "-i", subtitles.string(), "-map", "0", "-c", "copy", "-f", "null", "-"},
                                subtitles.string() + ".copy");
    EXPECT_EQ(copy.exitCode, 0) << copy.err;
    EXPECT_EQ(copy.err, "");
    const ToolRun srt = ffmpeg({"-v", "error", "-i", subtitles.string(), "-f", "srt", "-"}, subtitles.string() + ".srt");
    ASSERT_EQ(srt.exitCode, 0) << srt.err;
    const std::vector<Cue> cues = parseSrt(srt.out);
    ASSERT_EQ(cues.size(), expected.size()) << srt.out;
    for (std::size_t i = 0; i < cues.size(); ++i) {
      SCOPED_TRACE("cue " + std::to_string(i));
      EXPECT_NEAR(cues[i].startMs, expected[i].startMs, 1.0);
      EXPECT_NEAR(cues[i].endMs, expected[i].endMs, 1.0);
      EXPECT_EQ(cues[i].text, expected[i].text);
    }
  }

  static testsupport::TemporaryFolder* folder_;
  testsupport::TemporaryFolder test_{"transcribe-run"};
};

testsupport::TemporaryFolder* TranscribeTool::folder_ = nullptr;

TEST_F(TranscribeTool, JsonReadsBackEqualToTheLibrarysMergedResult) {
  const fs::path shortFile = wav("short.wav", 4);
  const fs::path longFile = wav("in/long take.wav", 35, true);
  const fs::path out = path("a/b/out");  // missing: created
  const std::vector<std::string> args = {"--model-folder", models().string(), "--output-dir", out.string()};
  std::vector<std::string> both = args;
  both.insert(both.end(), {shortFile.string(), longFile.string()});
  const ToolRun r = run(both);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator{}), 2);

  const auto expectedShort = libraryResult(both, shortFile);
  const auto expectedLong = libraryResult(both, longFile);
  const auto writtenShort = readJson(out / "short.json");
  const auto writtenLong = readJson(out / "long take.json");
  EXPECT_TRUE(withoutTimings(*writtenShort) == withoutTimings(*expectedShort));
  EXPECT_TRUE(withoutTimings(*writtenLong) == withoutTimings(*expectedLong));
  // Two windows give the segments of both.
  EXPECT_GT(writtenLong->segments().size(), writtenShort->segments().size());
  EXPECT_FALSE(trimmed(writtenShort->text()).empty());
  EXPECT_EQ(writtenShort->text().find("<|"), std::string::npos) << writtenShort->text();

  // With several inputs each text line names its file.
  EXPECT_EQ(linesOf(r.out), (std::vector<std::string>{shortFile.string() + ": " + trimmed(expectedShort->text()),
                                                       longFile.string() + ": " + trimmed(expectedLong->text())}));
}

TEST_F(TranscribeTool, SubtitlesAreReadByFfmpegWithTheSameCues) {
  for (const bool words : {false, true}) {
    // With words two windows, so that cues after the first 30 s are read too.
    const fs::path file = wav("speech.wav", words ? 35 : 10);
    SCOPED_TRACE(words ? "words" : "segments");
    const fs::path out = path(words ? "words" : "segments");
    std::vector<std::string> args = {"--model-folder", models().string(), "--format", "srt", "--format", "vtt",
                                     "--format", "json", "--output-dir", out.string(), file.string()};
    if (words) args.insert(args.begin(), "--word-timestamps");
    const ToolRun r = run(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto result = readJson(out / "speech.json");
    const std::vector<Cue> expected = expectedCues(*result);
    ASSERT_GE(expected.size(), 2U);
    if (words) {
      ASSERT_TRUE(result->segments().front().words);
      EXPECT_GT(expected.size(), result->segments().size());
    }
    expectFfmpegReads(out / "speech.srt", expected);
    expectFfmpegReads(out / "speech.vtt", expected);
  }
}

// VTT escapes its markup characters, so a reader keeps the text whole. (SRT has no escape:
// readers take "<...>" for markup there.)
TEST_F(TranscribeTool, MarksInTheTextSurviveTheVttReader) {
  const fs::path file = wav("marks.wav", 3);
  const fs::path out = path("out");
  const ToolRun r = run({"--model-folder", markModels().string(), "--format", "vtt", "--format", "json",
                         "--output-dir", out.string(), file.string()});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto result = readJson(out / "marks.json");
  ASSERT_NE(result->text().find("& chips <3 are >"), std::string::npos) << result->text();
  expectFfmpegReads(out / "marks.vtt", expectedCues(*result));
}

TEST_F(TranscribeTool, OptionsReachTheLibrary) {
  const fs::path file = wav("speech.wav", 5);
  const fs::path out = path("out");
  const std::string folder = models().string();

  const std::vector<std::string> french = {"--model-folder", folder, "--language", "fr", "--output-dir", out.string(),
                                           file.string()};
  const ToolRun inFrench = run(french);
  ASSERT_EQ(inFrench.exitCode, 0) << inFrench.err;
  EXPECT_EQ(readJson(out / "speech.json")->language(), "fr");
  // One input: its text alone on stdout.
  EXPECT_EQ(inFrench.out, trimmed(readJson(out / "speech.json")->text()) + "\n");
  EXPECT_TRUE(withoutTimings(*readJson(out / "speech.json")) == withoutTimings(*libraryResult(french, file)));

  // Detection on the demo decoder answers English.
  ASSERT_EQ(run({"--model-folder", folder, "--language", "auto", "--output-dir", out.string(), file.string()}).exitCode,
            0);
  EXPECT_EQ(readJson(out / "speech.json")->language(), "en");

  const std::vector<std::string> words = {"--model-folder", folder, "--word-timestamps", "--output-dir", out.string(),
                                          file.string()};
  ASSERT_EQ(run(words).exitCode, 0);
  const auto timed = readJson(out / "speech.json");
  ASSERT_FALSE(timed->segments().empty());
  EXPECT_FALSE(timed->allWords().empty());
  EXPECT_TRUE(withoutTimings(*timed) == withoutTimings(*libraryResult(words, file)));
}

TEST_F(TranscribeTool, ChunkedAndIncrementalRunsWriteTranscripts) {
  const fs::path file = wav("long.wav", 45);
  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{"--chunking", "vad", "--workers", "2"}, std::vector<std::string>{"--incremental", "20"}}) {
    SCOPED_TRACE(extra[0] + " " + extra[1]);
    const fs::path out = path("out-" + extra[1]);
    std::vector<std::string> args = {"--model-folder", models().string(), "--quiet", "--format", "json",
                                     "--format",       "srt",             "--output-dir", out.string(), file.string()};
    args.insert(args.begin(), extra.begin(), extra.end());
    const ToolRun r = run(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    const auto result = readJson(out / "long.json");
    ASSERT_FALSE(result->segments().empty());
    EXPECT_FALSE(trimmed(result->text()).empty());
    // Every segment starts inside the file, in order.
    float previous = 0;
    for (const auto& segment : result->segments()) {
      EXPECT_GE(segment.start, previous);
      EXPECT_LT(segment.start, 45.0F);
      previous = segment.start;
    }
    expectFfmpegReads(out / "long.srt", expectedCues(*result));
  }
}

TEST_F(TranscribeTool, InputsOverAMinuteReportProgressUnlessQuiet) {
  // (That a minute or less gives no line is the progress lines' own test.)
  const fs::path longFile = wav("long.wav", 61);
  const ToolRun loud = run({"--model-folder", models().string(), "--output-dir", path("out").string(), longFile.string()});
  ASSERT_EQ(loud.exitCode, 0) << loud.err;
  const std::vector<std::string> lines = linesOf(loud.err);
  ASSERT_FALSE(lines.empty());
  const std::regex progress(std::regex_replace(longFile.string(), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                            R"(: [0-9]{1,3}% \([0-9]+\.[0-9] of 61\.0 s\))");
  for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, progress)) << line;
  EXPECT_EQ(linesOf(loud.out).size(), 1U);

  const ToolRun quiet = run({"--model-folder", models().string(), "--output-dir", path("quiet").string(), "--quiet",
                             longFile.string()});
  ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "");
  EXPECT_TRUE(fs::exists(path("quiet") / "long.json"));
}

TEST_F(TranscribeTool, BadInputsFailAloneWithTheirLineAndWriteNothing) {
  const fs::path good = wav("good.wav", 3);
  const fs::path missing = path("missing.wav");
  const fs::path empty = path("empty.wav");
  platform::fs::writeFileAtomically(empty, "");
  const fs::path notAudio = path("notes.wav");
  platform::fs::writeFileAtomically(notAudio, "these are not samples\n");
  const fs::path directory = path("folder.wav");
  fs::create_directories(directory);
  const fs::path later = wav("other/good.wav", 2);  // the same output name as `good`
  const fs::path last = wav("last.wav", 2);
  const fs::path out = path("out");

  const ToolRun r = run({"--model-folder", models().string(), "--format", "json", "--format", "vtt", "--output-dir",
                         out.string(), missing.string(), good.string(), empty.string(), notAudio.string(),
                         directory.string(), later.string(), last.string()});
  EXPECT_EQ(r.exitCode, 1);
  const std::vector<std::string> lines = linesOf(r.err);
  ASSERT_EQ(lines.size(), 5U) << r.err;
  const std::vector<fs::path> failed = {missing, empty, notAudio, directory, later};
  for (std::size_t i = 0; i < failed.size(); ++i) {
    const std::string prefix = "transcribe: " + failed[i].string() + ": ";
    EXPECT_EQ(lines[i].rfind(prefix, 0), 0U) << lines[i];
    EXPECT_GT(lines[i].size(), prefix.size()) << lines[i];
  }
  // Only the good inputs are written, and the later input did not replace the earlier one.
  std::set<std::string> written;
  for (const auto& entry : fs::directory_iterator(out)) written.insert(entry.path().filename().string());
  EXPECT_EQ(written, (std::set<std::string>{"good.json", "good.vtt", "last.json", "last.vtt"}));
  EXPECT_EQ(linesOf(r.out).size(), 2U);
}

TEST_F(TranscribeTool, BadCommandLinesAndModelsExitWithOneLine) {
  const fs::path file = wav("speech.wav", 2);
  // A model folder lacking its decoder, one whose decoder description is corrupt, one without
  // a tokenizer (the tool must not go to the network for it).
  const fs::path noDecoder = path("no-decoder");
  fs::copy(models(), noDecoder, fs::copy_options::recursive);
  fs::remove_all(noDecoder / "TextDecoder.mlmodelc");
  const fs::path corrupt = path("corrupt");
  fs::copy(models(), corrupt, fs::copy_options::recursive);
  platform::fs::writeFileAtomically(corrupt / "TextDecoder.mlmodelc" / "model.json", "{ not json");
  const fs::path noTokenizer = path("no-tokenizer");
  fs::copy(models(), noTokenizer, fs::copy_options::recursive);
  fs::remove(noTokenizer / "tokenizer.json");
  fs::remove(noTokenizer / "tokenizer_config.json");
  const fs::path blockedOut = path("blocked");
  platform::fs::writeFileAtomically(blockedOut, "a file where the output folder should be");

  const std::string models = TranscribeTool::models().string();
  const std::string out = path("out").string();
  const std::vector<std::vector<std::string>> cases = {
      {"--model-folder", models, "--output-dir", out, "--bogus", file.string()},
      {"--model-folder", models, "--output-dir", out, "--format", "pdf", file.string()},
      {"--model-folder", models, "--output-dir", out, "--workers", "0", file.string()},
      {"--model-folder", models, "--output-dir", out, "--workers", "-3", file.string()},
      {"--model-folder", models, "--output-dir", out},
      {"--output-dir", out, file.string()},
      {"--model-folder", path("nowhere").string(), "--output-dir", out, file.string()},
      {"--model-folder", noDecoder.string(), "--output-dir", out, file.string()},
      {"--model-folder", corrupt.string(), "--output-dir", out, file.string()},
      {"--model-folder", noTokenizer.string(), "--output-dir", out, file.string()},
      {"--model-folder", models, "--output-dir", (blockedOut / "sub").string(), file.string()},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    const ToolRun r = run(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(linesOf(r.err).size(), 1U) << r.err;
    EXPECT_EQ(r.err.rfind("transcribe: ", 0), 0U) << r.err;
    EXPECT_FALSE(fs::exists(path("out")));
  }

  const ToolRun help = run({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.out.find("--model-folder DIR"), std::string::npos);
  EXPECT_NE(help.out.find("--quiet"), std::string::npos);
}

}  // namespace
