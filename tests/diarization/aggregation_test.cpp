// Aggregation into the speaker-by-frame matrix: shares, rounding, exclusive and overlapping
// reconciliation, inconsistent embeddings, and the geometry guards.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "diarization/aggregation.hpp"
#include "support/log_capture.hpp"

namespace dellomar {
namespace {

// Windows of 10 frames over 10 s (1 frame per second); one 30-second chunk: 30 frames.
WindowGeometry oneChunk(std::int64_t chunks = 1) { return {10.0f, 10.0f, chunks, true}; }

SpeakerEmbedding windowOf(int window, int cluster, std::vector<float> frames, int speaker = 0) {
  SpeakerEmbedding e;
  e.embedding = {1, 0};
  e.activeFrames = std::move(frames);
  e.windowIndex = window;
  e.speakerIndex = speaker;
  e.clusterId = cluster;
  return e;
}

std::vector<float> ones(std::size_t n = 10) { return std::vector<float>(n, 1.0f); }
std::vector<float> zeros(std::size_t n = 10) { return std::vector<float>(n, 0.0f); }

class ErrorLines {
 public:
  ErrorLines() : capture_(platform::log::Level::debug) { noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::debug); }
  ~ErrorLines() { noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::none); }
  bool contains(std::string_view text, platform::log::Level level = platform::log::Level::error) const {
    return capture_.contains(text, level);
  }
  std::size_t count(std::string_view text) const {
    std::size_t n = 0;
    for (const std::string& m : capture_.messages(platform::log::Level::error)) n += m.find(text) != std::string::npos;
    return n;
  }

 private:
  testsupport::LogCapture capture_;
};

TEST(Aggregation, NoEmbeddingsGiveTheEmptyResult) {
  ErrorLines log;
  const DiarizationResult result = aggregate({}, {{0, {1, 2}}}, oneChunk(), true);
  EXPECT_TRUE(result.binaryMatrix().empty());
  EXPECT_EQ(result.speakerCount, 0);
  EXPECT_EQ(result.totalFrames, 0);
  EXPECT_FLOAT_EQ(result.frameRate, 1.0f);
  EXPECT_TRUE(result.segments.empty());
  EXPECT_TRUE(result.speakerCentroidEmbeddings.empty()) << "the given centroids are not kept";
  EXPECT_TRUE(log.contains("[Dellomar] Post processing time: ", platform::log::Level::debug));
}

TEST(Aggregation, OneWindowMarksItsFramesOnly) {
  const DiarizationResult result = aggregate({windowOf(0, 0, ones())}, {{0, {1, 0}}}, oneChunk(), true);
  ASSERT_EQ(result.speakerCount, 1);
  ASSERT_EQ(result.totalFrames, 30);
  for (int f = 0; f < 30; ++f) EXPECT_EQ(result.binaryMatrix()[0][f], f < 10 ? 1 : 0) << f;
  ASSERT_EQ(result.segments.size(), 1u);
  EXPECT_EQ(result.segments[0].endFrame(), 10);
  EXPECT_EQ(result.speakerCentroidEmbeddings.size(), 1u);
}

TEST(Aggregation, EqualSharesAndReconciliation) {
  // Two speakers both active over the only window covering frames 0-9.
  const std::vector<SpeakerEmbedding> both{windowOf(0, 0, ones(), 0), windowOf(0, 1, ones(), 1)};
  const DiarizationResult exclusive = aggregate(both, {}, oneChunk(), true);
  const DiarizationResult overlapping = aggregate(both, {}, oneChunk(), false);
  for (int f = 0; f < 10; ++f) {
    EXPECT_EQ(exclusive.binaryMatrix()[0][f], 1);
    EXPECT_EQ(exclusive.binaryMatrix()[1][f], 0) << "ties go to the lower speaker";
    EXPECT_EQ(overlapping.binaryMatrix()[0][f], 1);
    EXPECT_EQ(overlapping.binaryMatrix()[1][f], 1);
  }
}

TEST(Aggregation, SharesOfHalfAndOfAThird) {
  // Frame 5 is covered by windows starting at 0 and 5 (half), frame 8 by 0, 5 and 8 (a third).
  std::vector<float> second = zeros();
  second[0] = 1;  // window 5, frame 5
  const DiarizationResult half = aggregate({windowOf(0, 0, zeros()), windowOf(5, 1, second)}, {}, oneChunk(), true);
  EXPECT_EQ(half.binaryMatrix()[1][5], 1) << "0.5 rounds up";
  std::vector<float> third = zeros();
  third[0] = 1;  // window 8, frame 8
  const DiarizationResult thirds = aggregate(
      {windowOf(0, 0, zeros()), windowOf(5, 0, zeros()), windowOf(8, 1, third)}, {}, oneChunk(), true);
  EXPECT_EQ(thirds.binaryMatrix()[1][8], 0) << "0.33 rounds down";
  EXPECT_EQ(thirds.binaryMatrix()[0][8], 0);
}

TEST(Aggregation, EachSpeakersRoundedShareCountsAtTheFrame) {
  // Ten windows (starting at frames 0-9) cover frame 9; speaker k is active there in
  // `activeWindows[k]` of them, so its share is that number in tenths.
  struct Case {
    const char* shares;
    std::vector<int> activeWindows;
    std::vector<int> exclusive;    // marks at frame 9 with exclusive reconciliation
    std::vector<int> overlapping;  // and without it
  };
  const Case cases[] = {
      {"0.4 / 0.4: neither rounds up", {4, 4}, {0, 0}, {0, 0}},
      {"0.5 / 0.5: both round up", {5, 5}, {1, 0}, {1, 1}},
      {"0.6 / 0.3", {6, 3}, {1, 0}, {1, 0}},
      {"0.3 / 0.3 / 0.3: none rounds up", {3, 3, 3}, {0, 0, 0}, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shares);
    std::vector<SpeakerEmbedding> embeddings;
    for (int window = 0; window < 10; ++window) {
      for (std::size_t k = 0; k < c.activeWindows.size(); ++k) {
        std::vector<float> frames = zeros();
        if (window < c.activeWindows[k]) frames[static_cast<std::size_t>(9 - window)] = 1;
        embeddings.push_back(windowOf(window, static_cast<int>(k), std::move(frames), static_cast<int>(k)));
      }
    }
    for (const bool exclusive : {true, false}) {
      const DiarizationResult result = aggregate(embeddings, {}, oneChunk(), exclusive);
      ASSERT_EQ(result.binaryMatrix().size(), c.activeWindows.size());
      std::vector<int> marks;
      for (const auto& row : result.binaryMatrix()) marks.push_back(row[9]);
      EXPECT_EQ(marks, exclusive ? c.exclusive : c.overlapping) << (exclusive ? "exclusive" : "overlapping");
    }
  }
}

TEST(Aggregation, TwoLocalSpeakersInOneClusterNeverMarkAnInactiveSpeaker) {
  // Both local speakers of window 0 went to cluster 0: its share is 2, the count 2. Speaker 1
  // (share 0) must stay unmarked without exclusive reconciliation.
  const std::vector<SpeakerEmbedding> embeddings{windowOf(0, 0, ones(), 0), windowOf(0, 0, ones(), 1),
                                                 windowOf(20, 1, ones(), 0)};
  const DiarizationResult result = aggregate(embeddings, {}, oneChunk(), false);
  for (int f = 0; f < 10; ++f) {
    EXPECT_EQ(result.binaryMatrix()[0][f], 1);
    EXPECT_EQ(result.binaryMatrix()[1][f], 0) << "frame " << f;
  }
}

TEST(Aggregation, InconsistentEmbeddingsAreLoggedAndSkipped) {
  ErrorLines log;
  std::vector<float> partial = zeros();
  partial[3] = 0.3f;
  partial[4] = std::numeric_limits<float>::quiet_NaN();
  const std::vector<SpeakerEmbedding> embeddings{
      windowOf(0, -1, ones()),     // invalid: not counted, start not recorded
      windowOf(0, 0, partial),     // counts frames 0-9 for the window
      windowOf(25, 2, ones()),     // frames 30-34 lie outside the grid
  };
  const DiarizationResult result = aggregate(embeddings, {}, oneChunk(), true);
  EXPECT_TRUE(log.contains("[PyannoteDiarizer] Invalid clusterId: -1, speakerCount: 3"));
  EXPECT_EQ(log.count("Frame counter index out of range: "), 5u);
  EXPECT_EQ(result.speakerCount, 3) << "largest id + 1, row 1 stays empty";
  EXPECT_EQ(result.binaryMatrix()[0][3], 1) << "0.3 counts as active";
  EXPECT_EQ(result.binaryMatrix()[0][4], 1) << "NaN counts as active";
  EXPECT_EQ(result.binaryMatrix()[0][5], 0);
  for (int f = 25; f < 30; ++f) EXPECT_EQ(result.binaryMatrix()[2][f], 1);
  for (const int v : result.binaryMatrix()[1]) EXPECT_EQ(v, 0);
}

TEST(Aggregation, MissingGeometryGivesTheEmptyResultNotADivisionByZero) {
  ErrorLines log;
  const DiarizationResult unloaded = aggregate({windowOf(0, 0, ones())}, {}, WindowGeometry{10, 10, 1, false}, true);
  EXPECT_EQ(unloaded.speakerCount, 0);
  EXPECT_TRUE(unloaded.binaryMatrix().empty());
  const DiarizationResult noWindow = aggregate({windowOf(0, 0, ones())}, {}, WindowGeometry{0, 10, 1, true}, true);
  EXPECT_EQ(noWindow.speakerCount, 0);
  EXPECT_FLOAT_EQ(noWindow.frameRate, 0.0f);
  EXPECT_EQ(log.count("No window geometry"), 2u);
}

}  // namespace
}  // namespace dellomar
