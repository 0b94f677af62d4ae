// The speaker segmenter over scripted segmentation models: window geometry, chunking, worker
// behaviour, failing chunks and the model checks at load.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "diarization/dellomar_error.hpp"
#include "diarization/diarization_test_models.hpp"
#include "diarization/speaker_segmenter.hpp"
#include "diarization/thread_starts.hpp"
#include "support/model_folder_writer.hpp"

namespace dellomar {
namespace {

using testmodels::Geometry;

std::vector<SpeakerSegmenterOutput> drain(platform::sync::Channel<SpeakerSegmenterOutput>& channel) {
  std::vector<SpeakerSegmenterOutput> outputs;
  while (std::optional<SpeakerSegmenterOutput> output = channel.pop()) outputs.push_back(std::move(*output));
  std::sort(outputs.begin(), outputs.end(),
            [](const auto& a, const auto& b) { return a.chunkIndex() < b.chunkIndex(); });
  return outputs;
}

// Sample i holds i / 1e7, so a chunk's first sample tells where it starts.
std::vector<float> ramp(std::size_t n) {
  std::vector<float> samples(n);
  for (std::size_t i = 0; i < n; ++i) samples[i] = static_cast<float>(static_cast<double>(i) / 1e7);
  return samples;
}

class SpeakerSegmenterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testmodels::registerPrograms(); }

  std::unique_ptr<SpeakerSegmenterModel> segmenter(const Geometry& g, bool fullRedundancy, int workers = 2,
                                                   bool load = true) {
    const auto folder = testmodels::writeSegmenter(root_.path() / std::to_string(counter_++), g);
    auto model = std::make_unique<SpeakerSegmenterModel>(folder, platform::ml::ComputeUnits::cpuOnly, workers,
                                                         fullRedundancy);
    if (load) model->loadModel(false);
    return model;
  }

  std::vector<SpeakerSegmenterOutput> run(SpeakerSegmenterModel& model, std::span<const float> audio) {
    platform::sync::Channel<SpeakerSegmenterOutput> channel;
    model.predict(audio, channel);
    return drain(channel);
  }

  testsupport::TemporaryFolder root_;
  int counter_ = 0;
};

Geometry pyannoteGeometry() {
  Geometry g;
  g.k = 21;
  g.w = 160000;
  g.f = 4;
  return g;
}

TEST_F(SpeakerSegmenterTest, WindowGeometryChunkStartsAndStrides) {
  auto full = segmenter(pyannoteGeometry(), true);
  EXPECT_FLOAT_EQ(full->windowDuration(), 10.0f);
  EXPECT_EQ(full->windowOverlap(), 144000);
  EXPECT_FLOAT_EQ(full->framesPerWindow(), 4.0f);
  const std::vector<float> audio = ramp(960001);
  const auto outputs = run(*full, audio);
  ASSERT_EQ(outputs.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(outputs[k].chunkIndex(), k);
    EXPECT_EQ(outputs[k].chunkStride(), 21);
    EXPECT_EQ(outputs[k].audioChunk().shape(), (platform::ml::Shape{480000}));
    EXPECT_EQ(outputs[k].audioChunk().floatAt(0), audio[static_cast<std::size_t>(k) * 336000]);
    EXPECT_FLOAT_EQ(outputs[k].modelSampleRate(), 0.4f);
    EXPECT_EQ(outputs[k].numberOfWindows(), 21);
    EXPECT_FLOAT_EQ(outputs[k].windowDuration(), 10.0f);
  }
  // The last chunk is the real remainder, zero-padded.
  EXPECT_FLOAT_EQ(outputs[2].waveformLength(), (960001.0f - 672000.0f) / 16000.0f);
  EXPECT_EQ(outputs[2].audioChunk().floatAt(960001 - 672000), 0.0f);

  auto plain = segmenter(pyannoteGeometry(), false);
  const auto back = run(*plain, audio);
  ASSERT_EQ(back.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(back[k].chunkStride(), 30);
    EXPECT_EQ(back[k].audioChunk().floatAt(0), audio[static_cast<std::size_t>(k) * 480000]);
  }
  EXPECT_FLOAT_EQ(back[2].waveformLength(), 1.0f / 16000.0f);
  EXPECT_EQ(back[0].debugDescription().rfind("[SpeakerSegmenterOutput: chunkIndex=0, features=", 0), 0u);
  EXPECT_NE(back[0].debugDescription().find("speaker_ids: [21, 4, 2]"), std::string::npos);
}

TEST_F(SpeakerSegmenterTest, ChunkCountAgreesWithTheChunksMade) {
  for (const bool fullRedundancy : {false, true}) {
    auto model = segmenter(pyannoteGeometry(), fullRedundancy, 3);
    for (const std::size_t n : {0u, 1u, 480000u, 480001u, 816001u, 960001u}) {
      SCOPED_TRACE(std::to_string(n) + (fullRedundancy ? " full" : " plain"));
      const std::vector<float> audio(n, 0.0f);
      EXPECT_EQ(static_cast<std::size_t>(model->chunkCount(static_cast<std::int64_t>(n))), run(*model, audio).size());
    }
  }
}

TEST_F(SpeakerSegmenterTest, WithoutModelTheStreamEndsEmptyAndTheCallFails) {
  auto model = segmenter(pyannoteGeometry(), false, 2, false);
  EXPECT_EQ(model->windowDuration(), 0.0f);
  EXPECT_EQ(model->windowOverlap(), 0);
  platform::sync::Channel<SpeakerSegmenterOutput> channel;
  const std::vector<float> audio(1000, 0.0f);
  try {
    model->predict(audio, channel);
    FAIL() << "expected modelUnavailable";
  } catch (const DellomarError& error) {
    EXPECT_EQ(error, DellomarError::modelUnavailable("Speaker segmenter model is unavailable"));
  }
  EXPECT_TRUE(channel.isClosed());
  EXPECT_FALSE(channel.pop());
}

TEST_F(SpeakerSegmenterTest, WorkersThatCannotStartFailTheCallAndFinishTheStream) {
  auto model = segmenter(Geometry{}, false, 2);
  platform::sync::Channel<SpeakerSegmenterOutput> channel;
  const std::vector<float> audio(2 * 480000, 0.2f);
  {
    const testing::FailingThreadStarts noThreads;
    try {
      model->predict(audio, channel);
      FAIL() << "expected an error";
    } catch (const DellomarError& error) {
      EXPECT_EQ(error.errorCase(), DellomarError::Case::generic);
      EXPECT_EQ(error.message(), "Could not start a thread of a task group: " +
                                     std::make_error_code(std::errc::resource_unavailable_try_again).message());
    }
  }
  EXPECT_TRUE(channel.isClosed());
  EXPECT_THROW(channel.pop(), DellomarError) << "the readers see the error";
}

TEST_F(SpeakerSegmenterTest, FailingChunkBecomesAPlaceholderAndOthersContinue) {
  Geometry g;
  g.failMarker = 0.5;
  auto model = segmenter(g, false, 0);  // 0 workers still runs one
  std::vector<float> audio(3 * 480000, 0.2f);
  audio[480000] = 0.5f;  // chunk 1 starts with the marker
  const auto outputs = run(*model, audio);
  ASSERT_EQ(outputs.size(), 3u);
  EXPECT_TRUE(outputs[1].featureNames().empty());
  EXPECT_EQ(outputs[1].audioChunk().count(), 0);
  EXPECT_EQ(outputs[1].chunkStride(), 30);
  EXPECT_FLOAT_EQ(outputs[1].waveformLength(), 30.0f);
  EXPECT_FALSE(outputs[1].numberOfWindows());
  EXPECT_EQ(outputs[1].windowDuration(), 0.0f);
  EXPECT_EQ(outputs[0].featureNames().size(), 4u);
  EXPECT_EQ(outputs[2].featureNames().size(), 4u);
  // Speaker 0 active everywhere in the valid chunks (0.2 > 0.1), speaker 1 silent.
  const auto activity = outputs[2].featureValue("speaker_activity")->multiArrayValue();
  EXPECT_EQ(activity.floatAt(0), 10.0f);
  EXPECT_EQ(activity.floatAt(1), 0.0f);

  const SpeakerSegmenterOutput empty;
  EXPECT_EQ(empty.chunkIndex(), -1);
  EXPECT_EQ(empty.debugDescription(), "[SpeakerSegmenterOutput: chunkIndex=-1, features=]");
}

TEST_F(SpeakerSegmenterTest, GeometriesThatCannotChunkAreRefusedAtLoad) {
  struct Case {
    const char* what;
    std::int64_t k, w;
  };
  // One window (division by zero), negative overlap, overlap of a whole chunk, and a hop of
  // fractional seconds (320000 / 12 samples).
  for (const Case c : {Case{"one window", 1, 160000}, Case{"negative overlap", 2, 100000},
                       Case{"whole-chunk overlap", 2, 480000}, Case{"fractional stride", 13, 160000}}) {
    SCOPED_TRACE(c.what);
    Geometry g;
    g.k = c.k;
    g.w = c.w;
    auto model = segmenter(g, true, 1, false);
    try {
      model->loadModel(false);
      FAIL() << "expected invalidModelOutput";
    } catch (const DellomarError& error) {
      EXPECT_EQ(error.errorCase(), DellomarError::Case::invalidModelOutput);
      EXPECT_NE(error.message().find("SpeakerSegmenter.mlmodelc"), std::string::npos) << error.message();
      EXPECT_NE(error.message().find("sliding_window_waveform"), std::string::npos);
    }
    EXPECT_EQ(model->modelState(), noxtal::ModelState::unloaded);
    EXPECT_FALSE(model->model());
    // Back-to-back chunks need no overlap, so the same model is fine without full redundancy.
    auto plain = segmenter(g, false, 1, false);
    EXPECT_NO_THROW(plain->loadModel(false));
  }
  Geometry whole;
  whole.k = 11;  // hop 32000, overlap 128000: chunks step 22 s
  auto fine = segmenter(whole, true);
  EXPECT_EQ(fine->windowOverlap(), 128000);
}

TEST_F(SpeakerSegmenterTest, LoadFailuresPrewarmAndUnload) {
  SpeakerSegmenterModel missing(root_.path() / "nowhere" / "SpeakerSegmenter.mlmodelc",
                                platform::ml::ComputeUnits::cpuOnly, 1, false);
  try {
    missing.loadModel(false);
    FAIL() << "expected modelUnavailable";
  } catch (const DellomarError& error) {
    EXPECT_EQ(error.errorCase(), DellomarError::Case::modelUnavailable);
    EXPECT_EQ(error.message().rfind("Cannot load model SpeakerSegmenter.mlmodelc: ", 0), 0u) << error.message();
  }
  auto model = segmenter(Geometry{}, false, 1, false);
  model->loadModel(true);
  EXPECT_EQ(model->modelState(), noxtal::ModelState::prewarmed);
  EXPECT_FALSE(model->model());
  model->loadModel(false);
  EXPECT_EQ(model->modelState(), noxtal::ModelState::loaded);
  model->unloadModel();
  EXPECT_EQ(model->modelState(), noxtal::ModelState::unloaded);
  EXPECT_FALSE(model->model());
}

TEST_F(SpeakerSegmenterTest, WorkersShareTheQueueAndKeepTheirSnapshotThroughAnUnload) {
  auto model = segmenter(Geometry{}, false, 4);
  const std::vector<float> audio(9 * 480000 + 5, 0.3f);
  platform::sync::Channel<SpeakerSegmenterOutput> channel;
  std::vector<SpeakerSegmenterOutput> outputs;
  // The model is unloaded as soon as the first chunk is out, while the others are in flight.
  std::thread reader([&] {
    while (std::optional<SpeakerSegmenterOutput> output = channel.pop()) {
      if (outputs.empty()) model->unloadModel();
      outputs.push_back(std::move(*output));
    }
    std::sort(outputs.begin(), outputs.end(),
              [](const auto& a, const auto& b) { return a.chunkIndex() < b.chunkIndex(); });
  });
  model->predict(audio, channel);
  reader.join();
  EXPECT_FALSE(model->model());
  ASSERT_EQ(outputs.size(), 10u);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(outputs[i].chunkIndex(), i);
    EXPECT_EQ(outputs[i].featureNames().size(), 4u) << "chunk " << i;
  }
}

}  // namespace
}  // namespace dellomar
