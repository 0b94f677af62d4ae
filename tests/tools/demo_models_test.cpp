// The demo diarization models: byte-identical output, loading through PyannoteModelLoader as a
// local folder, the speaker of a frame by its pitch on synthesised and plain voices, bridged
// gaps, and embeddings that keep two voices apart (cosines, PLDA projections that VBx keeps as
// two speakers).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numbers>

#include "diarization/clustering_numerics.hpp"
#include "diarization/pyannote_model_loader.hpp"
#include "diarization/vbx.hpp"
#include "platform/fs/file_system.hpp"
#include "support/temporary_folder.hpp"
#include "tools/make-demo-models/diarization_models.hpp"
#include "tools/make-two-voice-audio/two_voice_synth.hpp"

namespace {

namespace fs = std::filesystem;
using dellomar::PyannoteConfig;
using dellomar::PyannoteModelLoader;
using dellomar::SpeakerEmbedding;
using dellomar::SpeakerSegmenterOutput;

std::shared_ptr<PyannoteConfig> localConfig(const fs::path& folder) {
  return std::make_shared<PyannoteConfig>(PyannoteConfig::Flat{
      std::nullopt, "didezuraz/dellomar-coreml", std::nullopt, folder.string(), false, false, "https://huggingface.co",
      "main", false, false, noxtal::Logging::LogLevel::none, true, 2, std::nullopt, nullptr});
}

// One loaded demo model set for the whole suite (loading reads about 1.3 MB of weights).
class DemoModelsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new testsupport::TemporaryFolder("demo-models");
    demomodels::writeDiarizationModels(platform::fs::RealFileSystem::shared(), repository());
    loader_ = new PyannoteModelLoader(localConfig(repository()), dellomar::segmenterModelInfo(std::nullopt, "W8A16"),
                                      dellomar::embedderModelInfo(std::nullopt, "W8A16"), dellomar::pldaModelInfo());
    loader_->load(repository().string(), false, {});
  }
  static void TearDownTestSuite() {
    delete loader_;
    delete folder_;
  }
  static fs::path repository() { return folder_->path() / "dellomar"; }

  // Segmenter outputs of `samples`, in chunk order.
  static std::vector<SpeakerSegmenterOutput> segment(std::span<const float> samples) {
    platform::sync::Channel<SpeakerSegmenterOutput> channel;
    loader_->models()->segmenter->predict(samples, channel);
    std::vector<SpeakerSegmenterOutput> outputs;
    while (auto output = channel.pop()) outputs.push_back(std::move(*output));
    std::sort(outputs.begin(), outputs.end(), [](const auto& a, const auto& b) { return a.chunkIndex() < b.chunkIndex(); });
    return outputs;
  }

  // Per chunk frame (0.1 s): whether local speaker s is active, read from the latest window
  // that holds the frame (window w covers chunk frames 10w to 10w + 99).
  static std::vector<std::array<bool, 2>> chunkActivity(const SpeakerSegmenterOutput& output) {
    const auto ids = output.featureValue("speaker_ids")->multiArrayValue();
    std::vector<std::array<bool, 2>> frames(300);
    for (int f = 0; f < 300; ++f) {
      const int window = std::min(f / 10, 20);
      const int local = f - window * 10;
      for (int s = 0; s < 2; ++s) frames[f][s] = ids.floatAt((window * 100 + local) * 2 + s) != 0;
    }
    return frames;
  }

  static std::vector<SpeakerEmbedding> embed(std::span<const float> samples) {
    std::vector<SpeakerEmbedding> all;
    for (const auto& output : segment(samples)) {
      auto records = loader_->models()->embedder->embed(output);
      all.insert(all.end(), records.begin(), records.end());
    }
    return all;
  }

  static testsupport::TemporaryFolder* folder_;
  static PyannoteModelLoader* loader_;
};
testsupport::TemporaryFolder* DemoModelsTest::folder_ = nullptr;
PyannoteModelLoader* DemoModelsTest::loader_ = nullptr;

struct Tone {
  double hz;
  double amplitude;
};

// A sum of sines.
std::vector<float> tones(double seconds, const std::vector<Tone>& parts) {
  std::vector<float> out(static_cast<std::size_t>(seconds * 16000));
  for (std::size_t n = 0; n < out.size(); ++n) {
    double x = 0;
    for (const Tone& t : parts) x += t.amplitude * std::sin(2 * std::numbers::pi * t.hz * static_cast<double>(n) / 16000);
    out[n] = static_cast<float>(x);
  }
  return out;
}

double cosine(std::span<const float> a, std::span<const float> b) { return 1.0 - dellomar::cosineDistance(a, b); }

TEST_F(DemoModelsTest, EveryRunWritesTheSameBytesInTheRepositoryLayout) {
  testsupport::TemporaryFolder again("demo-models-again");
  demomodels::writeDiarizationModels(platform::fs::RealFileSystem::shared(), again.path());
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(repository())) {
    if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), repository()));
  }
  std::sort(files.begin(), files.end());
  const std::vector<fs::path> expected = {
      "speaker_clusterer/pyannote-v4/W32A32/PldaProjector.mlmodelc/model.json",
      "speaker_clusterer/pyannote-v4/W32A32/PldaProjector.mlmodelc/weights.bin",
      "speaker_embedder/pyannote-v3/W8A16/SpeakerEmbedder.mlmodelc/model.json",
      "speaker_embedder/pyannote-v3/W8A16/SpeakerEmbedder.mlmodelc/weights.bin",
      "speaker_embedder/pyannote-v3/W8A16/SpeakerEmbedderPreprocessor.mlmodelc/model.json",
      "speaker_embedder/pyannote-v3/W8A16/SpeakerEmbedderPreprocessor.mlmodelc/weights.bin",
      "speaker_segmenter/pyannote-v3/W8A16/SpeakerSegmenter.mlmodelc/model.json",
      "speaker_segmenter/pyannote-v3/W8A16/SpeakerSegmenter.mlmodelc/weights.bin"};
  EXPECT_EQ(files, expected);
  for (const fs::path& file : files) {
    EXPECT_EQ(platform::fs::readFile(repository() / file), platform::fs::readFile(again.path() / file)) << file;
  }
}

TEST_F(DemoModelsTest, LoadsAsALocalFolderWithThePipelineGeometry) {
  const auto models = loader_->models();
  ASSERT_TRUE(models);
  EXPECT_EQ(models->segmenter->windowDuration(), 10.0f);
  EXPECT_EQ(models->segmenter->windowOverlap(), 144000);
  EXPECT_EQ(models->segmenter->framesPerWindow(), 100.0f);
  EXPECT_EQ(models->embedder->expectedWaveformSize(), 480000);
  EXPECT_EQ(models->embedder->speakerMaskRowCount(), 42);

  const auto outputs = segment(tones(30, {{110, 0.1}}));
  ASSERT_EQ(outputs.size(), 1u);
  const auto shapeOf = [&](const char* name) { return outputs[0].featureValue(name)->multiArrayValue().shape(); };
  EXPECT_EQ(shapeOf("sliding_window_waveform"), (platform::ml::Shape{21, 1, 160000}));
  EXPECT_EQ(shapeOf("speaker_ids"), (platform::ml::Shape{21, 100, 2}));
  EXPECT_EQ(shapeOf("speaker_activity"), (platform::ml::Shape{21, 2}));
  EXPECT_EQ(shapeOf("overlapped_speaker_activity"), (platform::ml::Shape{21, 100}));
  const auto records = loader_->models()->embedder->embed(outputs[0]);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].embedding.size(), 256u);
  ASSERT_TRUE(records[0].pldaEmbedding);
  EXPECT_EQ(records[0].pldaEmbedding->size(), 128u);
}

TEST_F(DemoModelsTest, EachBandFindsAnyVoiceWhosePitchLiesInIt) {
  // Plain sines anywhere in a band, a louder tone between the bands, near-silence and digital
  // silence (which must stay finite through the logarithm), and harmonic voices whose harmonics
  // outweigh their fundamental: a voice is its fundamental's speaker, wherever its energy lies.
  const struct {
    std::vector<Tone> tones;
    bool low;
    bool high;
  } cases[] = {{{{65, 0.05}}, true, false},
               {{{110, 0.05}}, true, false},
               {{{155, 0.05}}, true, false},
               {{{205, 0.05}}, false, true},
               {{{260, 0.05}}, false, true},
               {{{315, 0.05}}, false, true},
               {{{110, 0.02}}, true, false},
               {{{110, 0.003}}, false, false},
               {{{1000, 0.5}}, false, false},
               {{{0, 0}}, false, false},
               {{{80, 0.03}, {160, 0.06}, {240, 0.1}, {320, 0.08}, {400, 0.04}}, true, false},
               {{{100, 0.03}, {200, 0.08}, {300, 0.1}, {400, 0.05}}, true, false},
               {{{250, 0.05}, {500, 0.1}, {750, 0.08}}, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.tones.front().hz << " Hz at " << c.tones.front().amplitude << " and "
                                    << c.tones.size() - 1 << " more");
    const auto outputs = segment(tones(30, c.tones));
    ASSERT_EQ(outputs.size(), 1u);
    for (const auto& frame : chunkActivity(outputs[0])) {
      ASSERT_EQ(frame[0], c.low);
      ASSERT_EQ(frame[1], c.high);
    }
    const auto activity = outputs[0].featureValue("speaker_activity")->multiArrayValue();
    EXPECT_EQ(activity.floatAt(0), c.low ? 100.0f : 0.0f);
    EXPECT_EQ(activity.floatAt(1), c.high ? 100.0f : 0.0f);
    const auto overlapped = outputs[0].featureValue("overlapped_speaker_activity")->multiArrayValue();
    for (std::int64_t i = 0; i < overlapped.count(); ++i) ASSERT_EQ(overlapped.floatAt(i), 0.0f) << i;
  }
}

// A speaker stays active through gaps of up to 0.4 s, not longer ones; a short turn of the
// other voice inside such a gap is overlap.
TEST_F(DemoModelsTest, ShortGapsAreBridgedAndAnInterjectionInOneIsOverlap) {
  auto samples = tones(30, {{110, 0.05}});
  const auto frameSpan = [&](int first, int last) {  // chunk frames [first, last)
    return std::span<float>(samples).subspan(static_cast<std::size_t>(first) * 1600,
                                             static_cast<std::size_t>(last - first) * 1600);
  };
  for (float& x : frameSpan(50, 54)) x = 0;    // bridged
  for (float& x : frameSpan(100, 105)) x = 0;  // too long
  const auto high = tones(0.2, {{250, 0.05}});
  std::copy(high.begin(), high.end(), frameSpan(150, 152).begin());
  const auto outputs = segment(samples);
  ASSERT_EQ(outputs.size(), 1u);
  const auto frames = chunkActivity(outputs[0]);
  for (int f = 0; f < 300; ++f) {
    ASSERT_EQ(frames[f][0], f < 100 || f >= 105) << f;
    ASSERT_EQ(frames[f][1], f == 150 || f == 151) << f;
  }
  const auto overlapped = outputs[0].featureValue("overlapped_speaker_activity")->multiArrayValue();
  for (std::int64_t w = 0; w < 21; ++w) {
    for (std::int64_t l = 0; l < 100; ++l) {
      const std::int64_t f = 10 * w + l;
      ASSERT_EQ(overlapped.floatAt(w * 100 + l), f == 150 || f == 151 ? 1.0f : 0.0f) << f;
    }
  }
}

TEST_F(DemoModelsTest, SynthesisedTurnsAreFoundFrameByFrame) {
  const auto recording = twovoice::synthesize({30, 11, 2});
  const auto outputs = segment(recording.samples);
  ASSERT_EQ(outputs.size(), 1u);
  const auto frames = chunkActivity(outputs[0]);
  int compared = 0;
  int agreed = 0;
  for (int f = 0; f < 300; ++f) {
    const double t = (f + 0.5) / 10;
    std::array<bool, 2> truth{false, false};
    bool nearBoundary = false;
    for (const auto& turn : recording.turns) {
      if (t >= turn.start() && t < turn.end()) truth[static_cast<std::size_t>(turn.voice)] = true;
      nearBoundary |= std::fabs(t - turn.start()) < 0.15 || std::fabs(t - turn.end()) < 0.15;
    }
    if (nearBoundary) continue;
    ++compared;
    agreed += frames[f] == truth ? 1 : 0;
  }
  ASSERT_GT(compared, 200);
  EXPECT_EQ(agreed, compared);
}

TEST_F(DemoModelsTest, EmbeddingsKeepTwoVoicesApartAndVBxKeepsBoth) {
  const auto recording = twovoice::synthesize({120, 5, 2});
  const auto records = embed(recording.samples);
  std::map<int, std::vector<const SpeakerEmbedding*>> byVoice;
  for (const auto& r : records) byVoice[r.speakerIndex].push_back(&r);
  ASSERT_EQ(byVoice.size(), 2u);
  ASSERT_GT(byVoice[0].size(), 20u);
  ASSERT_GT(byVoice[1].size(), 20u);
  double worstSame = 1;
  double worstOther = -1;
  for (const auto& [voice, list] : byVoice) {
    for (const auto* a : list) {
      worstSame = std::min(worstSame, cosine(a->embedding, list.front()->embedding));
      worstOther = std::max(worstOther, cosine(a->embedding, byVoice[1 - voice].front()->embedding));
    }
  }
  EXPECT_GT(worstSame, 0.95);
  EXPECT_LT(worstOther, 0.3);

  // The clustering road: agglomerative clustering at 0.6 on the normalised embeddings, then VBx
  // on the PLDA projections with the pipeline's parameters, keeps both voices.
  dellomar::VectorList normalised;
  dellomar::VectorList projected;
  std::vector<int> voices;
  for (const auto& r : records) {
    if (r.nonOverlappedFrameRatio <= 0.2f) continue;
    dellomar::Vector v = r.embedding;
    float norm = 0;
    for (const float x : v) norm += x * x;
    for (float& x : v) x /= std::sqrt(norm);
    normalised.push_back(v);
    projected.push_back(*r.pldaEmbedding);
    voices.push_back(r.speakerIndex);
  }
  const auto flat = dellomar::flatClusters(dellomar::centroidLinkage(normalised), 0.6f);
  ASSERT_EQ(*std::max_element(flat.begin(), flat.end()), 1);
  const auto result = dellomar::vbx(flat, projected, 20, false, 0.07f, 0.8f, 7.0f);
  ASSERT_EQ(result.pi.size(), 2u);
  EXPECT_GT(result.pi[0], 0.1f);
  EXPECT_GT(result.pi[1], 0.1f);
  for (std::size_t t = 0; t < voices.size(); ++t) {
    const int best = result.gamma[t][0] >= result.gamma[t][1] ? 0 : 1;
    ASSERT_EQ(best, flat[t] == flat[0] ? 0 : 1) << t;
    ASSERT_EQ(voices[t] == voices[0], flat[t] == flat[0]) << t;
  }
}

}  // namespace
