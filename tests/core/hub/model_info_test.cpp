#include "core/hub/model_info.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/hub/noxtal_core_error.hpp"

namespace noxtal {
namespace {

using platform::ml::ComputeUnits;
using std::nullopt;

struct IdentityCase {
  std::optional<std::string> version;
  std::optional<std::string> variant;
  std::string pattern;
  std::string url;  // modelURL of /cache/repo
  std::string description;
  std::string debugDescription;
};

TEST(ModelInfoTest, PatternFolderAndTexts) {
  const IdentityCase cases[] = {
      {"pyannote-v3", "W8A16", "m/pyannote-v3/W8A16/*", "/cache/repo/m/pyannote-v3/W8A16", "m/pyannote-v3/W8A16",
       "ModelInfo(name: m, version: pyannote-v3, variant: W8A16, computeUnit: cpuOnly)"},
      {nullopt, nullopt, "m/*/*/*", "/cache/repo/m", "m",
       "ModelInfo(name: m, version: nil, variant: nil, computeUnit: cpuOnly)"},
      {nullopt, "v", "m/*/v/*", "/cache/repo/m/v", "m/v",
       "ModelInfo(name: m, version: nil, variant: v, computeUnit: cpuOnly)"},
      {"1", nullopt, "m/1/*/*", "/cache/repo/m/1", "m/1",
       "ModelInfo(name: m, version: 1, variant: nil, computeUnit: cpuOnly)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    const ModelInfo info(c.version, c.variant, "m", ComputeUnits::cpuOnly);
    EXPECT_EQ(info.downloadPattern(), c.pattern);
    EXPECT_EQ(info.modelURL("/cache/repo"), std::filesystem::path(c.url));
    EXPECT_EQ(info.description(), c.description);
    EXPECT_EQ(info.debugDescription(), c.debugDescription);
  }
}

TEST(ModelInfoTest, ComputeUnitWordsInDebugText) {
  const struct {
    ComputeUnits units;
    const char* word;
  } cases[] = {
      {ComputeUnits::cpuOnly, "cpuOnly"},
      {ComputeUnits::cpuAndGPU, "cpuAndGPU"},
      {ComputeUnits::all, "all"},
      {ComputeUnits::cpuAndNeuralEngine, "cpuAndNeuralEngine"},
      {static_cast<ComputeUnits>(9), "unknown"},
  };
  for (const auto& c : cases) {
    const ModelInfo info("pyannote-v4", "W32A32", "speaker_clusterer", c.units);
    EXPECT_EQ(info.debugDescription(), std::string("ModelInfo(name: speaker_clusterer, version: pyannote-v4, variant: "
                                                   "W32A32, computeUnit: ") +
                                           c.word + ")");
  }
}

TEST(ModelInfoTest, FindBaseFolder) {
  const ModelInfo info(nullopt, nullopt, "m", ComputeUnits::all);
  const struct {
    const char* url;
    const char* base;  // null: absent
  } cases[] = {
      {"/a/m/x/y", "/a"},  {"/m", "/"},          {"/a/b/c", nullptr}, {"/a/m/b/m/c", "/a/m/b"},  // the innermost match
      {"/a/m", "/a"},                             // the URL itself is tested first
      {"/a/m/", "/a"},     {"/a/mm/x", nullptr},  // exact component match only
      {"/a/M/x", nullptr}, {"/", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    const auto found = info.findBaseFolder(c.url);
    ASSERT_EQ(found.has_value(), c.base != nullptr);
    if (found) {
      EXPECT_EQ(*found, std::filesystem::path(c.base));
    }
  }
}

TEST(ModelInfoTest, ErrorsDescribeThemselvesByTheirMessage) {
  const auto downloaderError = ModelDownloaderError::modelUnavailable("x");
  EXPECT_EQ(downloaderError.errorDescription(), "x");
  EXPECT_STREQ(downloaderError.what(), "x");
  EXPECT_EQ(downloaderError.errorCase(), ModelDownloaderError::Case::modelUnavailable);
  const auto coreError = NoxtalCoreError::invalidConfiguration("bad");
  EXPECT_EQ(coreError.errorDescription(), "bad");
  EXPECT_STREQ(coreError.what(), "bad");
}

TEST(ModelDownloadConfigTest, KeepsEveryField) {
  const ModelDownloadConfig config("/base", "org/repo", "tok", "/folder", true, "https://hub.example", "v2");
  EXPECT_EQ(config.downloadBase(), "/base");
  EXPECT_EQ(config.modelRepo(), "org/repo");
  EXPECT_EQ(config.modelToken(), "tok");
  EXPECT_EQ(config.modelFolder(), "/folder");
  EXPECT_TRUE(config.useBackgroundSession());
  EXPECT_EQ(config.endpoint(), "https://hub.example");
  EXPECT_EQ(config.revision(), "v2");
}

}  // namespace
}  // namespace noxtal
