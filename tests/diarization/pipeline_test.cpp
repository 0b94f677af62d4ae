// The pyannote pipeline end to end over the scripted voice models: speakers found and placed,
// seek clips, worker counts, progress, failing chunks, reused actors, cancellation and unloads.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "diarization/dellomar_diarizer.hpp"
#include "diarization/dellomar_error.hpp"
#include "diarization/pipeline_test_support.hpp"
#include "diarization/pyannote_diarizer.hpp"
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

}  // namespace
}  // namespace dellomar
