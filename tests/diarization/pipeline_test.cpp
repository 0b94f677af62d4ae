// The pyannote pipeline end to end over the scripted voice models: speakers found and placed,
// seek clips, worker counts, progress, failing chunks, an embedder of changing width, threads
// that cannot start, reused actors, cancellation and unloads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <thread>

#include "diarization/dellomar_diarizer.hpp"
#include "diarization/dellomar_error.hpp"
#include "diarization/pipeline_test_support.hpp"
#include "diarization/pyannote_diarizer.hpp"
#include "diarization/thread_starts.hpp"
#include "platform/sync/cancellation.hpp"
#include "support/log_capture.hpp"

namespace dellomar {
namespace {

using namespace dellomar::testing;

class PipelineTest : public VoiceRepositoryTest {
 protected:
  std::shared_ptr<PyannoteModelLoader> loadedLoader(std::optional<int> embedderWorkers = std::nullopt,
                                                    int segmenterWorkers = 2) {
    auto loader = std::make_shared<PyannoteModelLoader>(voiceConfig(repo(), embedderWorkers, segmenterWorkers),
                                                        segmenterModelInfo(), embedderModelInfo(), pldaModelInfo());
    loader->load(repo().string(), false, {});
    return loader;
  }
  DiarizationResult run(std::span<const float> samples, const DiarizationOptions* options = nullptr,
                        std::optional<int> embedderWorkers = std::nullopt, int segmenterWorkers = 2) {
    return makeDiarizer(loadedLoader(embedderWorkers, segmenterWorkers))->diarize(samples, options, nullptr);
  }
};

TEST_F(PipelineTest, TwoVoicesAreFoundPlacedAndTimed) {
  const auto samples = signalOf({{20, kVoiceA}, {5, kSilence}, {25, kVoiceB}, {10, kVoiceA}});
  const DiarizationResult result = run(samples);
  ASSERT_EQ(result.speakerCount, 2);
  EXPECT_FLOAT_EQ(result.frameRate, 2.0f);
  const int a = speakerAt(result, 10);
  const int b = speakerAt(result, 35);
  EXPECT_NE(a, -1);
  EXPECT_NE(b, -1);
  EXPECT_NE(a, b);
  EXPECT_EQ(speakerAt(result, 55), a);
  EXPECT_EQ(speakerAt(result, 22.5), -1);
  EXPECT_EQ(result.speakerCentroidEmbeddings.size(), 2u);
  ASSERT_FALSE(result.segments.empty());
  for (std::size_t i = 1; i < result.segments.size(); ++i) {
    EXPECT_LE(result.segments[i - 1].startFrame(), result.segments[i].startFrame());
  }
  const PyannoteDiarizationTimings* timings = result.pyannoteTimings();
  ASSERT_NE(timings, nullptr);
  EXPECT_DOUBLE_EQ(timings->inputAudioSeconds, 60.0);
  EXPECT_EQ(timings->numberOfChunks, 3);
  EXPECT_EQ(timings->numberOfSegmenterWorkers, 2);
  EXPECT_EQ(timings->numberOfEmbedderWorkers, 2);
  EXPECT_GT(timings->numberOfEmbeddings, 0);
  EXPECT_EQ(timings->numberOfSpeakers, 2);
  EXPECT_GE(timings->fullPipeline, timings->clusteringTime);
}

TEST_F(PipelineTest, ResultsDoNotDependOnWorkerCounts) {
  const auto samples = signalOf({{31, kVoiceA}, {17, kVoiceB}, {3, kBoth}, {40, kVoiceA}, {29, kVoiceB}});
  const DiarizationResult few = run(samples, nullptr, 1, 1);
  const DiarizationResult many = run(samples, nullptr, 8, 4);
  EXPECT_EQ(few.speakerCount, 2);
  EXPECT_EQ(few.binaryMatrix(), many.binaryMatrix());
  EXPECT_EQ(few.speakerCentroidEmbeddings, many.speakerCentroidEmbeddings);
  ASSERT_EQ(few.segments.size(), many.segments.size());
  for (std::size_t i = 0; i < few.segments.size(); ++i) {
    EXPECT_EQ(few.segments[i].startFrame(), many.segments[i].startFrame());
    EXPECT_EQ(few.segments[i].endFrame(), many.segments[i].endFrame());
    EXPECT_EQ(few.segments[i].speaker, many.segments[i].speaker);
  }
  EXPECT_EQ(many.pyannoteTimings()->numberOfEmbedderWorkers, 8);
  EXPECT_EQ(many.pyannoteTimings()->numberOfSegmenterWorkers, 4);
}

TEST(SeekClips, TimestampsBecomeClips) {
  const std::int64_t n = 160000;
  EXPECT_EQ(seekClips(n, {}), (std::vector<SeekClip>{{0, n}}));
  const std::vector<float> one{2.5f};
  EXPECT_EQ(seekClips(n, one), (std::vector<SeekClip>{{40000, n}}));
  const std::vector<float> three{1, 2, 3.00003f};  // 48000.48 rounds to 48000
  EXPECT_EQ(seekClips(n, three), (std::vector<SeekClip>{{16000, 32000}, {48000, n}}));
  const std::vector<float> atEnd{10};
  EXPECT_EQ(seekClips(n, atEnd), (std::vector<SeekClip>{{n, n}}));
  EXPECT_EQ(seekClips(0, {}), (std::vector<SeekClip>{{0, 0}}));
}

TEST(SeekClips, BadTimestampsAreRefusedByName) {
  const struct {
    std::vector<float> timestamps;
    const char* fragment;
  } cases[] = {{{std::nanf("")}, "(index 0) is not finite"},
               {{1, std::numeric_limits<float>::infinity()}, "(index 1) is not finite"},
               {{-0.5f}, "lies outside the audio of 10.0 s"},
               {{2, 10.5f}, "Clip timestamp 10.5 s (index 1) lies outside"},
               {{5, 3}, "Clip timestamp 3.0 s (index 1) is before"},
               {{1e30f}, "lies outside"}};
  for (const auto& c : cases) {
    try {
      seekClips(160000, c.timestamps);
      ADD_FAILURE() << "accepted " << c.fragment;
    } catch (const DellomarError& error) {
      EXPECT_EQ(error.errorCase(), DellomarError::Case::invalidConfiguration);
      EXPECT_NE(error.message().find(c.fragment), std::string::npos) << error.message();
    }
  }
}

TEST_F(PipelineTest, LaterClipsLandAtTheirOwnTimes) {
  // Voice only inside the second clip: its activity must appear there, not at the first clip's
  // times (window indexes count from each clip's start).
  const auto samples = signalOf({{40, kSilence}, {10, kVoiceA}, {10, kSilence}});
  const auto options = optionsWith({0, 20, 35, 60});
  const DiarizationResult result = run(samples, &options);
  ASSERT_EQ(result.speakerCount, 1);
  const std::vector<bool> active = activeFrames(result);
  const auto frame = [&](double seconds) { return static_cast<std::size_t>(seconds * result.frameRate); };
  for (std::size_t f = 0; f < frame(39); ++f) EXPECT_FALSE(active[f]) << "frame " << f;
  for (std::size_t f = frame(41); f < frame(49); ++f) EXPECT_TRUE(active[f]) << "frame " << f;
  for (std::size_t f = frame(51); f < active.size(); ++f) EXPECT_FALSE(active[f]) << "frame " << f;
  EXPECT_DOUBLE_EQ(result.pyannoteTimings()->inputAudioSeconds, 45.0);
}

TEST_F(PipelineTest, InputIsCheckedBeforeAnythingRuns) {
  std::vector<float> samples = signalOf({{4, kVoiceA}});
  samples[12345] = std::numeric_limits<float>::infinity();
  try {
    run(samples);
    FAIL() << "expected generic";
  } catch (const DellomarError& error) {
    EXPECT_EQ(error.errorCase(), DellomarError::Case::generic);
    EXPECT_NE(error.message().find("index 12345"), std::string::npos) << error.message();
  }
  samples[12345] = kVoiceA;
  PyannoteDiarizationOptions threshold = optionsWith();
  threshold.clusterDistanceThreshold = std::nanf("");
  PyannoteDiarizationOptions offset = optionsWith();
  offset.minActiveOffset = -std::numeric_limits<float>::infinity();
  PyannoteDiarizationOptions clips = optionsWith({1, 9});
  for (const PyannoteDiarizationOptions* options : {&threshold, &offset, &clips}) {
    try {
      run(samples, options);
      ADD_FAILURE() << "accepted";
    } catch (const DellomarError& error) {
      EXPECT_EQ(error.errorCase(), DellomarError::Case::invalidConfiguration) << error.message();
    }
  }
}

TEST_F(PipelineTest, EmptyAndShortInputs) {
  std::vector<std::int64_t> reports;
  const auto loader = loadedLoader();
  const DiarizationResult empty = makeDiarizer(loader)->diarize(
      {}, nullptr, [&](const noxtal::Progress& p) { reports.push_back(p.completedUnitCount()); });
  EXPECT_EQ(reports, (std::vector<std::int64_t>{0, 85, 92, 97, 100}));
  EXPECT_EQ(empty.speakerCount, 0);
  EXPECT_EQ(empty.totalFrames, 0);
  EXPECT_TRUE(empty.segments.empty());
  EXPECT_TRUE(empty.speakerCentroidEmbeddings.empty());
  EXPECT_EQ(empty.pyannoteTimings()->numberOfChunks, 0);

  // Shorter than one window: the segmenter pads it with zeros.
  const auto shortInput = signalOf({{3, kVoiceB}});
  const DiarizationResult result = makeDiarizer(loader)->diarize(shortInput, nullptr, nullptr);
  EXPECT_EQ(result.speakerCount, 1);
  EXPECT_EQ(speakerAt(result, 1), 0);
  EXPECT_EQ(speakerAt(result, 5), -1);
}

TEST(EmbedderWorkers, CountFollowsTheClipOrTheConfiguration) {
  EXPECT_EQ(embedderWorkerCount(std::nullopt, 0), 2);
  EXPECT_EQ(embedderWorkerCount(std::nullopt, 45), 2);
  EXPECT_EQ(embedderWorkerCount(std::nullopt, 150), 5);
  EXPECT_EQ(embedderWorkerCount(std::nullopt, 300), 8);
  EXPECT_EQ(embedderWorkerCount(3, 1000), 3);
  EXPECT_EQ(embedderWorkerCount(0, 1000), 1) << "no worker would lose every embedding";
  EXPECT_EQ(embedderWorkerCount(-4, 10), 1);
  EXPECT_EQ(embedderWorkerCount(500, 10), 64);
}

TEST_F(PipelineTest, ConfiguredZeroWorkersStillFindsTheSpeakers) {
  const auto samples = signalOf({{20, kVoiceA}, {20, kVoiceB}});
  const DiarizationResult result = run(samples, nullptr, 0);
  EXPECT_EQ(result.speakerCount, 2);
  EXPECT_EQ(result.pyannoteTimings()->numberOfEmbedderWorkers, 1);
}

TEST_F(PipelineTest, ProgressRisesMonotonicallyThroughBothPhases) {
  std::mutex mutex;
  std::vector<std::int64_t> reports;
  const auto samples = signalOf({{100, kVoiceA}, {50, kVoiceB}});
  makeDiarizer(loadedLoader(3))->diarize(samples, nullptr, [&](const noxtal::Progress& p) {
    const std::lock_guard lock(mutex);
    reports.push_back(p.completedUnitCount());
  });
  ASSERT_GE(reports.size(), 6u);
  EXPECT_EQ(reports.front(), 0);
  const auto end = std::find(reports.begin(), reports.end(), 85);
  ASSERT_NE(end, reports.end());
  EXPECT_TRUE(std::all_of(reports.begin(), end, [](std::int64_t v) { return v <= 84; }));
  EXPECT_GT(end - reports.begin(), 1) << "embedding reports before the loop ends";
  EXPECT_EQ(std::vector<std::int64_t>(end, reports.end()), (std::vector<std::int64_t>{85, 92, 97, 100}));
}

class FailingChunkTest : public PipelineTest {
 protected:
  void SetUp() override {
    testmodels::VoiceGeometry g;
    g.failMarker = 0.25;  // a chunk starting at this level fails in the segmenter
    testmodels::writeVoiceRepository(repo(), g);
  }
};

TEST_F(FailingChunkTest, OneFailingChunkIsLoggedAndDropped) {
  // Chunks start every 21 s; the one at 21 s starts with the failing level.
  const auto samples = signalOf({{21, kVoiceA}, {1, 0.25f}, {40, kVoiceB}});
  testsupport::LogCapture capture(platform::log::Level::debug);
  noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::error);
  const DiarizationResult result = run(samples);
  noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::none);
  const auto lines = capture.messages(platform::log::Level::error);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.find("[PyannoteDiarizer] Error processing embeddings: Missing required "
                                          "segmenter model output") != std::string::npos;
                          }),
            1);
  EXPECT_EQ(result.speakerCount, 2);
  EXPECT_EQ(result.pyannoteTimings()->numberOfChunks, 3);
}

TEST_F(FailingChunkTest, EveryChunkFailingEndsTheRunWithItsError) {
  const auto samples = signalOf({{12, 0.25f}});
  try {
    run(samples);
    FAIL() << "an empty result would report success";
  } catch (const DellomarError& error) {
    EXPECT_EQ(error.errorCase(), DellomarError::Case::invalidModelOutput);
    EXPECT_EQ(error.message(), "Missing required segmenter model output");
  }
}

TEST_F(PipelineTest, AnEmbedderWhoseWidthChangesEndsTheRunWithItsError) {
  testmodels::VoiceGeometry g;
  g.embeddingWidths = {4, 5};  // predictions alternate between two widths
  testmodels::writeVoiceRepository(repo(), g);
  try {
    run(signalOf({{40, kVoiceA}, {50, kVoiceB}}), nullptr, 2, 2);
    FAIL() << "embeddings of two widths cannot be clustered together";
  } catch (const DellomarError& error) {
    EXPECT_EQ(error.errorCase(), DellomarError::Case::invalidModelOutput);
    EXPECT_NE(error.message().find("width"), std::string::npos) << error.message();
  }
  // The same repository with one width diarizes as before.
  g.embeddingWidths = {5};
  testmodels::writeVoiceRepository(repo(), g);
  EXPECT_EQ(run(signalOf({{40, kVoiceA}, {50, kVoiceB}})).speakerCount, 2);
}

// Guards a call that could wait for ever: when it has not returned after a minute the token
// stops it (the test then fails on the call's outcome), and when even that does not end it the
// process ends instead of stalling the suite.
class HangWatchdog {
 public:
  HangWatchdog()
      : watchdog_([this](std::stop_token done) {
          std::mutex mutex;
          std::condition_variable_any never;
          std::unique_lock lock(mutex);
          if (never.wait_for(lock, done, std::chrono::minutes(1), [] { return false; }) || done.stop_requested()) {
            return;
          }
          fired_ = true;
          stop_.request_stop();
          if (!never.wait_for(lock, done, std::chrono::minutes(1), [] { return false; }) && !done.stop_requested()) {
            std::fputs("HangWatchdog: the guarded call ignores its stop token\n", stderr);
            std::abort();
          }
        }) {}
  ~HangWatchdog() { watchdog_.request_stop(); }
  std::stop_token token() const { return stop_.get_token(); }
  bool fired() const { return fired_; }

 private:
  std::stop_source stop_;
  std::atomic<bool> fired_{false};
  std::jthread watchdog_;  // last: started once the members it uses exist
};

TEST_F(PipelineTest, ThreadsThatCannotStartEndTheRunWithAnError) {
  // One embedding worker and two segmenter workers: the clip's group starts one helper, the
  // segmenter's group one more.
  const auto loader = loadedLoader(1, 2);
  const auto pipeline = makeDiarizer(loader);
  const auto samples = signalOf({{40, kVoiceA}, {50, kVoiceB}});
  const std::string cause = std::make_error_code(std::errc::resource_unavailable_try_again).message();
  for (const int working : {0, 1}) {
    SCOPED_TRACE(working == 0 ? "the clip's workers" : "the segmenter's workers");
    const testing::FailingThreadStarts threads(working);
    const HangWatchdog watchdog;
    try {
      pipeline->diarize(samples, nullptr, nullptr, watchdog.token());
      ADD_FAILURE() << "a run without its threads reported success";
    } catch (const DellomarError& error) {
      EXPECT_EQ(error.errorCase(), DellomarError::Case::generic);
      EXPECT_EQ(error.message(), "Could not start a thread of a task group: " + cause);
    } catch (const std::exception& error) {
      ADD_FAILURE() << "not a DellomarError: " << error.what();
    }
    EXPECT_FALSE(watchdog.fired()) << "the run waited for threads that never started";
    EXPECT_EQ(threads.starts(), working + 1);
  }
  // With threads again the same actor diarizes as before.
  EXPECT_EQ(pipeline->diarize(samples, nullptr, nullptr).speakerCount, 2);
}

TEST_F(PipelineTest, ReusedActorStartsEachRunClean) {
  const auto loader = loadedLoader();
  const auto pipeline = makeDiarizer(loader);
  const auto first = pipeline->diarize(signalOf({{50, kVoiceA}, {40, kVoiceB}}), nullptr, nullptr);
  const double loadTime = pipeline->diarizerActor()->modelLoadTime();
  const auto second = pipeline->diarize(signalOf({{12, kVoiceB}}), nullptr, nullptr);
  EXPECT_EQ(first.speakerCount, 2);
  EXPECT_EQ(second.speakerCount, 1);
  const PyannoteDiarizationTimings* timings = second.pyannoteTimings();
  EXPECT_DOUBLE_EQ(timings->inputAudioSeconds, 12.0);
  EXPECT_EQ(timings->numberOfChunks, 1);
  EXPECT_DOUBLE_EQ(timings->modelLoading, loadTime) << "models already loaded: the previous load time";
  EXPECT_EQ(static_cast<std::int64_t>(pipeline->diarizerActor()->config().clusterer->speakerEmbeddings().size()),
            timings->numberOfEmbeddings);
  EXPECT_EQ(pipeline->diarizerActor()->timings().numberOfEmbeddings, timings->numberOfEmbeddings);
  EXPECT_DOUBLE_EQ(pipeline->diarizerActor()->timings().fullPipeline, timings->fullPipeline);
  EXPECT_EQ(pipeline->diarizerActor()->audioLength(), 12 * 16000);
}

TEST_F(PipelineTest, CancellationByTokenAndBySecondRun) {
  const auto loader = loadedLoader(1, 1);
  const auto samples = signalOf({{300, kVoiceA}});
  {
    std::stop_source stop;
    stop.request_stop();
    EXPECT_THROW(makeDiarizer(loader)->diarize(samples, nullptr, nullptr, stop.get_token()),
                 platform::sync::CancellationError);
  }
  {
    std::stop_source stop;
    std::atomic<bool> once{false};
    EXPECT_THROW(makeDiarizer(loader)->diarize(samples, nullptr,
                                               [&](const noxtal::Progress& p) {
                                                 if (p.completedUnitCount() > 0 && !once.exchange(true)) {
                                                   stop.request_stop();
                                                 }
                                               },
                                               stop.get_token()),
                 platform::sync::CancellationError);
  }
  // A second run on the same actor ends the first, which must not see the second's embeddings.
  const auto pipeline = makeDiarizer(loader);
  std::atomic<bool> started{false};
  std::exception_ptr firstError;
  std::jthread first([&] {
    try {
      pipeline->diarize(samples, nullptr, [&](const noxtal::Progress& p) {
        if (p.completedUnitCount() > 0) started = true;
      });
    } catch (...) {
      firstError = std::current_exception();
    }
  });
  while (!started) std::this_thread::yield();
  const auto second = pipeline->diarize(signalOf({{12, kVoiceB}}), nullptr, nullptr);
  first.join();
  ASSERT_TRUE(firstError);
  EXPECT_THROW(std::rethrow_exception(firstError), platform::sync::CancellationError);
  EXPECT_EQ(second.speakerCount, 1);
  EXPECT_DOUBLE_EQ(second.pyannoteTimings()->inputAudioSeconds, 12.0);
  EXPECT_EQ(second.pyannoteTimings()->numberOfChunks, 1);
}

TEST_F(PipelineTest, UnloadDuringARunEndsItWithTheModelError) {
  const auto loader = loadedLoader(1, 1);
  const auto pipeline = makeDiarizer(loader);
  std::atomic<bool> once{false};
  try {
    pipeline->diarize(signalOf({{120, kVoiceA}}), nullptr, [&](const noxtal::Progress& p) {
      if (p.completedUnitCount() > 0 && !once.exchange(true)) loader->unload();
    });
    FAIL() << "a truncated result would report success";
  } catch (const DellomarError& error) {
    EXPECT_EQ(error.errorCase(), DellomarError::Case::modelUnavailable) << error.message();
  }
  EXPECT_THROW(makeDiarizer(loader), DellomarError);
}

TEST_F(PipelineTest, AggregationKeepsTheGeometryOfTheRunStart) {
  // The segmenter's model is cleared after the clip loop, before aggregation: the grid still
  // comes from the geometry taken at the start.
  const auto loader = loadedLoader(1, 1);
  const auto pipeline = makeDiarizer(loader);
  const auto segmenter = loader->models()->segmenter;
  bool cleared = false;
  const auto result = pipeline->diarize(signalOf({{20, kVoiceA}}), nullptr, [&](const noxtal::Progress& p) {
    if (p.completedUnitCount() == 85 && !cleared) {
      cleared = true;
      segmenter->unloadModel();
    }
  });
  EXPECT_TRUE(cleared);
  EXPECT_EQ(result.speakerCount, 1);
  EXPECT_FLOAT_EQ(result.frameRate, 2.0f);
  EXPECT_EQ(speakerAt(result, 5), 0);
}

}  // namespace
}  // namespace dellomar
