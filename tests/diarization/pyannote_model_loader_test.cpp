// Model identities and the pyannote model loader over a repository folder of scripted models:
// variants, the download patterns, the local-folder short-cut, load/prewarm/unload, failed loads
// that keep the held set, shape disagreements, and snapshots read while the set changes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/hub/model_downloader.hpp"
#include "diarization/dellomar_error.hpp"
#include "diarization/diarization_test_models.hpp"
#include "diarization/pyannote_model_loader.hpp"
#include "support/model_folder_writer.hpp"

namespace dellomar {
namespace {

namespace fs = std::filesystem;
using testmodels::Geometry;

class RecordingDownloader final : public noxtal::ModelDownloader {
 public:
  RecordingDownloader() : ModelDownloader(defaultDellomarDownloadConfig()) {}
  fs::path resolveRepo(const std::vector<std::string>& patterns, const std::optional<fs::path>& downloadBase,
                       bool download, const ProgressCallback&, std::stop_token) override {
    ++calls;
    this->patterns = patterns;
    this->downloadBase = downloadBase;
    this->download = download;
    return "/resolved/repo";
  }
  int calls = 0;
  std::vector<std::string> patterns;
  std::optional<fs::path> downloadBase;
  bool download = false;
};

std::shared_ptr<PyannoteConfig> configWith(std::optional<std::string> modelFolder, std::optional<std::string> base,
                                           bool download) {
  return std::make_shared<PyannoteConfig>(
      PyannoteConfig::Flat{std::move(base), "didezuraz/dellomar-coreml", std::nullopt, std::move(modelFolder), download,
                           false, "https://huggingface.co", "main", false, false, noxtal::Logging::LogLevel::none,
                           true, 2, std::nullopt, nullptr});
}

class PyannoteModelLoaderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { testmodels::registerPrograms(); }

  // Writes the repository layout for the default (OS 15) identities.
  void writeRepository(const Geometry& g = pyannoteGeometry()) {
    testmodels::writeSegmenter(repo() / "speaker_segmenter" / "pyannote-v3" / "W8A16", g);
    testmodels::writeEmbedders(repo() / "speaker_embedder" / "pyannote-v3" / "W8A16",
                               repo() / "speaker_clusterer" / "pyannote-v4" / "W32A32", g);
  }
  static Geometry pyannoteGeometry() {
    Geometry g;
    g.k = 21;
    g.f = 20;
    g.s = 3;
    return g;
  }
  fs::path repo() const { return root_.path() / "repo"; }
  std::unique_ptr<PyannoteModelLoader> loader(std::shared_ptr<PyannoteConfig> config = configWith(std::nullopt,
                                                                                                    std::nullopt, true)) {
    return std::make_unique<PyannoteModelLoader>(std::move(config), segmenterModelInfo(), embedderModelInfo(),
                                                 pldaModelInfo());
  }

  testsupport::TemporaryFolder root_;
};

TEST(ModelIdentities, VariantsFollowTheOperatingSystemVersion) {
  const struct {
    platform::sys::OperatingSystemVersion os;
    const char* segmenter;
    const char* embedder;
  } cases[] = {{{13, 6, 0}, "W32A32", "W16A16"}, {{14, 0, 0}, "W32A32", "W8A16"}, {{15, 0, 0}, "W8A16", "W8A16"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.os.description());
    const auto segmenter = segmenterModelInfo(std::nullopt, std::nullopt, platform::ml::ComputeUnits::cpuOnly, c.os);
    const auto embedder = embedderModelInfo(std::nullopt, std::nullopt, platform::ml::ComputeUnits::cpuOnly, c.os);
    EXPECT_EQ(segmenter.variant(), c.segmenter);
    EXPECT_EQ(embedder.variant(), c.embedder);
    EXPECT_EQ(segmenter.version(), "pyannote-v3");
    EXPECT_EQ(embedder.name(), "speaker_embedder");
  }
  EXPECT_EQ(segmenterModelInfo().variant(), "W8A16");  // Linux reports 15.0.0
  EXPECT_EQ(embedderModelInfo().computeUnits(), platform::ml::ComputeUnits::cpuAndNeuralEngine);
  EXPECT_EQ(segmenterModelInfo("v9", "X").downloadPattern(), "speaker_segmenter/v9/X/*");
  EXPECT_EQ(pldaModelInfo(), noxtal::ModelInfo("pyannote-v4", "W32A32", "speaker_clusterer",
                                               platform::ml::ComputeUnits::cpuOnly));
}

TEST_F(PyannoteModelLoaderTest, ResolveUsesTheLocalFolderOrAsksForThreePatternsInOrder) {
  RecordingDownloader downloader;
  auto local = loader(configWith("/models/here", std::nullopt, true));
  EXPECT_EQ(local->modelFolder(), "/models/here");
  EXPECT_EQ(local->resolveModels(downloader, nullptr, {}), "/models/here");
  EXPECT_EQ(downloader.calls, 0);

  auto remote = loader(configWith(std::nullopt, std::nullopt, false));
  EXPECT_FALSE(remote->modelFolder());
  EXPECT_EQ(remote->resolveModels(downloader, nullptr, {}), "/resolved/repo");
  EXPECT_EQ(downloader.patterns, (std::vector<std::string>{"speaker_segmenter/pyannote-v3/W8A16/*",
                                                           "speaker_embedder/pyannote-v3/W8A16/*",
                                                           "speaker_clusterer/pyannote-v4/W32A32/*"}));
  EXPECT_FALSE(downloader.downloadBase);
  EXPECT_FALSE(downloader.download);

  auto config = configWith(std::nullopt, "/base", false);
  auto withBase = loader(config);
  config->download = true;  // read at the call, not at construction
  withBase->resolveModels(downloader, nullptr, {});
  EXPECT_EQ(downloader.downloadBase, fs::path("/base"));
  EXPECT_TRUE(downloader.download);
}

TEST_F(PyannoteModelLoaderTest, LoadPrewarmUnloadAndReplace) {
  writeRepository();
  auto subject = loader();
  subject->load(repo().string(), true, {});
  EXPECT_FALSE(subject->models());

  subject->load(repo().string(), false, {});
  const auto first = subject->models();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->modelInfos(), (std::vector<noxtal::ModelInfo>{segmenterModelInfo(), embedderModelInfo(),
                                                                   pldaModelInfo()}));
  EXPECT_EQ(first->segmenter->modelState(), noxtal::ModelState::loaded);
  EXPECT_EQ(first->segmenter->modelURL().filename(), "SpeakerSegmenter.mlmodelc");
  EXPECT_TRUE(first->segmenter->useFullRedundancy());
  EXPECT_EQ(first->segmenter->concurrentWorkers(), 2);
  EXPECT_EQ(first->embedder->modelState(), noxtal::ModelState::loaded);
  ASSERT_NE(first->embedder->pldaModel(), nullptr);
  EXPECT_EQ(first->embedder->pldaModel()->computeUnits(), platform::ml::ComputeUnits::cpuOnly);
  EXPECT_EQ(first->embedder->preprocessorModel().computeUnits(), platform::ml::ComputeUnits::cpuOnly);
  EXPECT_EQ(first->embedder->computeUnits(), platform::ml::ComputeUnits::cpuAndNeuralEngine);

  subject->load(repo().string(), true, {});
  EXPECT_EQ(subject->models(), first);  // a prewarm leaves the set alone

  subject->load(repo().string(), false, {});
  const auto second = subject->models();
  EXPECT_NE(second, first);
  EXPECT_EQ(first->segmenter->modelState(), noxtal::ModelState::loaded);  // still held by `first`

  subject->unload();
  EXPECT_FALSE(subject->models());
  EXPECT_EQ(second->segmenter->modelState(), noxtal::ModelState::unloaded);
  EXPECT_FALSE(second->embedder->model());
  EXPECT_FALSE(second->embedder->pldaModel()->model());
  subject->unload();  // nothing held: nothing happens
  EXPECT_FALSE(subject->models());
}

TEST_F(PyannoteModelLoaderTest, FailedLoadsKeepTheHeldSet) {
  writeRepository();
  auto subject = loader();
  subject->load(repo().string(), false, {});
  const auto held = subject->models();

  fs::remove_all(repo() / "speaker_clusterer");
  try {
    subject->load(repo().string(), false, {});
    FAIL() << "expected modelUnavailable";
  } catch (const DellomarError& error) {
    EXPECT_EQ(error.errorCase(), DellomarError::Case::modelUnavailable);
    EXPECT_NE(error.message().find("PldaProjector.mlmodelc"), std::string::npos) << error.message();
  }
  EXPECT_EQ(subject->models(), held);
  EXPECT_EQ(held->embedder->modelState(), noxtal::ModelState::loaded);

  auto fresh = loader();
  EXPECT_THROW(fresh->load((root_.path() / "missing").string(), false, {}), DellomarError);
  EXPECT_FALSE(fresh->models());
}

TEST_F(PyannoteModelLoaderTest, DisagreeingShapesAreNamedAndRefused) {
  struct Case {
    const char* what;
    Geometry geometry;
    const char* fragment;
  };
  std::vector<Case> cases;
  Geometry rows = pyannoteGeometry();
  rows.maskRows = 62;
  cases.push_back({"mask rows", rows, "Model SpeakerEmbedder.mlmodelc feature speaker_masks has shape [1, 62, 60], expected [1, 63, 60]"});
  Geometry frames = pyannoteGeometry();
  frames.maskFrames = 59;
  cases.push_back({"mask frames", frames, "speaker_masks has shape [1, 63, 59], expected [1, 63, 60]"});
  Geometry plda = pyannoteGeometry();
  plda.pldaColumns = 64;
  cases.push_back({"PLDA columns", plda, "Model PldaProjector.mlmodelc feature plda_embeddings has shape [1, -1, 64]"});
  Geometry width = pyannoteGeometry();
  width.embeddingWidth = 5;
  cases.push_back({"embedding width", width,
                   "Model PldaProjector.mlmodelc feature embeddings has shape [1, -1, 4], expected [1, V, 5]"});
  Geometry pre = pyannoteGeometry();
  pre.preWaveform = 160000;
  cases.push_back({"pre-embedder waveform", pre, "SpeakerEmbedderPreprocessor.mlmodelc feature waveforms"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(repo());
    writeRepository(pyannoteGeometry());
    auto subject = loader();
    subject->load(repo().string(), false, {});
    const auto held = subject->models();
    fs::remove_all(repo());
    writeRepository(c.geometry);
    try {
      subject->load(repo().string(), false, {});
      FAIL() << "expected invalidModelOutput";
    } catch (const DellomarError& error) {
      EXPECT_EQ(error.errorCase(), DellomarError::Case::invalidModelOutput);
      EXPECT_NE(error.message().find(c.fragment), std::string::npos) << error.message();
    }
    EXPECT_EQ(subject->models(), held);
  }
}

TEST_F(PyannoteModelLoaderTest, SnapshotsStayUsableWhileLoadAndUnloadRun) {
  Geometry g;  // small: 3 windows, 2 speakers
  writeRepository(g);
  auto subject = loader();
  subject->load(repo().string(), false, {});
  std::atomic<bool> done{false};
  std::atomic<int> reads{0};
  std::vector<std::jthread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!done) {
        if (const auto models = subject->models()) {
          (void)models->segmenter->modelState();
          (void)models->segmenter->windowDuration();
          (void)models->embedder->speakerMaskRowCount();
          ++reads;
        }
      }
    });
  }
  for (int i = 0; i < 5; ++i) {
    subject->unload();
    subject->load(repo().string(), false, {});
  }
  while (reads < 10) std::this_thread::yield();
  done = true;
  readers.clear();
  ASSERT_TRUE(subject->models());
  EXPECT_EQ(subject->models()->segmenter->modelState(), noxtal::ModelState::loaded);
}

}  // namespace
}  // namespace dellomar
