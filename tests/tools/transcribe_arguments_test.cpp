// The transcribe tool's command line: the library options it sets, the command lines it refuses,
// and when its progress lines are due.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "tools/transcribe/transcribe_arguments.hpp"
#include "tools/transcribe/transcribe_command.hpp"

namespace {

using transcribetool::OutputFormat;
using transcribetool::parseTranscribeArguments;
using transcribetool::ProgressLines;
using transcribetool::TranscribeArgumentError;
using transcribetool::TranscribeArguments;
using vostrane::ChunkingStrategy;

TranscribeArguments parse(std::vector<std::string_view> args) { return parseTranscribeArguments(args); }

TEST(TranscribeArguments, EveryOptionReachesTheLibraryOptions) {
  const TranscribeArguments a =
      parse({"a.wav", "--model-folder", "models", "--language=French", "--word-timestamps", "--chunking", "vad",
             "--incremental", "12.5", "--workers=3", "--format", "vtt", "--format", "srt", "--format=vtt",
             "--output-dir", "out", "--quiet", "--", "--b.wav"});
  EXPECT_EQ(a.modelFolder, "models");
  EXPECT_EQ(a.outputDir, "out");
  EXPECT_TRUE(a.quiet);
  EXPECT_EQ(a.audioPaths, (std::vector<std::string>{"a.wav", "--b.wav"}));
  // Each format once, in the order first named.
  EXPECT_EQ(a.formats, (std::vector<OutputFormat>{OutputFormat::vtt, OutputFormat::srt}));

  const vostrane::DecodingOptions d = a.decodingOptions();
  EXPECT_EQ(d.language, "fr");
  EXPECT_FALSE(d.detectLanguage);
  EXPECT_TRUE(d.wordTimestamps);
  EXPECT_EQ(d.chunkingStrategy, ChunkingStrategy::vad);
  EXPECT_EQ(d.concurrentWorkerCount, 3);
  // Settings the tool does not name keep the library's defaults.
  vostrane::DecodingOptions expected;
  expected.skipSpecialTokens = true;
  expected.language = "fr";
  expected.wordTimestamps = true;
  expected.chunkingStrategy = ChunkingStrategy::vad;
  expected.concurrentWorkerCount = 3;
  EXPECT_EQ(d, expected);

  const vostrane::AudioInputOptions input = a.audioInputOptions();
  EXPECT_EQ(input.audioLoadingMode, vostrane::AudioLoadingMode::incremental(12.5));
  EXPECT_EQ(input.channelMode, vostrane::ChannelMode::sumChannels());
}

TEST(TranscribeArguments, DefaultsAndLanguageDetection) {
  const TranscribeArguments plain = parse({"--model-folder", "m", "x.flac"});
  EXPECT_EQ(plain.formats, std::vector<OutputFormat>{OutputFormat::json});
  EXPECT_EQ(plain.outputDir, ".");
  EXPECT_FALSE(plain.quiet);
  EXPECT_EQ(plain.audioInputOptions().audioLoadingMode, vostrane::AudioLoadingMode::fullFile());
  vostrane::DecodingOptions expected;
  expected.skipSpecialTokens = true;
  expected.chunkingStrategy = ChunkingStrategy::none;
  EXPECT_EQ(plain.decodingOptions(), expected);

  // auto: no language, detection asked for; a code is kept as given in lower case.
  const vostrane::DecodingOptions detect = parse({"--model-folder", "m", "--language", "auto", "x"}).decodingOptions();
  EXPECT_EQ(detect.language, std::nullopt);
  EXPECT_TRUE(detect.detectLanguage);
  EXPECT_EQ(parse({"--model-folder", "m", "--language", "DE", "x"}).decodingOptions().language, "de");

  // Help stops the parsing: nothing else is required or checked.
  EXPECT_TRUE(parse({"--format", "pdf", "--help", "--bogus"}).help);
  EXPECT_TRUE(parse({"-h"}).help);
}

TEST(TranscribeArguments, BadCommandLinesAreRefusedNamingTheProblem) {
  const std::vector<std::pair<std::vector<std::string_view>, std::string>> cases = {
      {{"x.wav"}, "--model-folder"},
      {{"--model-folder", "m"}, "AUDIO"},
      {{"--model-folder", "m", "--bogus", "x"}, "--bogus"},
      {{"--model-folder", "m", "-v", "x"}, "-v"},
      {{"--model-folder", "m", "x", "--format"}, "needs a value"},
      {{"--model-folder", "m", "--format", "pdf", "x"}, "pdf"},
      {{"--model-folder", "m", "--format", "JSON", "x"}, "JSON"},
      {{"--model-folder", "m", "--workers", "0", "x"}, "--workers"},
      {{"--model-folder", "m", "--workers", "-2", "x"}, "--workers"},
      {{"--model-folder", "m", "--workers", "3x", "x"}, "--workers"},
      {{"--model-folder", "m", "--workers", "257", "x"}, "--workers"},
      {{"--model-folder", "m", "--workers", "99999999999999999999", "x"}, "--workers"},
      {{"--model-folder", "m", "--incremental", "0", "x"}, "--incremental"},
      {{"--model-folder", "m", "--incremental", "-1", "x"}, "--incremental"},
      {{"--model-folder", "m", "--incremental", "nan", "x"}, "--incremental"},
      {{"--model-folder", "m", "--incremental", "inf", "x"}, "--incremental"},
      {{"--model-folder", "m", "--incremental", "3600.5", "x"}, "--incremental"},
      {{"--model-folder", "m", "--chunking", "silence", "x"}, "--chunking"},
      {{"--model-folder", "m", "--language", "klingon", "x"}, "klingon"},
      {{"--model-folder", "m", "--language", "", "x"}, "--language"},
      {{"--model-folder", "", "x"}, "--model-folder"},
      {{"--model-folder", "m", "--output-dir=", "x"}, "--output-dir"},
      {{"--model-folder", "m", "--model-folder", "n", "x"}, "more than once"},
      {{"--model-folder", "m", "--quiet", "--quiet", "x"}, "more than once"},
      {{"--model-folder", "m", "--quiet=yes", "x"}, "takes no value"},
      {{"--model-folder", "m", "x", ""}, "empty"},
  };
  for (const auto& [args, mentioned] : cases) {
    std::string joined;
    for (const auto a : args) joined += std::string(a) + " ";
    SCOPED_TRACE(joined);
    try {
      parse(args);
      ADD_FAILURE() << "accepted";
    } catch (const TranscribeArgumentError& e) {
      EXPECT_NE(std::string(e.what()).find(mentioned), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
    }
  }
}

TEST(TranscribeArguments, BoundaryValuesAreAccepted) {
  EXPECT_EQ(parse({"--model-folder", "m", "--workers", "1", "x"}).workers, 1);
  EXPECT_EQ(parse({"--model-folder", "m", "--workers", "256", "x"}).workers, 256);
  EXPECT_EQ(parse({"--model-folder", "m", "--incremental", "3600", "x"}).incrementalSeconds, 3600.0);
  EXPECT_EQ(parse({"--model-folder", "m", "--incremental", "0.5", "x"}).incrementalSeconds, 0.5);
  // "-" is an input (standard names), not an option.
  EXPECT_EQ(parse({"--model-folder", "m", "-"}).audioPaths, std::vector<std::string>{"-"});
}

TEST(TranscribeProgressLines, OnlyLongInputsAtMostOncePerSecond) {
  using namespace std::chrono_literals;
  const auto t0 = ProgressLines::Clock::time_point{} + 100s;

  // A minute or less, an unknown length: never a line.
  ProgressLines minute("a.wav", 60.0);
  EXPECT_FALSE(minute.report(30, t0));
  ProgressLines unknown("a.wav", 0);
  EXPECT_FALSE(unknown.report(30, t0));

  ProgressLines lines("long.wav", 120.0);
  EXPECT_EQ(lines.report(0, t0), "long.wav: 0% (0.0 of 120.0 s)");
  EXPECT_FALSE(lines.report(30, t0 + 999ms));
  // The position reached meanwhile shows in the next line; a report behind it keeps it.
  EXPECT_EQ(lines.report(12, t0 + 1s), "long.wav: 25% (30.0 of 120.0 s)");
  EXPECT_FALSE(lines.report(90, t0 + 1500ms));
  EXPECT_EQ(lines.report(1000, t0 + 2500ms), "long.wav: 100% (120.0 of 120.0 s)");
  EXPECT_FALSE(lines.report(std::nan(""), t0 + 3s));
  EXPECT_EQ(lines.report(std::nan(""), t0 + 4s), "long.wav: 100% (120.0 of 120.0 s)");
}

}  // namespace
