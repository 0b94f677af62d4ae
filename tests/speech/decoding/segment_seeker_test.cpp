// The segment seeker: seek points and segments of decoded windows.
#include "speech/decoding/segment_seeker.hpp"

#include <gtest/gtest.h>

#include "speech/decoding/fake_tokenizer.hpp"

namespace vostrane {
namespace {

constexpr int T = 50364;  // <|0.00|>
constexpr int x = 1000, y = 1001, z = 1002;
constexpr int e = 50257;  // <|endoftext|>

std::shared_ptr<const WhisperTokenizerWrapper> seekerTokenizer() {
  testing::FakeTokenizer t = testing::whisperLikeTokenizer();
  t.add(x, "x", " x").add(y, "y", " y").add(z, "z", " z");
  t.add(T + 100, "<|2.00|>").add(T + 150, "<|3.00|>");
  return std::make_shared<const WhisperTokenizerWrapper>(
      noxtal::tokenizers::TokenizerWrapper(std::make_shared<const testing::FakeTokenizer>(std::move(t))));
}

DecodingResult decoded(std::vector<int> tokens) {
  DecodingResult result;
  for (std::size_t i = 0; i < tokens.size(); ++i) result.tokenLogProbs.push_back({{tokens[i], -0.1F * float(i)}});
  result.tokens = std::move(tokens);
  result.avgLogProb = -0.3F;
  result.temperature = 0.2F;
  result.compressionRatio = 1.5F;
  result.noSpeechProb = 0.1F;
  return result;
}

struct ExpectedSegment {
  float start;
  float end;
  std::vector<int> tokens;
};

struct SeekCase {
  const char* name;
  std::vector<int> tokens;
  int currentSeek;
  int expectedSeek;
  std::vector<ExpectedSegment> segments;
};

TEST(SegmentSeeker, WorkedExamples) {
  const auto tokenizer = seekerTokenizer();
  const SegmentSeeker seeker;
  const std::vector<SeekCase> cases = {
      {"single-timestamp ending",
       {T, x, y, T + 100, T + 100, z, T + 150, e},
       0,
       48000,
       {{0.0F, 2.0F, {T, x, y, T + 100}}, {2.0F, 3.0F, {T + 100, z, T + 150}}}},
      {"no-timestamp ending", {T, x, T + 100, T + 100, y, z, e}, 0, 480000,
       {{0.0F, 2.0F, {T, x, T + 100}}, {2.0F, 2.0F, {T + 100, y, z, e}}}},
      {"neither ending",
       {T, x, T + 100, T + 100, y, T + 150, T + 150, z, T + 200, T + 200, e},
       0,
       64000,
       {{0.0F, 2.0F, {T, x, T + 100}}, {2.0F, 3.0F, {T + 100, y, T + 150}}, {3.0F, 4.0F, {T + 150, z, T + 200}}}},
      {"no pair, no timestamp above T", {T, x, y, e}, 0, 480000, {{0.0F, 30.0F, {T, x, y, e}}}},
      {"no pair, one timestamp", {T, x, T + 50, e}, 0, 480000, {{0.0F, 1.0F, {T, x, T + 50, e}}}},
      {"empty tokens", {}, 0, 480000, {{0.0F, 30.0F, {}}}},
      {"shifted window",
       {T, x, y, T + 100, T + 100, z, T + 150, e},
       160000,
       208000,
       {{10.0F, 12.0F, {T, x, y, T + 100}}, {12.0F, 13.0F, {T + 100, z, T + 150}}}},
      // A pair at time 0 with the "neither" ending: the seek does not move.
      {"pair at zero", {x, T, T, e}, 32000, 32000, {{2.0F, 2.0F, {x, T}}}},
  };
  for (const SeekCase& c : cases) {
    SCOPED_TRACE(c.name);
    const DecodingResult result = decoded(c.tokens);
    const auto [seek, segments] = seeker.findSeekPointAndSegments(result, DecodingOptions{}, 7, c.currentSeek, 480000,
                                                                  16000, T, e, *tokenizer);
    EXPECT_EQ(seek, c.expectedSeek);
    ASSERT_TRUE(segments);
    ASSERT_EQ(segments->size(), c.segments.size());
    std::size_t offset = 0;
    for (std::size_t i = 0; i < segments->size(); ++i) {
      const TranscriptionSegment& s = (*segments)[i];
      EXPECT_EQ(s.id, 7 + static_cast<int>(i));
      EXPECT_EQ(s.seek, c.currentSeek);
      EXPECT_FLOAT_EQ(s.start, c.segments[i].start);
      EXPECT_FLOAT_EQ(s.end, c.segments[i].end);
      EXPECT_EQ(s.tokens, c.segments[i].tokens);
      ASSERT_EQ(s.tokenLogProbs.size(), s.tokens.size());
      for (std::size_t k = 0; k < s.tokens.size(); ++k) EXPECT_EQ(s.tokenLogProbs[k], result.tokenLogProbs[offset + k]);
      offset += s.tokens.size();
      EXPECT_EQ(s.temperature, 0.2F);
      EXPECT_EQ(s.avgLogprob, -0.3F);
      EXPECT_EQ(s.compressionRatio, 1.5F);
      EXPECT_EQ(s.noSpeechProb, 0.1F);
      EXPECT_FALSE(s.words);
    }
  }
}

TEST(SegmentSeeker, SilenceSkipAndItsLogProbabilityRescue) {
  const auto tokenizer = seekerTokenizer();
  const SegmentSeeker seeker;
  DecodingResult result = decoded({T, x, e});
  result.noSpeechProb = 0.9F;
  const auto run = [&](DecodingOptions options) {
    return seeker.findSeekPointAndSegments(result, options, 0, 16000, 480000, 16000, T, e, *tokenizer);
  };
  const DecodingOptions thresholds{.logProbThreshold = -1.0F, .noSpeechThreshold = 0.6F};
  result.avgLogProb = -0.5F;
  EXPECT_TRUE(run(thresholds).second);
  result.avgLogProb = -1.5F;
  const auto skipped = run(thresholds);
  EXPECT_EQ(skipped.first, 496000);
  EXPECT_FALSE(skipped.second);
  result.avgLogProb = std::nanf("");
  EXPECT_FALSE(run(thresholds).second);  // a NaN log-probability never rescues
  result.noSpeechProb = std::nanf("");
  EXPECT_TRUE(run(thresholds).second);  // a NaN no-speech probability never skips
  result.noSpeechProb = 0.9F;
  EXPECT_TRUE(run(DecodingOptions{.noSpeechThreshold = std::nullopt}).second);
}

TEST(SegmentSeeker, SkippingSpecialTokensChangesOnlyTheText) {
  const auto tokenizer = seekerTokenizer();
  const SegmentSeeker seeker;
  const DecodingResult result = decoded({T, x, y, T + 100, T + 100, z, T + 150, e});
  const auto all = seeker.findSeekPointAndSegments(result, DecodingOptions{}, 0, 0, 480000, 16000, T, e, *tokenizer);
  const auto text = seeker.findSeekPointAndSegments(result, DecodingOptions{.skipSpecialTokens = true}, 0, 0, 480000,
                                                    16000, T, e, *tokenizer);
  EXPECT_EQ((*all.second)[0].text, "<|0.00|> x y<|2.00|>");
  EXPECT_EQ((*text.second)[0].text, " x y");
  EXPECT_EQ((*all.second)[1].tokens, (*text.second)[1].tokens);
}

TEST(SegmentSeeker, MissingLogProbabilitiesAreEmptyMaps) {
  const auto tokenizer = seekerTokenizer();
  const SegmentSeeker seeker;
  DecodingResult result = decoded({T, x, T + 100, T + 100, y, T + 150, e});
  result.tokenLogProbs.resize(2);
  const auto [seek, segments] =
      seeker.findSeekPointAndSegments(result, DecodingOptions{}, 0, 0, 480000, 16000, T, e, *tokenizer);
  EXPECT_EQ(seek, 48000);
  ASSERT_EQ(segments->size(), 2U);
  EXPECT_EQ((*segments)[0].tokenLogProbs.size(), 3U);
  EXPECT_TRUE((*segments)[0].tokenLogProbs[2].empty());
  EXPECT_EQ((*segments)[1].tokenLogProbs, (std::vector<std::map<int, float>>(3)));
}

}  // namespace
}  // namespace vostrane
