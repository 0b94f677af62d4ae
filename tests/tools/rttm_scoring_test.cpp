// RTTM reading and the DER scorer on hand-made cases: accepted and refused texts, speaker
// mapping, missed speech, false alarms, confusion, overlaps, collars, several files, and the
// assignment against exhaustive search.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "tools/score-der/der.hpp"
#include "tools/score-der/rttm.hpp"

namespace {

using rttm::Segment;

std::vector<Segment> segs(std::initializer_list<std::tuple<const char*, double, double>> items,
                          const char* file = "f") {
  std::vector<Segment> out;
  for (const auto& [speaker, onset, duration] : items) out.push_back({file, speaker, onset, duration});
  return out;
}

TEST(RttmParse, ReadsSpeakerRecordsAndSkipsTheRest) {
  const auto segments = rttm::parse(
      "# a comment\n"
      ";; another\n"
      "\n"
      "SPEAKER meeting_1 1 0.500 2.250 <NA> <NA> alice <NA> <NA>\r\n"
      "SPKR-INFO meeting_1 1 <NA> <NA> <NA> unknown alice <NA>\n"
      "  SPEAKER\tmeeting_1 1 3 1e0 <NA> <NA> bob\n"
      "SPEAKER meeting_1 1 4.0 0 <NA> <NA> bob <NA> <NA> extra fields\n"
      "SPEAKER meeting_1 1 5.0 1.0 <NA> <NA> carol <NA> <NA>");
  ASSERT_EQ(segments.size(), 4u);
  EXPECT_EQ(segments[0], (Segment{"meeting_1", "alice", 0.5, 2.25}));
  EXPECT_EQ(segments[1], (Segment{"meeting_1", "bob", 3, 1}));
  EXPECT_EQ(segments[2], (Segment{"meeting_1", "bob", 4, 0}));
  EXPECT_EQ(segments[3], (Segment{"meeting_1", "carol", 5, 1}));
  EXPECT_TRUE(rttm::parse("").empty());
}

TEST(RttmParse, MalformedRecordsNameTheirLine) {
  using namespace std::string_literals;
  const struct {
    std::string text;
    const char* message;
  } cases[] = {
      {"SPEAKER f 1 0.0 1.0 <NA> <NA>\n", "line 1: SPEAKER record with 7 fields"},
      {"\nSPEAKER f 1 zero 1.0 <NA> <NA> a\n", "line 2: onset is not a number"},
      {"SPEAKER f 1 0.0 1.0x <NA> <NA> a\n", "line 1: duration is not a number"},
      {"SPEAKER f 1 -1 1.0 <NA> <NA> a\n", "line 1: onset out of range"},
      {"SPEAKER f 1 1 -0.5 <NA> <NA> a\n", "line 1: duration out of range"},
      {"SPEAKER f 1 inf 1 <NA> <NA> a\n", "line 1: onset is not a number"},
      {"SPEAKER f 1 nan 1 <NA> <NA> a\n", "line 1: onset is not a number"},
      {"SPEAKER f 1 1e400 1 <NA> <NA> a\n", "line 1: onset out of range"},
      {"SPEAKER f 1 1 2e7 <NA> <NA> a\n", "line 1: duration out of range"},
      {"SPEAKER f 1 0x10 1 <NA> <NA> a\n", "line 1: onset is not a number"},
      {"SPEAKER f 1 . 1 <NA> <NA> a\n", "line 1: onset is not a number"},
      {"hello world\n", "line 1: not an RTTM record"},
      {"DER=0.1 missed=0\n", "line 1: not an RTTM record"},
      {"SPEAKER f 1 0 1 <NA> <NA> a\0b\n"s, "line 1: NUL byte"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      rttm::parse(c.text);
      ADD_FAILURE() << "accepted";
    } catch (const rttm::RttmError& e) {
      EXPECT_TRUE(std::string(e.what()).starts_with(c.message)) << e.what();
    }
  }
}

TEST(RttmFileId, StemWithBlanksMadeUnderscores) {
  EXPECT_EQ(rttm::fileIdFor("/a/b/my talk.final.wav"), "my_talk.final");
  EXPECT_EQ(rttm::fileIdFor("tab\there.flac"), "tab_here");
  EXPECT_EQ(rttm::fileIdFor("plain"), "plain");
  EXPECT_EQ(rttm::fileIdFor("/dir/"), "audio");
}

TEST(DerScore, MissedFalseAlarmAndConfusionOnHandMadeTurns) {
  const auto reference = segs({{"A", 0, 10}, {"B", 10, 10}});
  const struct {
    const char* name;
    std::vector<Segment> hypothesis;
    double missed, falseAlarm, confusion;
  } cases[] = {
      {"identical under other names", segs({{"x", 0, 10}, {"y", 10, 10}}), 0, 0, 0},
      {"nothing found", {}, 20, 0, 0},
      {"one speaker for all", segs({{"x", 0, 20}}), 0, 0, 10},
      {"late start", segs({{"x", 2, 8}, {"y", 10, 10}}), 2, 0, 0},
      {"speech in silence", segs({{"x", 0, 10}, {"y", 10, 10}, {"z", 25, 5}}), 0, 5, 0},
      {"two turns swapped in the middle", segs({{"x", 0, 8}, {"y", 8, 12}}), 0, 0, 2},
      {"doubled speaker", segs({{"x", 0, 10}, {"y", 10, 10}, {"x", 10, 4}}), 0, 4, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto score = rttm::scoreDer(reference, c.hypothesis, 0);
    EXPECT_NEAR(score.referenceSpeech, 20, 1e-9);
    EXPECT_NEAR(score.missed, c.missed, 1e-9);
    EXPECT_NEAR(score.falseAlarm, c.falseAlarm, 1e-9);
    EXPECT_NEAR(score.confusion, c.confusion, 1e-9);
    EXPECT_NEAR(score.der(), (c.missed + c.falseAlarm + c.confusion) / 20, 1e-12);
  }
}

TEST(DerScore, OverlapIsScoredPerSpeaker) {
  // A and B overlap on [8, 10): reference speech 22 s.
  const auto reference = segs({{"A", 0, 10}, {"B", 8, 12}});
  // Hypothesis without the overlap: B's first 2 s missed.
  auto score = rttm::scoreDer(reference, segs({{"x", 0, 10}, {"y", 10, 10}}), 0);
  EXPECT_NEAR(score.referenceSpeech, 22, 1e-9);
  EXPECT_NEAR(score.missed, 2, 1e-9);
  EXPECT_NEAR(score.confusion, 0, 1e-9);
  // Both found on the overlap, and a third speaker elsewhere: only that is false alarm.
  score = rttm::scoreDer(reference, segs({{"x", 0, 10}, {"y", 8, 12}, {"z", 30, 1}}), 0);
  EXPECT_NEAR(score.missed, 0, 1e-9);
  EXPECT_NEAR(score.falseAlarm, 1, 1e-9);
  // Same-speaker segments that overlap count once.
  score = rttm::scoreDer(segs({{"A", 0, 10}, {"A", 5, 10}}), segs({{"x", 0, 15}}), 0);
  EXPECT_NEAR(score.referenceSpeech, 15, 1e-9);
  EXPECT_NEAR(score.der(), 0, 1e-12);
}

TEST(DerScore, CollarHidesTimeAroundReferenceBoundariesOnly) {
  const auto reference = segs({{"A", 1, 4}});  // [1, 5)
  // Off by 0.2 s at both ends: fully forgiven by a 0.25 s collar, not by none.
  const auto shifted = segs({{"x", 1.2, 4}});
  EXPECT_NEAR(rttm::scoreDer(reference, shifted, 0).der(), 0.4 / 4, 1e-9);
  const auto collared = rttm::scoreDer(reference, shifted, 0.25);
  EXPECT_NEAR(collared.referenceSpeech, 3.5, 1e-9);
  EXPECT_NEAR(collared.der(), 0, 1e-12);
  // A hypothesis boundary away from reference boundaries is still scored.
  const auto split = rttm::scoreDer(reference, segs({{"x", 1, 2}, {"y", 3, 2}}), 0.25);
  EXPECT_NEAR(split.confusion, 1.75, 1e-9);
  // False alarm far from any reference boundary is scored.
  EXPECT_NEAR(rttm::scoreDer(reference, segs({{"x", 1, 4}, {"x", 10, 1}}), 0.25).falseAlarm, 1, 1e-9);
}

TEST(DerScore, FilesAreScoredSeparatelyAndEmptyReferencesGiveZeroOrInfinity) {
  auto reference = segs({{"A", 0, 10}}, "one");
  const auto two = segs({{"A", 0, 10}}, "two");
  reference.insert(reference.end(), two.begin(), two.end());
  // Same speaker names across files do not share a mapping: "x" is A in both.
  auto hypothesis = segs({{"x", 0, 10}}, "one");
  const auto hypTwo = segs({{"x", 0, 5}, {"y", 5, 5}}, "two");
  hypothesis.insert(hypothesis.end(), hypTwo.begin(), hypTwo.end());
  const auto score = rttm::scoreDer(reference, hypothesis, 0);
  EXPECT_NEAR(score.referenceSpeech, 20, 1e-9);
  EXPECT_NEAR(score.confusion, 5, 1e-9);
  // A hypothesis file the reference does not have is false alarm.
  EXPECT_NEAR(rttm::scoreDer(reference, segs({{"x", 0, 3}}, "three"), 0).falseAlarm, 3, 1e-9);

  const auto nothing = rttm::scoreDer({}, {}, 0.25);
  EXPECT_EQ(nothing.der(), 0);
  EXPECT_TRUE(std::isinf(rttm::scoreDer({}, segs({{"x", 0, 1}}), 0.25).der()));
}

double bestByPermutation(const std::vector<double>& w, std::size_t rows, std::size_t columns) {
  // Exhaustive: every injective map of min(rows, columns) pairs, through permutations of the
  // larger side.
  const std::size_t n = std::max(rows, columns);
  std::vector<std::size_t> p(n);
  std::iota(p.begin(), p.end(), 0);
  double best = 0;
  do {
    double sum = 0;
    for (std::size_t i = 0; i < rows; ++i) {
      if (p[i] < columns) sum += w[i * columns + p[i]];
    }
    best = std::max(best, sum);
  } while (std::next_permutation(p.begin(), p.end()));
  return best;
}

TEST(DerAssignment, MatchesExhaustiveSearchOnRandomMatrices) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> value(0, 10);
  for (int trial = 0; trial < 300; ++trial) {
    const std::size_t rows = random() % 6;
    const std::size_t columns = random() % 6;  // 0 to 5 each: empty and non-square shapes too
    std::vector<double> w(rows * columns);
    for (double& x : w) x = (random() % 4 == 0) ? 0 : std::round(value(random));
    const auto mapping = rttm::maximumWeightAssignment(w, rows, columns);
    ASSERT_EQ(mapping.size(), rows);
    std::vector<bool> taken(columns, false);
    double sum = 0;
    std::size_t assigned = 0;
    for (std::size_t i = 0; i < rows; ++i) {
      if (mapping[i] < 0) continue;
      ASSERT_LT(static_cast<std::size_t>(mapping[i]), columns);
      ASSERT_FALSE(taken[static_cast<std::size_t>(mapping[i])]);
      taken[static_cast<std::size_t>(mapping[i])] = true;
      sum += w[i * columns + static_cast<std::size_t>(mapping[i])];
      ++assigned;
    }
    ASSERT_EQ(assigned, std::min(rows, columns));
    ASSERT_NEAR(sum, bestByPermutation(w, rows, columns), 1e-9) << rows << "x" << columns;
  }
}

}  // namespace
