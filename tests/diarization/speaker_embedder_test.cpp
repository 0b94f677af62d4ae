// The speaker embedder over scripted pre-embedder, embedder and PLDA models, fed with
// segmenter outputs written by hand: mask layout, the activity test, records, and every
// inconsistent-output check.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "diarization/dellomar_error.hpp"
#include "diarization/diarization_test_models.hpp"
#include "diarization/speaker_embedder.hpp"
#include "support/model_folder_writer.hpp"

namespace dellomar {
namespace {

using platform::ml::DataType;
using platform::ml::MultiArray;
using platform::ml::Shape;
using testmodels::Geometry;

// A segmenter output of the given arrays (values row-major).
struct OutputLayout {
  Shape sliding = {3, 1, 160000};
  Shape activityShape = {3, 2};
  Shape idsShape = {3, 10, 2};
  Shape overlapShape = {3, 10};
  std::vector<float> activity;
  std::vector<float> ids;
  std::vector<float> overlap;
  Shape audioShape = {480000};
  int chunkIndex = 2;
  int chunkStride = 21;
  float waveformLength = 30;
};

std::int64_t countOf(const Shape& shape) {
  std::int64_t n = 1;
  for (const auto d : shape) n *= d;
  return n;
}

MultiArray arrayOf(const Shape& shape, std::vector<float> values) {
  values.resize(static_cast<std::size_t>(countOf(shape)), 0.0f);
  return MultiArray::fromValues<float>(shape, values);
}

SpeakerSegmenterOutput makeOutput(const OutputLayout& layout) {
  auto provider = std::make_shared<platform::ml::DictionaryFeatureProvider>();
  provider->set("sliding_window_waveform", MultiArray(layout.sliding, DataType::float32));
  provider->set("speaker_activity", arrayOf(layout.activityShape, layout.activity));
  provider->set("speaker_ids", arrayOf(layout.idsShape, layout.ids));
  provider->set("overlapped_speaker_activity", arrayOf(layout.overlapShape, layout.overlap));
  return SpeakerSegmenterOutput(provider, layout.chunkIndex, MultiArray(layout.audioShape, DataType::float32),
                                layout.chunkStride, layout.waveformLength, 1.0f, 16000.0f);
}

// ids[w][f][s] for K = 3, F = 10, S = 2.
std::size_t at(std::size_t w, std::size_t f, std::size_t s) { return (w * 10 + f) * 2 + s; }

// Window 0: speaker 0 active on frames 0-2 (three frames), speaker 1 on frames 5-6 (exactly two:
// inactive). Window 1: speaker 0 at 0.5 on frames 0-4 (2.5 frames' worth: active), speaker 1 on
// every frame, overlap on frame 2. Window 2: nothing above two frames.
OutputLayout typicalChunk() {
  OutputLayout layout;
  layout.ids.assign(60, 0.0f);
  layout.overlap.assign(30, 0.0f);
  for (std::size_t f = 0; f < 3; ++f) layout.ids[at(0, f, 0)] = 1;
  layout.ids[at(0, 5, 1)] = layout.ids[at(0, 6, 1)] = 1;
  for (std::size_t f = 0; f < 5; ++f) layout.ids[at(1, f, 0)] = 0.5f;
  for (std::size_t f = 0; f < 10; ++f) layout.ids[at(1, f, 1)] = 1;
  layout.overlap[1 * 10 + 2] = 1;
  layout.ids[at(2, 4, 0)] = 1;
  layout.activity = {3, 2, 2.5f, 10, 1, 0};
  return layout;
}

class SpeakerEmbedderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testmodels::registerPrograms(); }

  std::unique_ptr<SpeakerEmbedderModel> embedder(const Geometry& g = {}, bool withPlda = true, bool load = true) {
    const auto folder = root_.path() / std::to_string(counter_++);
    testmodels::writeEmbedders(folder / "embedder", folder / "plda", g);
    auto model = std::make_unique<SpeakerEmbedderModel>(
        folder / "embedder" / "SpeakerEmbedder.mlmodelc", platform::ml::ComputeUnits::cpuAndNeuralEngine,
        std::make_unique<SpeakerPreEmbedderModel>(folder / "embedder" / "SpeakerEmbedderPreprocessor.mlmodelc",
                                                  platform::ml::ComputeUnits::cpuOnly),
        withPlda ? std::make_unique<PLDAEmbedderModel>(folder / "plda" / "PldaProjector.mlmodelc",
                                                       platform::ml::ComputeUnits::cpuOnly)
                 : nullptr);
    if (load) model->loadModel(false);
    return model;
  }

  testsupport::TemporaryFolder root_;
  int counter_ = 0;
};

void expectInvalidOutput(const SpeakerEmbedderModel& model, const SpeakerSegmenterOutput& output,
                         const std::string& fragment) {
  try {
    model.embed(output);
    FAIL() << "expected invalidModelOutput containing " << fragment;
  } catch (const DellomarError& error) {
    EXPECT_EQ(error.errorCase(), DellomarError::Case::invalidModelOutput) << error.message();
    EXPECT_NE(error.message().find(fragment), std::string::npos) << error.message();
  }
}

TEST_F(SpeakerEmbedderTest, MasksAreHalfPrecisionWindowMajorAndZeroOnOverlap) {
  auto model = embedder();
  EXPECT_EQ(model->expectedWaveformSize(), 480000);
  EXPECT_EQ(model->speakerMaskRowCount(), 6);
  const std::vector<SpeakerEmbedding> records = model->embed(makeOutput(typicalChunk()));

  MultiArray masks;
  {
    const std::lock_guard lock(testmodels::embedderLog().mutex);
    masks = *testmodels::embedderLog().lastMasks;
  }
  ASSERT_EQ(masks.shape(), (Shape{1, 6, 30}));
  EXPECT_EQ(masks.dataType(), DataType::float16);
  std::vector<float> expected(6 * 30, 0.0f);
  for (int c = 0; c < 3; ++c) expected[0 * 30 + c] = 1;                // window 0, speaker 0
  for (int c = 10; c < 15; ++c) expected[2 * 30 + c] = c == 12 ? 0 : 0.5f;  // window 1, speaker 0
  for (int c = 10; c < 20; ++c) expected[3 * 30 + c] = c == 12 ? 0 : 1;     // window 1, speaker 1
  EXPECT_EQ(masks.toFloatVector(), expected);

  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].windowIndex, 42);
  EXPECT_EQ(records[0].speakerIndex, 0);
  EXPECT_EQ(records[0].embedding, (std::vector<float>{3, 0, 0, 0}));
  EXPECT_EQ(records[0].activeFrames, (std::vector<float>{1, 1, 1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_FLOAT_EQ(records[0].nonOverlappedFrameRatio, 0.3f);
  EXPECT_EQ(records[0].clusterId, -1);
  EXPECT_EQ(records[1].windowIndex, 52);
  EXPECT_EQ(records[1].speakerIndex, 0);
  EXPECT_EQ(records[1].embedding, (std::vector<float>{2, 2, 10, 0}));
  EXPECT_FLOAT_EQ(records[1].nonOverlappedFrameRatio, 0.4f);
  EXPECT_EQ(records[2].speakerIndex, 1);
  EXPECT_EQ(records[2].embedding, (std::vector<float>{9, 3, 10, 0}));
  EXPECT_FLOAT_EQ(records[2].nonOverlappedFrameRatio, 0.9f);
  ASSERT_TRUE(records[2].pldaEmbedding);
  ASSERT_EQ(records[2].pldaEmbedding->size(), 128u);
  EXPECT_EQ((*records[2].pldaEmbedding)[0], 18.0f);
  EXPECT_EQ((*records[2].pldaEmbedding)[1], 6.0f);
}

TEST_F(SpeakerEmbedderTest, ShortLastChunkIsEmbeddedButWindowsPastItsAudioGiveNoRecords) {
  auto model = embedder();
  OutputLayout layout = typicalChunk();
  layout.activity[4] = 5;  // window 2, speaker 0 now active
  for (std::size_t f = 0; f < 5; ++f) layout.ids[at(2, f, 0)] = 1;
  layout.waveformLength = 20;  // window 2 starts at 20 s: 10 + 20 > 20 + 10 fails
  const auto records = model->embed(makeOutput(layout));
  ASSERT_EQ(records.size(), 3u);
  for (const auto& record : records) EXPECT_LT(record.windowIndex, 42 + 20);
  {
    const std::lock_guard lock(testmodels::embedderLog().mutex);
    EXPECT_EQ(testmodels::embedderLog().lastMasks->floatAt(4 * 30 + 20), 1.0f);  // still masked
  }

  layout.waveformLength = 20.5f;
  EXPECT_EQ(model->embed(makeOutput(layout)).size(), 4u);
}

TEST_F(SpeakerEmbedderTest, WithoutPldaRecordsHaveNoProjection) {
  auto model = embedder(Geometry{}, false);
  EXPECT_EQ(model->pldaModel(), nullptr);
  const auto records = model->embed(makeOutput(typicalChunk()));
  ASSERT_EQ(records.size(), 3u);
  for (const auto& record : records) EXPECT_FALSE(record.pldaEmbedding);
}

TEST_F(SpeakerEmbedderTest, ModelsMissingAfterPrewarmOrUnloadAndPlaceholderOutput) {
  auto model = embedder(Geometry{}, true, false);
  const auto unavailable = DellomarError::modelUnavailable("Speaker embedder model is unavailable");
  try {
    model->embed(makeOutput(typicalChunk()));
    FAIL();
  } catch (const DellomarError& error) {
    EXPECT_EQ(error, unavailable);
  }
  model->loadModel(true);
  EXPECT_EQ(model->modelState(), noxtal::ModelState::prewarmed);
  EXPECT_THROW(model->embed(makeOutput(typicalChunk())), DellomarError);
  EXPECT_EQ(model->speakerMaskRowCount(), 0);
  model->loadModel(false);
  EXPECT_EQ(model->modelState(), noxtal::ModelState::loaded);
  expectInvalidOutput(*model, SpeakerSegmenterOutput(), "Missing required segmenter model output");
  model->unloadModel();
  EXPECT_EQ(model->modelState(), noxtal::ModelState::unloaded);
  EXPECT_FALSE(model->preprocessorModel().model());
  EXPECT_FALSE(model->pldaModel()->model());
}

TEST_F(SpeakerEmbedderTest, OneWindowUsesFrameZeroInsteadOfLoopingForever) {
  Geometry g;
  g.k = 1;
  auto model = embedder(g);
  OutputLayout layout;
  layout.sliding = {1, 1, 160000};
  layout.activityShape = {1, 2};
  layout.idsShape = {1, 10, 2};
  layout.overlapShape = {1, 10};
  layout.activity = {0, 4};
  layout.ids.assign(20, 0.0f);
  for (std::size_t f = 0; f < 4; ++f) layout.ids[f * 2 + 1] = 1;
  const auto records = model->embed(makeOutput(layout));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].speakerIndex, 1);
  EXPECT_EQ(records[0].windowIndex, 42);
  EXPECT_EQ(records[0].embedding[2], 0.0f);  // first masked column
}

TEST_F(SpeakerEmbedderTest, InconsistentArraysAreInvalidModelOutput) {
  auto model = embedder();
  OutputLayout layout = typicalChunk();
  layout.idsShape = {3, 10, 3};
  expectInvalidOutput(*model, makeOutput(layout), "speaker_ids");
  layout = typicalChunk();
  layout.overlapShape = {3, 11};
  expectInvalidOutput(*model, makeOutput(layout), "overlapped_speaker_activity");
  layout = typicalChunk();
  layout.activityShape = {4, 2};
  expectInvalidOutput(*model, makeOutput(layout), "speaker_activity");
  layout = typicalChunk();
  layout.idsShape = {3, 0, 2};
  layout.overlapShape = {3, 0};
  expectInvalidOutput(*model, makeOutput(layout), "speaker_ids");
  layout = typicalChunk();
  layout.sliding = {3, 1, 0};  // a window of no samples: infinitely many chunk frames
  expectInvalidOutput(*model, makeOutput(layout), "speaker_ids");
  layout = typicalChunk();
  layout.sliding = {3, 1, 2};
  layout.idsShape = {3, 1, 2};
  layout.overlapShape = {3, 1};
  layout.activity = {0, 0, 0, 0, 0, 0};
  layout.ids.clear();
  layout.overlap.clear();
  // 1 frame per window of 2 samples: 240,000 chunk frames, but the embedder declares 30.
  expectInvalidOutput(*model, makeOutput(layout), "speaker_masks");
  layout = typicalChunk();
  layout.audioShape = {2, 3};
  expectInvalidOutput(*model, makeOutput(layout), "Cannot reshape [2, 3] to [1, 2]");
  layout = typicalChunk();
  layout.audioShape = {1000};  // the runtime refuses a waveform of the wrong length
  expectInvalidOutput(*model, makeOutput(layout), "waveforms");
}

TEST_F(SpeakerEmbedderTest, ModelGeometriesThatDisagreeAreInvalidModelOutput) {
  Geometry rows;
  rows.maskRows = 5;
  expectInvalidOutput(*embedder(rows), makeOutput(typicalChunk()), "speaker_masks has 5 rows, expected 6");
  Geometry few;
  few.embedderRows = 4;
  expectInvalidOutput(*embedder(few), makeOutput(typicalChunk()), "speaker_embeddings has shape [1, 4, 4]");
  Geometry none;
  none.embedderProduces = false;
  expectInvalidOutput(*embedder(none), makeOutput(typicalChunk()), "speaker_embeddings");
  Geometry narrowPlda;
  narrowPlda.pldaColumns = 64;
  expectInvalidOutput(*embedder(narrowPlda), makeOutput(typicalChunk()),
                      "plda_embeddings has shape [1, 6, 64], expected [1, 6, 128]");
  Geometry preprocessor;
  preprocessor.preWaveform = 160000;
  expectInvalidOutput(*embedder(preprocessor), makeOutput(typicalChunk()),
                      "SpeakerEmbedderModel requires a per-chunk preprocessor (expected waveform size 160000 must "
                      "exceed sliding window size 160000)");
  // Windows of 40 s do not fit a 30-second chunk: their frames would lie past the masks.
  Geometry wide;
  wide.w = 640000;
  wide.preWaveform = 700000;
  wide.maskFrames = 7;
  OutputLayout layout = typicalChunk();
  layout.sliding = {3, 1, 640000};
  expectInvalidOutput(*embedder(wide), makeOutput(layout), "sliding_window_waveform");
}

TEST_F(SpeakerEmbedderTest, ConcurrentEmbedsAgreeAndAnUnloadFailsOnlyTheChunksItReaches) {
  auto model = embedder();
  const SpeakerSegmenterOutput output = makeOutput(typicalChunk());
  const std::vector<SpeakerEmbedding> expected = model->embed(output);
  std::atomic<int> mismatches{0};
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 5; ++i) {
          if (model->embed(output) != expected) ++mismatches;
        }
      });
    }
  }
  EXPECT_EQ(mismatches.load(), 0);

  std::atomic<int> succeeded{0}, unavailable{0};
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 5; ++i) {
          try {
            if (model->embed(output) == expected) ++succeeded;
          } catch (const DellomarError& error) {
            if (error.errorCase() == DellomarError::Case::modelUnavailable) ++unavailable;
          }
        }
      });
    }
    threads.emplace_back([&] { model->unloadModel(); });
  }
  EXPECT_EQ(succeeded.load() + unavailable.load(), 15);
  EXPECT_EQ(model->modelState(), noxtal::ModelState::unloaded);
}

}  // namespace
}  // namespace dellomar
