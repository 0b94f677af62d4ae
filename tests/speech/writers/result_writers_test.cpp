#include "speech/pipeline/result_writers.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <algorithm>
#include <vector>

#include "platform/fs/file_system.hpp"
#include "platform/json/json.hpp"
#include "support/temporary_folder.hpp"

namespace vostrane {
namespace {

namespace fs = std::filesystem;
using platform::fs::FileError;

const fs::path kDataDir = fs::path(PROJECT_TEST_DATA_DIR) / "writers";

TranscriptionSegment segment(int id, float start, float end, std::string text,
                             std::optional<std::vector<WordTiming>> words = std::nullopt) {
  TranscriptionSegment s;
  s.id = id;
  s.seek = id * 100;
  s.start = start;
  s.end = end;
  s.text = std::move(text);
  s.tokens = {50364 + id, 400 + id};
  s.tokenLogProbs = {{{50364 + id, -0.25f}}, {{400 + id, -1.5f}}};
  s.temperature = 0;
  s.avgLogprob = -0.5f;
  s.compressionRatio = 1.25f;
  s.noSpeechProb = 0.1f;
  s.words = std::move(words);
  return s;
}

// Three segments: one without words, one with an empty word list (written as itself) and one
// with three words (written as three entries, its own text not at all).
std::shared_ptr<TranscriptionResult> fixtureResult() {
  std::vector<WordTiming> words = {{" Three", {1, 2}, 3661.5f, 3662.0f, 0.9f},
                                   {" small", {3}, 3662.0f, 3662.5f, 0.8f},
                                   {" words", {4}, 3662.5f, 3663.25f, 0.7f}};
  TranscriptionTimings timings;
  timings.pipelineStart = 100;
  timings.firstTokenTime = 100.5;
  timings.inputAudioSeconds = 3663.25;
  return std::make_shared<TranscriptionResult>(
      " Hello world. Long one not written",
      std::vector<TranscriptionSegment>{segment(0, 0, 2.5f, " Hello world."),
                                        segment(1, 2.5f, 3661.5f, " Long one", std::vector<WordTiming>{}),
                                        segment(2, 3661.5f, 3663.25f, "not written", std::move(words))},
      "en", timings, 3663.25f);
}

std::shared_ptr<TranscriptionResult> resultOf(std::vector<TranscriptionSegment> segments) {
  return std::make_shared<TranscriptionResult>("", std::move(segments), "en", TranscriptionTimings{});
}

std::string written(const ResultWriteOutcome& outcome) {
  if (const auto* error = std::get_if<std::exception_ptr>(&outcome)) {
    try {
      std::rethrow_exception(*error);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "write failed: " << e.what();
    }
    return "";
  }
  return std::get<std::string>(outcome);
}

// The FileError of a failed outcome (fails the test when the outcome is a success or
// another error).
int failureCode(const ResultWriteOutcome& outcome) {
  const auto* error = std::get_if<std::exception_ptr>(&outcome);
  if (error == nullptr) {
    ADD_FAILURE() << "write succeeded: " << std::get<std::string>(outcome);
    return 0;
  }
  try {
    std::rethrow_exception(*error);
  } catch (const FileError& e) {
    return e.code();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected error: " << e.what();
  }
  return 0;
}

TEST(ResultWritersTest, FormatTimeTable) {
  struct Row {
    float seconds;
    bool hours;
    const char* marker;
    const char* expected;
  };
  const float inf = std::numeric_limits<float>::infinity();
  const Row rows[] = {
      {3661.5f, false, ".", "01:01:01.500"},  // the long form once hours reach 1
      {61.25f, false, ".", "01:01.250"},
      {61.25f, true, ",", "00:01:01,250"},
      {0, false, ".", "00:00.000"},
      {3599.999f, false, ".", "59:59.999"},  // single precision, truncated, still short
      {1.9999f, false, ".", "00:01.999"},    // milliseconds truncated, not rounded
      {36000.0f, false, ",", "10:00:00,000"},
      {360000.0f, true, ".", "100:00:00.000"},
      {59.5f, false, " ms ", "00:59 ms 500"},  // the marker is inserted as given
      {-0.0f, false, ".", "00:00.000"},
      {-1.5f, true, ",", "00:00:00,000"},  // negative and non-finite times are written as 0
      {-7200.0f, false, ".", "00:00.000"},
      {std::nanf(""), false, ".", "00:00.000"},
      {inf, true, ",", "00:00:00,000"},
      {-inf, false, ".", "00:00.000"},
  };
  const WriteSRT writer("/unused");
  for (const Row& row : rows) {
    EXPECT_EQ(writer.formatTime(row.seconds, row.hours, row.marker), row.expected) << row.seconds;
  }
  // Hours past the range of int are clamped; the other parts stay in range.
  const std::string huge = writer.formatTime(std::numeric_limits<float>::max(), false, ".");
  EXPECT_EQ(huge.rfind("2147483647:", 0), 0u) << huge;
}

TEST(ResultWritersTest, EntryAndCueForms) {
  const WriteSRT srt("/unused");
  EXPECT_EQ(srt.formatSegment(7, 1.5f, 3725.125f, " hi"), "7\n00:00:01,500 --> 01:02:05,125\n hi\n\n");
  EXPECT_EQ(srt.formatTiming(1.5f, 3725.125f, " hi"), "00:01.500 --> 01:02:05.125\n hi\n\n");
}

// The three files of the fixture equal the kept files; each outcome is the file's URL.
TEST(ResultWritersTest, GoldenFiles) {
  testsupport::TemporaryFolder folder("writers");
  const auto result = fixtureResult();
  const std::string dir = folder.path().string();

  EXPECT_EQ(written(WriteSRT(dir).write(*result, "fixture")), "file://" + dir + "/fixture.srt");
  EXPECT_EQ(written(WriteVTT(dir).write(*result, "fixture", ResultWriterOptions{{"ignored", 1}})),
            "file://" + dir + "/fixture.vtt");
  EXPECT_EQ(written(WriteJSON(dir).write(*result, "fixture")), "file://" + dir + "/fixture.json");

  for (const char* name : {"fixture.srt", "fixture.vtt", "fixture.json"}) {
    EXPECT_EQ(platform::fs::readFile(folder / name), platform::fs::readFile(kDataDir / name)) << name;
  }
  const auto back = TranscriptionResult::fromJson(platform::json::parse(platform::fs::readFile(folder / "fixture.json")));
  EXPECT_EQ(back->snapshot(), result->snapshot());
}

TEST(ResultWritersTest, EntryNumbersRunOnAcrossSegmentsAndWords) {
  testsupport::TemporaryFolder folder("writers");
  const auto result = resultOf({segment(0, 0, 1, " a", std::vector<WordTiming>{{"w1", {}, 0, 0.5f, 1}, {"w2", {}, 0.5f, 1, 1}}),
                                segment(1, 1, 2, " b"),
                                segment(2, 2, 3, " c", std::vector<WordTiming>{{"w3", {}, 2, 3, 1}})});
  written(WriteSRT(folder.path().string()).write(*result, "numbers"));
  EXPECT_EQ(platform::fs::readFile(folder / "numbers.srt"),
            "1\n00:00:00,000 --> 00:00:00,500\nw1\n\n"
            "2\n00:00:00,500 --> 00:00:01,000\nw2\n\n"
            "3\n00:00:01,000 --> 00:00:02,000\n b\n\n"
            "4\n00:00:02,000 --> 00:00:03,000\nw3\n\n");
}

TEST(ResultWritersTest, EmptyResultStillWritesFiles) {
  testsupport::TemporaryFolder folder("writers");
  const auto result = resultOf({});
  const std::string dir = folder.path().string();
  written(WriteSRT(dir).write(*result, "empty"));
  written(WriteVTT(dir).write(*result, "empty"));
  written(WriteJSON(dir).write(*result, "empty"));
  ASSERT_TRUE(fs::exists(folder / "empty.srt"));
  EXPECT_EQ(platform::fs::readFile(folder / "empty.srt"), "");
  EXPECT_EQ(platform::fs::readFile(folder / "empty.vtt"), "WEBVTT\n\n");
  const auto json = platform::json::parse(platform::fs::readFile(folder / "empty.json"));
  EXPECT_TRUE(json.at("segments").empty());
  EXPECT_TRUE(json.at("seekTime").is_null());
}

TEST(ResultWritersTest, MissingFolderIsAFailureValue) {
  testsupport::TemporaryFolder folder("writers");
  const std::string missing = (folder / "absent").string();
  const auto result = fixtureResult();
  EXPECT_EQ(failureCode(WriteSRT(missing).write(*result, "a")), ENOENT);
  EXPECT_EQ(failureCode(WriteVTT(missing).write(*result, "a")), ENOENT);
  EXPECT_EQ(failureCode(WriteJSON(missing).write(*result, "a")), ENOENT);
  EXPECT_FALSE(fs::exists(folder / "absent"));
}

// A relative folder gives an absolute URL; characters outside a path segment's set are
// percent-encoded.
TEST(ResultWritersTest, OutcomeIsAnAbsoluteFileUrl) {
  EXPECT_EQ(fileUrlText("/tmp/with space/a#b.srt"), "file:///tmp/with%20space/a%23b.srt");
  EXPECT_EQ(fileUrlText("rel/x.vtt"), "file://" + (fs::current_path() / "rel/x.vtt").string());
  EXPECT_EQ(fileUrlText("/a/./b/../c.json"), "file:///a/c.json");
}

// Fault mended: VTT text was written unescaped, so "<", "&" and "-->" garbled or cut the cue
// in readers.
TEST(ResultWritersTest, VttTextIsEscaped) {
  testsupport::TemporaryFolder folder("writers");
  const auto result = resultOf({segment(0, 0, 1, " 1 < 2 && 3 > 2 --> true <b>")});
  written(WriteVTT(folder.path().string()).write(*result, "escaped"));
  EXPECT_EQ(platform::fs::readFile(folder / "escaped.vtt"),
            "WEBVTT\n\n00:00.000 --> 00:01.000\n 1 &lt; 2 &amp;&amp; 3 &gt; 2 --&gt; true &lt;b&gt;\n\n");
  EXPECT_EQ(escapeVttText("plain text"), "plain text");
}

// Fault mended: a text holding an empty line ended its SRT entry or VTT cue early (the rest
// became a broken entry of its own).
TEST(ResultWritersTest, BlankLinesInsideTextsAreDropped) {
  EXPECT_EQ(collapseBlankLines("one\n\ntwo"), "one\ntwo");
  EXPECT_EQ(collapseBlankLines("\r\n one\r\n \t\r\r\ntwo\n"), " one\ntwo");
  EXPECT_EQ(collapseBlankLines("\n\n"), "");
  EXPECT_EQ(collapseBlankLines("  kept as is  "), "  kept as is  ");

  testsupport::TemporaryFolder folder("writers");
  const auto result = resultOf({segment(0, 0, 1, "first\n\nsecond"),
                                segment(1, 1, 2, "x", std::vector<WordTiming>{{"\nword\n\n", {}, 1, 2, 1}})});
  const std::string dir = folder.path().string();
  written(WriteSRT(dir).write(*result, "lines"));
  written(WriteVTT(dir).write(*result, "lines"));
  EXPECT_EQ(platform::fs::readFile(folder / "lines.srt"),
            "1\n00:00:00,000 --> 00:00:01,000\nfirst\nsecond\n\n2\n00:00:01,000 --> 00:00:02,000\nword\n\n");
  EXPECT_EQ(platform::fs::readFile(folder / "lines.vtt"),
            "WEBVTT\n\n00:00.000 --> 00:01.000\nfirst\nsecond\n\n00:01.000 --> 00:02.000\nword\n\n");
}

// Fault mended: JSON was written in place, so a failed write destroyed the previous file. A
// failed write or a result that cannot be encoded now leaves the earlier file whole.
TEST(ResultWritersTest, FailedJsonWriteKeepsThePreviousFile) {
  testsupport::TemporaryFolder folder("writers");
  platform::fs::FaultInjectingFileSystem faulty(platform::fs::RealFileSystem::shared());
  const std::string dir = folder.path().string();
  WriteJSON writer(dir, faulty);
  const auto result = fixtureResult();
  written(writer.write(*result, "kept"));
  const std::string before = platform::fs::readFile(folder / "kept.json");

  faulty.addFault({.operation = platform::fs::FaultInjectingFileSystem::Operation::writeFile,
                   .errorCode = ENOSPC,
                   .bytesBeforeFailure = 0});
  const auto changed = resultOf({segment(0, 0, 1, " other")});
  EXPECT_EQ(failureCode(writer.write(*changed, "kept")), ENOSPC);
  EXPECT_EQ(platform::fs::readFile(folder / "kept.json"), before);

  // A non-finite number cannot be encoded: the failure is returned and nothing is written.
  const auto unencodable = resultOf({segment(0, 0, std::nanf(""), " nan")});
  const auto outcome = writer.write(*unencodable, "kept");
  ASSERT_TRUE(std::holds_alternative<std::exception_ptr>(outcome));
  EXPECT_THROW(std::rethrow_exception(std::get<std::exception_ptr>(outcome)), platform::json::JsonError);
  EXPECT_EQ(platform::fs::readFile(folder / "kept.json"), before);
  EXPECT_EQ(faulty.callCount(platform::fs::FaultInjectingFileSystem::Operation::writeFile), 2u);

  // The subtitle writers fail the same way through the same seam.
  faulty.addFault({.operation = platform::fs::FaultInjectingFileSystem::Operation::writeFile, .errorCode = EIO});
  EXPECT_EQ(failureCode(WriteSRT(dir, faulty).write(*result, "kept")), EIO);
  EXPECT_FALSE(fs::exists(folder / "kept.srt"));
}

// ffmpeg's subtitle readers accept the files and give back every cue with its whole text.
TEST(ResultWritersTest, SubtitleFilesParseWithFfmpeg) {
  if (std::system("command -v ffmpeg >/dev/null 2>&1") != 0) GTEST_SKIP() << "ffmpeg is not installed";
  testsupport::TemporaryFolder folder("writers");
  auto result = fixtureResult();
  result->appendSegment(segment(3, 3664, 3665, " a < b & c --> d"));
  result->appendSegment(segment(4, 3665, 3666, "line one\n\nline two"));
  const std::string dir = folder.path().string();
  written(WriteSRT(dir).write(*result, "check"));
  written(WriteVTT(dir).write(*result, "check"));
  for (const char* name : {"check.srt", "check.vtt"}) {
    const std::string file = (folder / name).string();
    EXPECT_EQ(std::system(("ffmpeg -nostdin -v error -i '" + file + "' -map 0 -c copy -f null - 2>&1").c_str()), 0)
        << name;
    const std::string converted = (folder / (std::string(name) + ".back.srt")).string();
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -i '" + file + "' -f srt '" + converted + "' 2>&1").c_str()), 0);
    std::string back = platform::fs::readFile(converted);
    std::erase(back, '\r');
    EXPECT_NE(back.find("01:01:02,500 --> 01:01:03,250\nwords"), std::string::npos) << name << ":\n" << back;
    EXPECT_NE(back.find("line one\nline two"), std::string::npos) << name << ":\n" << back;
    EXPECT_NE(back.find("\n7\n"), std::string::npos) << name << ":\n" << back;
  }
  // The VTT reader gives the escaped text back whole (an unescaped "<" cut it there).
  const std::string vttBack = platform::fs::readFile(folder / "check.vtt.back.srt");
  EXPECT_NE(vttBack.find("01:01:04,000 --> 01:01:05,000\na < b & c --> d\n"), std::string::npos) << vttBack;
}

}  // namespace
}  // namespace vostrane
