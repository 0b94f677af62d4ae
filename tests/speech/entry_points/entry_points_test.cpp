// The main class's transcription entry points on the demo speech models: batches, offsets,
// file loading, failures, and concurrent callers on one unloaded instance.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "speech/entry_points/entry_points_fixture.hpp"
#include "speech/library_log_lines.hpp"
#include "platform/sync/cancellation.hpp"
#include "speech/model/whisper_error.hpp"
#include "speech/pipeline/vostrane.hpp"

namespace vostrane {
namespace {

using testdemo::speechLikeAudio;

TEST_F(EntryPoints, OneArrayGivesOneResultWithTheScriptedText) {
  auto instance = makeInstance(true);
  const auto audio = speechLikeAudio(10);
  const auto results = instance->transcribe(std::span<const float>(audio));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_FALSE(results[0]->text().empty());
  EXPECT_FALSE(results[0]->segments().empty());
}

TEST_F(EntryPoints, BatchesKeepOrderAndTagProgressWithTheItemIndex) {
  auto instance = makeInstance(true);
  const auto single = instance->transcribe(std::span<const float>(speechLikeAudio(5)));
  std::vector<std::vector<float>> arrays(5, speechLikeAudio(5));
  DecodingOptions options;
  options.concurrentWorkerCount = 2;  // batches of 2, 2, 1
  std::mutex mutex;
  std::set<int> windowIds;
  const auto outcomes = instance->transcribeWithResults(arrays, options, [&](const TranscriptionProgress& p) {
    std::lock_guard lock(mutex);
    windowIds.insert(p.windowId);
    return std::optional<bool>{};
  });
  ASSERT_EQ(outcomes.size(), 5u);
  for (const auto& outcome : outcomes) {
    ASSERT_TRUE(outcome.succeeded()) << messageOf(outcome.error());
    EXPECT_EQ(outcome.results().at(0)->text(), single.at(0)->text());
  }
  EXPECT_EQ(windowIds, (std::set<int>{0, 1, 2, 3, 4}));
}

TEST_F(EntryPoints, UnbalancedOptionsOrOffsetsGiveOneFailure) {
  auto instance = makeInstance(true);
  std::vector<std::vector<float>> arrays(2, speechLikeAudio(1));
  auto outcomes = instance->transcribeWithOptions(arrays, {DecodingOptions{}});
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(messageOf(outcomes[0].error()), "The number of audio arrays and decoding options must be balanced.");
  outcomes = instance->transcribeWithOptions(arrays, {DecodingOptions{}, DecodingOptions{}}, std::vector<int>{1});
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(messageOf(outcomes[0].error()), "The number of audio arrays and seek offset indexes must be balanced.");
}

TEST_F(EntryPoints, SeekOffsetsShiftOnlyTheSegmentCallback) {
  auto instance = makeInstance(true);
  std::mutex mutex;
  std::vector<TranscriptionSegment> seen;
  instance->setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>& segments) {
    std::lock_guard lock(mutex);
    seen.insert(seen.end(), segments.begin(), segments.end());
  });
  std::vector<std::vector<float>> arrays{speechLikeAudio(5)};
  const auto outcomes = instance->transcribeWithOptions(arrays, {DecodingOptions{}}, std::vector<int>{960000});
  ASSERT_TRUE(outcomes.at(0).succeeded()) << messageOf(outcomes[0].error());
  const auto segments = outcomes[0].results().at(0)->segments();
  ASSERT_FALSE(seen.empty());
  ASSERT_EQ(seen.size(), segments.size());
  EXPECT_FLOAT_EQ(seen[0].start, segments[0].start + 60.0f);
  EXPECT_EQ(seen[0].seek, segments[0].seek + 960000);
}

TEST_F(EntryPoints, FileEntryPointReportsStatesAndFailsOnAMissingFile) {
  auto instance = makeInstance(true);
  std::vector<TranscriptionState> states;
  instance->setTranscriptionStateCallback([&](TranscriptionState s) { states.push_back(s); });
  const auto missing = (demo_->root() / "absent.wav").string();
  testlog::LogLines log;
  EXPECT_THROW(instance->transcribe(missing, std::nullopt), WhisperError);
  EXPECT_EQ(states, std::vector<TranscriptionState>{TranscriptionState::convertingAudio});
  // The failed load is still timed: the current timings hold it, and the log line gives the
  // same seconds in their shortest text, followed by the memory line.
  const double loading = instance->currentTimings().audioLoading;
  EXPECT_GT(loading, 0.0);
  const auto lines = log.lines();
  const auto timeLine = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("Audio loading and convert time: ") != std::string::npos;
  });
  ASSERT_NE(timeLine, lines.end());
  EXPECT_NE(timeLine->find("Audio loading and convert time: " + noxtal::floatingText(loading)), std::string::npos)
      << *timeLine;
  ASSERT_NE(timeLine + 1, lines.end());
  EXPECT_NE((timeLine + 1)->find("Audio Loading and Convert"), std::string::npos) << *(timeLine + 1);
}

TEST_F(EntryPoints, CancelledRunThrowsAndGetsAFreshProgress) {
  auto instance = makeInstance(true);
  const auto before = instance->progress();
  std::stop_source stop;
  stop.request_stop();
  const auto audio = speechLikeAudio(2);
  EXPECT_THROW(instance->transcribe(std::span<const float>(audio), std::nullopt, {}, {}, stop.get_token()),
               platform::sync::CancellationError);
  EXPECT_NE(instance->progress(), before);
}

// Four workers on one unloaded instance load the models once and all succeed.
TEST_F(EntryPoints, ConcurrentWorkersOnAnUnloadedInstanceLoadOnce) {
  auto instance = makeInstance(false);
  std::atomic<int> loads{0};
  instance->setModelStateCallback([&](std::optional<noxtal::ModelState>, noxtal::ModelState state) {
    if (state == noxtal::ModelState::loading) ++loads;
  });
  std::vector<std::vector<float>> arrays(4, speechLikeAudio(2));
  DecodingOptions options;
  options.concurrentWorkerCount = 4;
  const auto outcomes = instance->transcribeWithResults(arrays, options);
  ASSERT_EQ(outcomes.size(), 4u);
  for (const auto& outcome : outcomes) EXPECT_TRUE(outcome.succeeded()) << messageOf(outcome.error());
  EXPECT_EQ(loads.load(), 1);
  EXPECT_EQ(instance->modelState(), noxtal::ModelState::loaded);
}

}  // namespace
}  // namespace vostrane
