#include "core/hub/model_downloader.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "core/hub/log_capture.hpp"
#include "core/hub/scoped_environment.hpp"
#include "core/logging.hpp"
#include "platform/sync/cancellation.hpp"
#include "support/fake_hub/fake_hub.hpp"

namespace noxtal {
namespace {

namespace fs = std::filesystem;
using platform::ml::ComputeUnits;

void writeFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

using testing::LogCapture;

const ModelInfo kSegmenter("pyannote-v3", "W8A16", "speaker_segmenter", ComputeUnits::cpuOnly);
const ModelInfo kEmbedder("pyannote-v3", std::nullopt, "speaker_embedder", ComputeUnits::all);

// A fake hub serving "org/repo" with two models and a configuration file, a download base and a
// model folder below one temporary root, and a clean environment.
class ModelDownloaderTest : public ::testing::Test {
 protected:
  ModelDownloaderTest() {
    environment.set("CI_DISABLE_NETWORK_MONITOR", "1");
    const fs::path repo = environment.root() / "served";
    writeFile(repo / "speaker_segmenter/pyannote-v3/W8A16/SpeakerSegmenter.mlmodelc/model.json",
              "{\"program\": \"seg\"}");
    writeFile(repo / "speaker_segmenter/pyannote-v3/W8A16/SpeakerSegmenter.mlmodelc/weights.bin",
              std::string(3000, 's'));
    writeFile(repo / "speaker_embedder/pyannote-v3/W32A32/SpeakerEmbedder.mlmodelc/model.json",
              "{\"program\": \"emb\"}");
    writeFile(repo / "config.json", "{}");
    hub.addRepository("org/repo", repo);
  }

  ModelDownloadConfig config(std::optional<std::string> modelFolder = std::nullopt) const {
    return ModelDownloadConfig(base().string(), "org/repo", std::string(), std::move(modelFolder), false,
                               hub.endpoint(), "main");
  }
  fs::path base() const { return environment.root() / "cache"; }
  fs::path repoDir() const { return base() / "models/org/repo"; }

  testing::ScopedEnvironment environment;
  fake_hub::FakeHub hub;
  LogCapture log;
  std::vector<ModelState> states;
  ModelDownloader::StateCallback recordState = [this](ModelState state) { states.push_back(state); };
};

TEST_F(ModelDownloaderTest, ResolveModelFromTheModelFolderAsksNoHub) {
  const fs::path folder = environment.root() / "local";
  fs::create_directories(kSegmenter.modelURL(folder) / "SpeakerSegmenter.mlmodelc");

  ModelDownloader fromConfig(config(folder.string()));
  const fs::path found =
      fromConfig.resolveModel("SpeakerSegmenter", kSegmenter, std::nullopt, std::nullopt, true, recordState);
  EXPECT_EQ(found, folder / "speaker_segmenter/pyannote-v3/W8A16/SpeakerSegmenter.mlmodelc");

  ModelDownloader fromArgument(config());
  EXPECT_EQ(fromArgument.resolveModelPath("SpeakerSegmenter", kSegmenter, folder, std::nullopt, false, recordState),
            found.string());

  EXPECT_TRUE(states.empty());
  EXPECT_EQ(hub.requestCount(), 0u);
  EXPECT_TRUE(log.contains("[ModelDownloader] Found SpeakerSegmenter in model folder"));
}

TEST_F(ModelDownloaderTest, ResolveModelWithDownloadDisabledAndAnEmptyCache) {
  ModelDownloader downloader(config());
  try {
    downloader.resolveModel("SpeakerSegmenter", kSegmenter, std::nullopt, std::nullopt, false, recordState);
    FAIL() << "resolved without any copy";
  } catch (const ModelDownloaderError& error) {
    EXPECT_STREQ(error.what(), "No model found for SpeakerSegmenter (download disabled)");
  }
  EXPECT_TRUE(states.empty());
  EXPECT_EQ(hub.requestCount(), 0u);  // the cache attempt verifies locally only
  EXPECT_EQ(log.count("[ModelDownloader] Searching for models matching \"speaker_segmenter/pyannote-v3/W8A16/*\" in "
                      "Repo(id: \"org/repo\", type: models)"),
            1);
  EXPECT_EQ(log.count("[ModelDownloader] Downloading model speaker_segmenter/pyannote-v3/W8A16/* with offline mode: "
                      "true"),
            1);
}

// A downloader whose cache attempt (the offline downloadModel) fails with a chosen error; the
// online download runs as usual.
class FailingCacheDownloader : public ModelDownloader {
 public:
  FailingCacheDownloader(ModelDownloadConfig config, std::function<void()> failCacheAttempt)
      : ModelDownloader(std::move(config)), failCacheAttempt_(std::move(failCacheAttempt)) {}

  std::filesystem::path downloadModel(const ModelInfo& modelInfo,
                                      const std::optional<std::filesystem::path>& downloadBase,
                                      std::optional<bool> useOfflineMode, std::stop_token stopToken) override {
    if (useOfflineMode == true) failCacheAttempt_();
    return ModelDownloader::downloadModel(modelInfo, downloadBase, useOfflineMode, std::move(stopToken));
  }

 private:
  std::function<void()> failCacheAttempt_;
};

TEST_F(ModelDownloaderTest, ResolveModelLogsWhatTheCacheAttemptSwallowed) {
  // The real cache attempt on an empty cache: its error is named in a debug line.
  {
    ModelDownloader downloader(config());
    EXPECT_THROW(downloader.resolveModel("SpeakerSegmenter", kSegmenter, std::nullopt, std::nullopt, false, nullptr),
                 ModelDownloaderError);
    EXPECT_EQ(log.count("[ModelDownloader] No usable cached copy of SpeakerSegmenter ("), 1);
  }
  // Any error of the attempt, ours or not, is logged and the download follows.
  const std::function<void()> failures[] = {
      [] { throw HubApiEnvironmentError::fileIntegrityError("hash mismatch for weights.bin"); },
      [] { throw 42; },
  };
  const char* expectedLines[] = {
      "[ModelDownloader] No usable cached copy of SpeakerSegmenter (File integrity check failed: hash mismatch for "
      "weights.bin); looking further.",
      "[ModelDownloader] No usable cached copy of SpeakerSegmenter (unknown error); looking further.",
  };
  for (std::size_t i = 0; i < std::size(failures); ++i) {
    log.clear();
    states.clear();
    FailingCacheDownloader downloader(config(), failures[i]);
    EXPECT_EQ(downloader.resolveModel("SpeakerSegmenter", kSegmenter, std::nullopt, std::nullopt, true, recordState),
              repoDir() / "speaker_segmenter/pyannote-v3/W8A16/SpeakerSegmenter.mlmodelc");
    EXPECT_EQ(log.count(expectedLines[i]), 1) << expectedLines[i];
    EXPECT_EQ(states, (std::vector<ModelState>{ModelState::downloading, ModelState::downloaded}));
  }
  // A cancellation is not a missing cache: it ends the resolution before any download.
  states.clear();
  const auto requestsBefore = hub.requestCount();
  FailingCacheDownloader cancelled(config(), [] { throw platform::sync::CancellationError(); });
  EXPECT_THROW(cancelled.resolveModel("SpeakerSegmenter", kSegmenter, std::nullopt, std::nullopt, true, recordState),
               platform::sync::CancellationError);
  EXPECT_TRUE(states.empty());
  EXPECT_EQ(hub.requestCount(), requestsBefore);
}

TEST_F(ModelDownloaderTest, ResolveModelDownloadsThenUsesTheCacheWhileTheHubIsDown) {
  ModelDownloader downloader(config());
  const fs::path expected = repoDir() / "speaker_segmenter/pyannote-v3/W8A16/SpeakerSegmenter.mlmodelc";

  EXPECT_EQ(downloader.resolveModel("SpeakerSegmenter", kSegmenter, std::nullopt, std::nullopt, true, recordState),
            expected);
  EXPECT_EQ(states, (std::vector<ModelState>{ModelState::downloading, ModelState::downloaded}));
  EXPECT_TRUE(fs::exists(expected / "weights.bin"));
  EXPECT_FALSE(fs::exists(repoDir() / "speaker_embedder"));  // only the model's own files
  EXPECT_TRUE(log.contains("[ModelDownloader] Downloaded SpeakerSegmenter"));
  EXPECT_TRUE(log.contains(
      "[ModelDownloader] Downloading model speaker_segmenter/pyannote-v3/W8A16/* with offline mode: false"));

  // The hub now fails every request: the complete cache is still used, without asking it.
  hub.clearRequests();
  hub.addFault(fake_hub::Fault::answerStatus(503));
  states.clear();
  EXPECT_EQ(downloader.resolveModel("SpeakerSegmenter", kSegmenter, std::nullopt, std::nullopt, true, recordState),
            expected);
  EXPECT_EQ(states, std::vector<ModelState>{ModelState::downloaded});
  EXPECT_EQ(hub.requestCount(), 0u);
  EXPECT_TRUE(log.contains("[ModelDownloader] Found existing SpeakerSegmenter in cache"));
}

TEST_F(ModelDownloaderTest, ResolveModelReportsADownloadWithoutTheCompiledModel) {
  ModelDownloader downloader(config());
  try {
    downloader.resolveModel("Missing", kSegmenter, std::nullopt, std::nullopt, true, recordState);
    FAIL() << "resolved a model that is not in the repository";
  } catch (const ModelDownloaderError& error) {
    EXPECT_STREQ(error.what(), "No model found for Missing");
  }
  EXPECT_EQ(states, std::vector<ModelState>{ModelState::downloading});
}

TEST_F(ModelDownloaderTest, ResolveModelPassesHubErrorsOfTheDownload) {
  hub.addFault(fake_hub::Fault::answerStatus(500));
  ModelDownloader downloader(config());
  EXPECT_THROW(downloader.resolveModel("SpeakerSegmenter", kSegmenter, std::nullopt, std::nullopt, true, recordState),
               Hub::HubClientError);
}

TEST_F(ModelDownloaderTest, PatternPresenceRule) {
  fs::create_directories(repoDir() / "speaker_segmenter/pyannote-v3/W8A16");
  writeFile(repoDir() / "speaker_segmenter/pyannote-v3/W8A16/x", "x");
  fs::create_directories(repoDir() / "empty/v1");
  writeFile(repoDir() / "config.json", "{}");
  writeFile(repoDir() / "hidden/.only", "");
  const struct {
    const char* pattern;
    bool present;
  } cases[] = {
      {"speaker_segmenter/pyannote-v3/W8A16/*", true},
      {"speaker_segmenter/*/*/*", true},
      {"//speaker_segmenter//pyannote-v3/*", true},   // empty pieces are dropped
      {"speaker_segmenter/pyannote-v3/W8A16", true},  // no wildcard: the whole path
      {"hidden/*", true},                             // hidden entries count
      {"*/W8A16/*", false},                           // no literal lead
      {"", false},
      {"config.json", false},                            // a file, not a folder
      {"empty/v1/*", false},                             // an empty folder
      {"speaker_embedder/*/*/*", false},                 // missing
      {"speaker_segmenter/pyannote-v?/W8A16/*", false},  // only "*" is a wildcard here
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ModelDownloader::isPatternPresentLocally(repoDir(), c.pattern), c.present) << c.pattern;
  }
}

TEST_F(ModelDownloaderTest, ResolveRepoByCacheState) {
  ModelDownloader downloader(config());
  const std::vector<std::string> patterns = {kSegmenter.downloadPattern(), kEmbedder.downloadPattern(), "config.json"};
  const std::vector<std::string> modelPatterns = {kSegmenter.downloadPattern(), kEmbedder.downloadPattern()};
  const std::string disabled = "No valid local models found for repo 'org/repo' and download is disabled.";

  // Empty cache, download disabled: refused without any request.
  try {
    downloader.resolveRepo(modelPatterns, std::nullopt, false, nullptr);
    FAIL() << "resolved from an empty cache";
  } catch (const ModelDownloaderError& error) {
    EXPECT_EQ(error.what(), disabled);
  }
  EXPECT_EQ(hub.requestCount(), 0u);

  // Download with progress; the info line counts patterns, not files.
  std::atomic<int> progressCalls{0};
  EXPECT_EQ(downloader.resolveRepo(patterns, std::nullopt, true, [&](const Progress&) { ++progressCalls; }), repoDir());
  EXPECT_GT(progressCalls, 0);
  EXPECT_TRUE(log.contains("[ModelDownloader] Downloading 3 model(s) from org/repo..."));
  EXPECT_TRUE(log.contains("[ModelDownloader] Download complete: " + repoDir().string()));
  EXPECT_TRUE(fs::exists(repoDir() / "speaker_embedder/pyannote-v3/W32A32/SpeakerEmbedder.mlmodelc/model.json"));

  // Complete cache: found without the hub, also with an empty pattern list.
  hub.clearRequests();
  EXPECT_EQ(downloader.resolveRepo(modelPatterns, std::nullopt, false, nullptr), repoDir());
  EXPECT_EQ(downloader.resolveRepo({}, std::nullopt, false, nullptr), repoDir());
  EXPECT_EQ(hub.requestCount(), 0u);
  EXPECT_TRUE(log.contains("[ModelDownloader] Found valid local cache at " + repoDir().string()));

  // A file pattern never passes the presence rule.
  EXPECT_THROW(downloader.resolveRepo({"config.json"}, std::nullopt, false, nullptr), ModelDownloaderError);

  // Folders present but a metadata record missing: verification fails, then a download runs.
  fs::remove(repoDir() /
             ".cache/huggingface/download/speaker_embedder/pyannote-v3/W32A32/SpeakerEmbedder.mlmodelc/"
             "model.json.metadata");
  try {
    downloader.resolveRepo(modelPatterns, std::nullopt, false, nullptr);
    FAIL() << "an unverifiable cache was accepted";
  } catch (const ModelDownloaderError& error) {
    EXPECT_EQ(error.what(), disabled);
  }
  EXPECT_TRUE(log.contains("[ModelDownloader] Local cache for 'org/repo' didn't validate ("));
  EXPECT_EQ(hub.requestCount(), 0u);
  EXPECT_EQ(downloader.resolveRepo(modelPatterns, std::nullopt, true, nullptr), repoDir());
  EXPECT_GT(hub.requestCount(), 0u);
  EXPECT_EQ(downloader.resolveRepo(modelPatterns, std::nullopt, false, nullptr), repoDir());
}

TEST_F(ModelDownloaderTest, ListingAndLocations) {
  ModelDownloader downloader(config());
  EXPECT_EQ(downloader.fetchFilenames({"speaker_*/*/*/*/model.json"}, std::nullopt),
            (std::vector<std::string>{"speaker_embedder/pyannote-v3/W32A32/SpeakerEmbedder.mlmodelc/model.json",
                                      "speaker_segmenter/pyannote-v3/W8A16/SpeakerSegmenter.mlmodelc/model.json"}));

  EXPECT_EQ(downloader.localRepoLocation(std::nullopt), repoDir());
  EXPECT_EQ(downloader.localRepoLocation(fs::path("/elsewhere")), fs::path("/elsewhere/models/org/repo"));
  ModelDownloader withoutBase(hub.endpoint(), "org/repo", std::nullopt, "main", false);
  EXPECT_EQ(withoutBase.localRepoLocation(std::nullopt), HubApi().downloadBase / "models/org/repo");
  EXPECT_EQ(withoutBase.config().downloadBase(), std::nullopt);
  EXPECT_EQ(withoutBase.config().modelFolder(), std::nullopt);
}

}  // namespace
}  // namespace noxtal
