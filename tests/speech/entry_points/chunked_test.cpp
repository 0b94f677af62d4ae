// The single-array transcribe with voice-activity chunking: when it cuts, how the pieces'
// results are placed, failing pieces and a stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/sync/cancellation.hpp"
#include "speech/audio/audio_chunker.hpp"
#include "speech/entry_points/entry_points_fixture.hpp"
#include "speech/library_log_lines.hpp"
#include "speech/model/whisper_error.hpp"

namespace vostrane {
namespace {

using testdemo::speechLikeAudio;
using testlog::LogLines;

DecodingOptions vadOptions() {
  DecodingOptions options;
  options.chunkingStrategy = ChunkingStrategy::vad;
  return options;
}

// Three 30 s stretches of tone at different levels: no silence anywhere, so the chunker cuts
// at every window's end, and the three pieces differ.
std::vector<float> threeWindows() {
  std::vector<float> audio;
  for (double gain : {1.0, 0.8, 0.9}) {
    const auto part = speechLikeAudio(30, gain);
    audio.insert(audio.end(), part.begin(), part.end());
  }
  return audio;
}

class Chunked : public EntryPoints {};

TEST_F(Chunked, OnlyArraysLongerThanOneWindowAreCut) {
  auto instance = makeInstance(true);
  LogLines log;
  const auto window = speechLikeAudio(30);
  ASSERT_EQ(window.size(), 480000U);
  const auto plain = instance->transcribe(std::span<const float>(window), vadOptions());
  ASSERT_EQ(plain.size(), 1U);
  EXPECT_FALSE(plain[0]->seekTime().has_value());  // a plain run sets no piece start
  EXPECT_FALSE(log.contains("VAD chunks"));

  auto longer = window;
  longer.push_back(0.1F);
  const auto expected = VADAudioChunker().chunkAll(longer, 480000, vadOptions());
  ASSERT_EQ(expected.size(), 2U);
  const auto chunked = instance->transcribe(std::span<const float>(longer), vadOptions());
  EXPECT_TRUE(log.contains("Found 2 VAD chunks"));
  ASSERT_EQ(chunked.size(), expected.size());
  EXPECT_EQ(chunked[0]->seekTime(), 0.0F);
  EXPECT_EQ(chunked[1]->seekTime(), 30.0F);
  EXPECT_EQ(chunked[0]->text(), plain[0]->text());

  // Without options the same samples run as one array.
  const auto unchunked = instance->transcribe(std::span<const float>(longer));
  ASSERT_EQ(unchunked.size(), 1U);
  EXPECT_FALSE(unchunked[0]->seekTime().has_value());
}

TEST_F(Chunked, PiecesAreMovedToTheirPlaceAndTheCallbackGetsTheCallsOffsetToo) {
  auto instance = makeInstance(true);
  std::mutex mutex;
  std::vector<TranscriptionSegment> seen;
  instance->setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>& segments) {
    std::lock_guard lock(mutex);
    seen.insert(seen.end(), segments.begin(), segments.end());
  });
  bool argumentCalled = false;
  const auto audio = threeWindows();
  const auto alone = instance->transcribe(std::span<const float>(audio).subspan(960000), DecodingOptions{});
  seen.clear();

  const auto results = instance->transcribe(std::span<const float>(audio), kRate, vadOptions(), {},
                                            [&](const std::vector<TranscriptionSegment>&) { argumentCalled = true; });
  EXPECT_FALSE(argumentCalled);  // the chunked branch reports to segmentDiscoveryCallback only
  ASSERT_EQ(results.size(), 3U);
  ASSERT_EQ(results[2]->seekTime(), 60.0F);  // the piece at sample 960,000
  const auto third = results[2]->segments();
  const auto reference = alone.at(0)->segments();
  ASSERT_EQ(third.size(), reference.size());
  ASSERT_FALSE(third.empty());
  EXPECT_FLOAT_EQ(third[0].start, reference[0].start + 60.0F);
  EXPECT_FLOAT_EQ(third.back().end, reference.back().end + 60.0F);
  EXPECT_EQ(third[0].seek, reference[0].seek + 960000);

  // The callback's segments are the results' segments one second (the call's offset) later.
  std::lock_guard lock(mutex);
  std::vector<float> resultStarts;
  for (const auto& result : results) {
    for (const auto& segment : result->segments()) resultStarts.push_back(segment.start + 1.0F);
  }
  std::vector<float> seenStarts;
  for (const auto& segment : seen) seenStarts.push_back(segment.start);
  std::ranges::sort(resultStarts);
  std::ranges::sort(seenStarts);
  ASSERT_EQ(seenStarts.size(), resultStarts.size());
  for (std::size_t i = 0; i < seenStarts.size(); ++i) EXPECT_FLOAT_EQ(seenStarts[i], resultStarts[i]) << i;
}

TEST_F(Chunked, AFailingMiddlePieceIsLoggedAndLeftOut) {
  auto instance = makeInstance<FailingPiece>(true);
  const auto audio = threeWindows();
  const auto pieces = VADAudioChunker().chunkAll(audio, 480000, vadOptions());
  ASSERT_EQ(pieces.size(), 3U);
  instance->failFor = pieces[1].audioSamples;
  LogLines log;
  const auto results = instance->transcribe(std::span<const float>(audio), vadOptions());
  EXPECT_EQ(instance->runs.load(), 3);
  ASSERT_EQ(results.size(), 2U);
  EXPECT_EQ(results[0]->seekTime(), 0.0F);
  EXPECT_EQ(results[1]->seekTime(), 60.0F);
  EXPECT_TRUE(log.contains("Error transcribing chunk 1: "));
  EXPECT_TRUE(log.contains("scripted piece failure"));
  EXPECT_FALSE(log.contains("Error transcribing chunk 0"));
  EXPECT_FALSE(log.contains("Error transcribing chunk 2"));
}

TEST_F(Chunked, EveryPieceFailingGivesNoResultsButAStopIsACancellation) {
  auto instance = makeInstance(true);
  const auto audio = speechLikeAudio(40);
  instance->setTokenizer(nullptr);  // every piece's run fails
  EXPECT_TRUE(instance->transcribe(std::span<const float>(audio), vadOptions()).empty());

  instance->setTokenizer(demo_->loadTokenizer());
  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(instance->transcribe(std::span<const float>(audio), 0, vadOptions(), {}, {}, stop.get_token()),
               platform::sync::CancellationError);
}

}  // namespace
}  // namespace vostrane
