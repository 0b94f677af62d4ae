// Incremental transcription (pieces of a stream transcribed as they arrive) and the file entry
// points that use it, with several files in both loading modes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <stop_token>
#include <string>
#include <system_error>
#include <vector>

#include "core/locks.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sync/task_group.hpp"
#include "speech/entry_points/entry_points_fixture.hpp"
#include "speech/model/whisper_error.hpp"
#include "support/expect_error.hpp"
#include "support/wav_writer.hpp"

namespace vostrane {
namespace {

using testdemo::speechLikeAudio;
using State = TranscriptionState;

constexpr const char* kClipMessage =
    "clipTimestamps is not supported with AudioLoadingMode.incremental. Use .fullFile, or transcribe the desired range "
    "as a separate call.";

// A stream of given pieces that counts how often each piece is signalled, and may end with an
// error after its pieces.
class ScriptedStream {
 public:
  explicit ScriptedStream(std::vector<AudioChunk> pieces, std::exception_ptr endError = nullptr)
      : pieces_(std::move(pieces)), endError_(std::move(endError)), signals_(pieces_.size()) {}

  Vostrane::IncrementalChunkSource source() {
    return [this]() -> std::optional<IncrementalFileChunk> {
      if (taken_ == pieces_.size()) {
        if (endError_) std::rethrow_exception(endError_);
        return std::nullopt;
      }
      const std::size_t index = taken_++;
      return IncrementalFileChunk{pieces_[index], [this, index] { ++signals_[index]; }};
    };
  }
  std::size_t taken() const { return taken_; }
  std::vector<int> signals() const {
    std::vector<int> counts;
    for (const auto& count : signals_) counts.push_back(count.load());
    return counts;
  }

 private:
  std::vector<AudioChunk> pieces_;
  std::exception_ptr endError_;
  std::size_t taken_ = 0;
  std::vector<std::atomic<int>> signals_;
};

class Incremental : public EntryPoints {
 protected:
  template <class Derived = Vostrane>
  std::shared_ptr<Derived> make() {
    auto instance = makeInstance<Derived>(true);
    instance->setTranscriptionStateCallback([this](State state) {
      std::lock_guard lock(mutex_);
      states_.push_back(state);
    });
    return instance;
  }
  std::vector<State> states() {
    std::lock_guard lock(mutex_);
    return states_;
  }
  static std::string writeFile(const std::string& name, const std::vector<float>& audio) {
    const auto path = demo_->root() / name;
    testsupport::writeWav(path, kRate, 1, static_cast<std::int64_t>(audio.size()),
                          [&](int, std::int64_t i) { return audio[static_cast<std::size_t>(i)]; });
    return path.string();
  }
  static AudioInputOptions incremental(double seconds = 20, int buffered = 2) {
    return AudioInputOptions(ChannelMode::sumChannels(), AudioLoadingMode::incremental(seconds, buffered));
  }

  std::mutex mutex_;
  std::vector<State> states_;
};

TEST_F(Incremental, PiecesArePlacedInTheFilesTimeAndSortedWithStateReports) {
  auto instance = make();
  std::mutex mutex;
  std::vector<TranscriptionSegment> seen;
  instance->setSegmentDiscoveryCallback([&](const std::vector<TranscriptionSegment>& segments) {
    std::lock_guard lock(mutex);
    seen.insert(seen.end(), segments.begin(), segments.end());
  });
  const auto late = speechLikeAudio(20, 0.8);
  const auto alone = instance->transcribe(std::span<const float>(late));
  ASSERT_EQ(alone.size(), 1U);
  ASSERT_FALSE(alone[0]->seekTime().has_value());
  const auto reference = alone[0]->segments();
  ASSERT_FALSE(reference.empty());
  seen.clear();

  // The later piece arrives first; the results come back in time order.
  ScriptedStream stream({AudioChunk(960000, late), AudioChunk(0, speechLikeAudio(20))});
  const auto results = instance->transcribeIncrementally(stream.source(), DecodingOptions{}, {}, true);
  EXPECT_EQ(states(), (std::vector<State>{State::transcribing, State::finished}));
  EXPECT_EQ(stream.signals(), (std::vector<int>{1, 1}));
  ASSERT_EQ(results.size(), 2U);
  EXPECT_EQ(results[0]->seekTime(), 0.0F);
  EXPECT_EQ(results[1]->seekTime(), 60.0F);  // absent before: the piece's start alone
  const auto placed = results[1]->segments();
  ASSERT_EQ(placed.size(), reference.size());
  EXPECT_FLOAT_EQ(placed[0].start, reference[0].start + 60.0F);
  EXPECT_EQ(placed[0].seek, reference[0].seek + 960000);

  // The callback saw the first piece's segments already in the file's time.
  std::lock_guard lock(mutex);
  ASSERT_GE(seen.size(), reference.size());
  EXPECT_FLOAT_EQ(seen[0].start, reference[0].start + 60.0F);
}

TEST_F(Incremental, ClipTimestampsAreRefusedBeforeAnythingElse) {
  auto instance = make();
  ScriptedStream stream({AudioChunk(0, speechLikeAudio(2))});
  DecodingOptions options;
  options.clipTimestamps = {10.0F};
  testsupport::expectError<WhisperError>([&] { instance->transcribeIncrementally(stream.source(), options, {}, true); },
                                         WhisperError::Case::transcriptionFailed, kClipMessage);
  EXPECT_EQ(stream.taken(), 0U);
  EXPECT_TRUE(states().empty());

  // Through the file entry point as well: no state is reported.
  const auto path = writeFile("clip.wav", speechLikeAudio(3));
  testsupport::expectError<WhisperError>([&] { instance->transcribe(path, incremental(), options); },
                                         WhisperError::Case::transcriptionFailed, kClipMessage);
  EXPECT_TRUE(states().empty());
}

TEST_F(Incremental, AFailingPieceIsSignalledOnceAndEndsTheRun) {
  auto instance = make<FailingPiece>();
  const auto bad = speechLikeAudio(3, 0.7);
  instance->failFor = bad;
  ScriptedStream stream(
      {AudioChunk(0, speechLikeAudio(3)), AudioChunk(48000, bad), AudioChunk(96000, speechLikeAudio(3))});
  testsupport::expectError<WhisperError>(
      [&] { instance->transcribeIncrementally(stream.source(), std::nullopt, {}, true); },
      WhisperError::Case::transcriptionFailed, "scripted piece failure");
  EXPECT_EQ(stream.taken(), 2U);  // nothing is read after the failure
  EXPECT_EQ(stream.signals(), (std::vector<int>{1, 1, 0}));
  EXPECT_EQ(states(), (std::vector<State>{State::transcribing, State::finished}));
}

TEST_F(Incremental, StreamErrorsAndEmptyStreamsAreReportedAsFinished) {
  auto instance = make();
  ScriptedStream failing({AudioChunk(0, speechLikeAudio(2))},
                         std::make_exception_ptr(WhisperError::loadAudioFailed("scripted stream failure")));
  testsupport::expectError<WhisperError>(
      [&] { instance->transcribeIncrementally(failing.source(), std::nullopt, {}, true); },
      WhisperError::Case::loadAudioFailed, "scripted stream failure");
  EXPECT_EQ(failing.signals(), (std::vector<int>{1}));
  EXPECT_EQ(states(), (std::vector<State>{State::transcribing, State::finished}));

  ScriptedStream empty({});
  EXPECT_TRUE(instance->transcribeIncrementally(empty.source(), std::nullopt, {}, true).empty());
  EXPECT_EQ(states(), (std::vector<State>{State::transcribing, State::finished, State::transcribing, State::finished}));

  // Without reportState nothing is reported.
  ScriptedStream quiet({AudioChunk(0, speechLikeAudio(2))});
  EXPECT_EQ(instance->transcribeIncrementally(quiet.source(), std::nullopt).size(), 1U);
  EXPECT_EQ(states().size(), 4U);
}

TEST_F(Incremental, AFileIsStreamedInOrderedPiecesOfAtMostOneWindow) {
  auto instance = make();
  const auto audio = speechLikeAudio(50);
  const auto path = writeFile("long.wav", audio);
  const auto results = instance->transcribe(path, incremental(20, 2));
  EXPECT_EQ(states(), (std::vector<State>{State::transcribing, State::finished}));
  ASSERT_GE(results.size(), 2U);  // 50 s in pieces of at most 30 s
  EXPECT_EQ(results[0]->seekTime(), 0.0F);
  for (std::size_t i = 1; i < results.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(results[i]->seekTime().has_value());
    EXPECT_GT(*results[i]->seekTime(), *results[i - 1]->seekTime());
    EXPECT_LE(*results[i]->seekTime() - *results[i - 1]->seekTime(), 30.0F);
    const auto segments = results[i]->segments();
    ASSERT_FALSE(segments.empty());
    EXPECT_GE(segments[0].start, *results[i]->seekTime());
  }
  EXPECT_LT(*results.back()->seekTime(), 50.0F);
  EXPECT_GT(instance->currentTimings().audioLoading, 0.0);
}

TEST_F(Incremental, AMissingFileFailsBeforeAnyStateReport) {
  auto instance = make();
  const std::string missing = (demo_->root() / "absent.wav").string();
  testsupport::expectError<WhisperError>([&] { instance->transcribe(missing, incremental()); },
                                         WhisperError::Case::loadAudioFailed,
                                         "Audio file not found at path: " + missing);
  EXPECT_TRUE(states().empty());
}

TEST_F(Incremental, AStopDuringAPieceIsACancellationReportedAsFinished) {
  auto instance = make();
  const auto path = writeFile("stopped.wav", speechLikeAudio(40));
  std::stop_source stop;
  std::atomic<int> reports{0};
  const DecodingCallback stopAtOnce = [&](const TranscriptionProgress&) {
    ++reports;
    stop.request_stop();
    return std::optional<bool>{};
  };
  EXPECT_THROW(instance->transcribe(path, incremental(), std::nullopt, stopAtOnce, stop.get_token()),
               platform::sync::CancellationError);
  EXPECT_GE(reports.load(), 1);
  EXPECT_EQ(states(), (std::vector<State>{State::transcribing, State::finished}));
}

class SeveralFiles : public Incremental {};

TEST_F(SeveralFiles, AMissingPathFailsAtItsIndexInBothLoadingModes) {
  auto instance = make();
  const std::vector<std::string> paths{writeFile("one.wav", speechLikeAudio(4)),
                                       (demo_->root() / "absent.wav").string(),
                                       writeFile("three.wav", speechLikeAudio(6, 0.8))};

  const auto whole = instance->transcribeWithResults(paths, std::nullopt);
  EXPECT_EQ(states(), (std::vector<State>{State::convertingAudio, State::transcribing, State::finished}));
  ASSERT_EQ(whole.size(), 3U);
  ASSERT_TRUE(whole[0].succeeded()) << messageOf(whole[0].error());
  ASSERT_FALSE(whole[1].succeeded());
  EXPECT_NE(messageOf(whole[1].error()).find(paths[1]), std::string::npos);
  ASSERT_TRUE(whole[2].succeeded()) << messageOf(whole[2].error());
  EXPECT_GT(instance->currentTimings().audioLoading, 0.0);

  states_.clear();
  DecodingOptions options;
  options.concurrentWorkerCount = 2;
  const auto streamed = instance->transcribeWithResults(paths, incremental(), options);
  EXPECT_EQ(states(), (std::vector<State>{State::transcribing, State::finished}));
  ASSERT_EQ(streamed.size(), 3U);
  EXPECT_EQ(messageOf(streamed[1].error()), "Audio file not found at path: " + paths[1]);
  for (std::size_t i : {0U, 2U}) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(streamed[i].succeeded()) << messageOf(streamed[i].error());
    // A file shorter than one piece: the same text as when loaded whole, placed at 0.
    ASSERT_EQ(streamed[i].results().size(), 1U);
    EXPECT_EQ(streamed[i].results()[0]->text(), whole[i].results().at(0)->text());
    EXPECT_EQ(streamed[i].results()[0]->seekTime(), 0.0F);
  }
  EXPECT_GT(instance->currentTimings().audioProcessing, 0.0);

  // The plain form: absent at the failure.
  const auto plain = instance->transcribe(std::vector<std::string>{paths[1], paths[0]}, incremental());
  ASSERT_EQ(plain.size(), 2U);
  EXPECT_FALSE(plain[0].has_value());
  EXPECT_TRUE(plain[1].has_value());
}

TEST_F(SeveralFiles, AnEmptyListStillReportsItsStates) {
  auto instance = make();
  EXPECT_TRUE(instance->transcribeWithResults(std::vector<std::string>{}, std::nullopt).empty());
  EXPECT_TRUE(instance->transcribeWithResults(std::vector<std::string>{}, incremental()).empty());
  EXPECT_EQ(states(), (std::vector<State>{State::convertingAudio, State::transcribing, State::finished,
                                          State::transcribing, State::finished}));
}

TEST_F(SeveralFiles, AStopFailsEveryFileWithACancellation) {
  auto instance = make();
  const std::vector<std::string> paths{writeFile("a.wav", speechLikeAudio(2)), writeFile("b.wav", speechLikeAudio(2))};
  std::stop_source stop;
  stop.request_stop();
  for (const auto& mode : {AudioInputOptions(), incremental()}) {
    const auto outcomes = instance->transcribeWithResults(paths, mode, std::nullopt, {}, stop.get_token());
    ASSERT_EQ(outcomes.size(), 2U);
    for (const auto& outcome : outcomes) {
      ASSERT_FALSE(outcome.succeeded());
      EXPECT_THROW(std::rethrow_exception(outcome.error()), platform::sync::CancellationError);
    }
  }
}

// No thread can be started for the files: every file's entry holds the error, in both loading
// modes, and nothing is thrown.
TEST_F(SeveralFiles, AThreadThatCannotStartFailsEveryFileWithThatError) {
  auto instance = make();
  const std::vector<std::string> paths{writeFile("c.wav", speechLikeAudio(2)), writeFile("d.wav", speechLikeAudio(2))};
  platform::sync::ScopedThreadStarter failing([](std::function<void()>) -> std::jthread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  });
  DecodingOptions twoAtOnce;
  twoAtOnce.concurrentWorkerCount = 2;
  // Whole files are loaded on one thread per processor: with a single one no thread is started.
  const bool loadsOnHelpers = noxtal::ConcurrencyUtilities::activeProcessorCount() > 1;
  for (const auto& mode : {AudioInputOptions(), incremental()}) {
    if (!mode.audioLoadingMode.isIncremental() && !loadsOnHelpers) continue;
    SCOPED_TRACE(mode.audioLoadingMode.isIncremental() ? "incremental" : "whole files");
    std::vector<TranscriptionOutcome> outcomes;
    ASSERT_NO_THROW(outcomes = instance->transcribeWithResults(paths, mode, twoAtOnce));
    ASSERT_EQ(outcomes.size(), 2U);
    for (const auto& outcome : outcomes) {
      ASSERT_FALSE(outcome.succeeded());
      EXPECT_THROW(std::rethrow_exception(outcome.error()), platform::sync::ThreadStartError);
    }
  }
}

}  // namespace
}  // namespace vostrane
