#include <gtest/gtest.h>

#include <fstream>

#include "core/hub/hub_api.hpp"
#include "scoped_environment.hpp"

namespace noxtal {
namespace {

void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

// Which sources exist and what they hold; "" = present but empty, nullopt = missing.
struct TokenCase {
  const char* name;
  std::optional<std::string> hfToken, hubToken, tokenPathFile, hfHomeFile, cacheFile, dotFile;
  bool tokenPathPointsToMissingFile;
  std::optional<std::string> expected;
};

TEST(HubConfigTest, TokenSourcesAreTriedInOrderAndEmptyOnesFallThrough) {
  const TokenCase cases[] = {
      {"all present: HF_TOKEN wins", "t1", "t2", "t3", "t4", "t5", "t6", false, "t1"},
      {"empty HF_TOKEN falls through", "", "t2", "t3", "t4", "t5", "t6", false, "t2"},
      {"token path file", std::nullopt, "", "t3", "t4", "t5", "t6", false, "t3"},
      {"empty token path file", std::nullopt, std::nullopt, "", "t4", "t5", "t6", false, "t4"},
      {"missing token path file", std::nullopt, std::nullopt, std::nullopt, "t4", "t5", "t6", true, "t4"},
      {"cache file", std::nullopt, std::nullopt, std::nullopt, std::nullopt, "t5", "t6", true, "t5"},
      {"dot file", std::nullopt, std::nullopt, std::nullopt, "", "", "t6", false, "t6"},
      {"line breaks of token files are dropped", std::nullopt, std::nullopt, "tok\r\n", std::nullopt, std::nullopt,
       std::nullopt, false, "tok"},
      {"a file of line breaks only counts as empty", std::nullopt, std::nullopt, "\n", std::nullopt, "t5\n",
       std::nullopt, false, "t5"},
      {"no source", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, false,
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScopedEnvironment env;
    if (c.hfToken) env.set("HF_TOKEN", *c.hfToken);
    if (c.hubToken) env.set("HUGGING_FACE_HUB_TOKEN", *c.hubToken);
    if (c.tokenPathFile) {
      writeFile(env.root() / "tokens" / "token-file", *c.tokenPathFile);
      env.set("HF_TOKEN_PATH", (env.root() / "tokens" / "token-file").string());
    } else if (c.tokenPathPointsToMissingFile) {
      env.set("HF_TOKEN_PATH", (env.root() / "missing").string());
    }
    if (c.hfHomeFile) {
      writeFile(env.root() / "hf-home" / "token", *c.hfHomeFile);
      env.set("HF_HOME", (env.root() / "hf-home").string());
    }
    if (c.cacheFile) writeFile(env.home() / ".cache" / "huggingface" / "token", *c.cacheFile);
    if (c.dotFile) writeFile(env.home() / ".huggingface" / "token", *c.dotFile);
    EXPECT_EQ(HubApi().hfToken, c.expected);
  }
}

TEST(HubConfigTest, TildeIsExpandedAndInvalidUtf8FallsThrough) {
  testing::ScopedEnvironment env;
  writeFile(env.home() / "my-token", "tilde-token\n");
  env.set("HF_TOKEN_PATH", "~/my-token");
  EXPECT_EQ(HubApi().hfToken, "tilde-token");
  writeFile(env.home() / "my-token", std::string("\xff\xfe"));
  writeFile(env.home() / ".huggingface" / "token", "fallback");
  EXPECT_EQ(HubApi().hfToken, "fallback");
}

TEST(HubConfigTest, AGivenTokenIsKeptAsIsEvenWhenEmpty) {
  testing::ScopedEnvironment env;
  env.set("HF_TOKEN", "from-env");
  EXPECT_EQ(HubApi(std::nullopt, std::string()).hfToken, std::string());
  EXPECT_EQ(HubApi(std::nullopt, std::string("given")).hfToken, "given");
}

TEST(HubConfigTest, EndpointPrecedence) {
  testing::ScopedEnvironment env;
  EXPECT_EQ(HubApi().endpoint, "https://huggingface.co");
  env.set("HF_ENDPOINT", "http://127.0.0.1:1");
  EXPECT_EQ(HubApi().endpoint, "http://127.0.0.1:1");
  EXPECT_EQ(HubApi(std::nullopt, std::nullopt, std::string("http://given")).endpoint, "http://given");
  env.set("HF_ENDPOINT", "");
  EXPECT_EQ(HubApi().endpoint, "");
}

TEST(HubConfigTest, DefaultDownloadBaseAndRepositoryFolders) {
  testing::ScopedEnvironment env;
  HubApi api;
  const auto base = env.home() / "Documents" / "huggingface";
  EXPECT_EQ(api.downloadBase, base);
  EXPECT_EQ(api.repoDestination({"owner/name", HubRepoType::models}), base / "models" / "owner" / "name");
  EXPECT_EQ(api.repoMetadataDestination({"owner/name", HubRepoType::models}),
            base / "models" / "owner" / "name" / ".cache" / "huggingface" / "download");
  EXPECT_EQ(api.repoDestination({"o/n", HubRepoType::datasets}), base / "datasets" / "o" / "n");
  EXPECT_EQ(api.repoDestination({"o/n", HubRepoType::spaces}), base / "spaces" / "o" / "n");
  HubApi given(env.root() / "base", std::nullopt, std::nullopt, true, false);
  EXPECT_EQ(given.repoDestination({"o/n", HubRepoType::models}), env.root() / "base" / "models" / "o" / "n");
  EXPECT_TRUE(given.useBackgroundSession);
  EXPECT_EQ(given.useOfflineMode, false);
}

TEST(HubConfigTest, CopiesShareTheProcessMonitor) {
  testing::ScopedEnvironment env;
  HubApi a;
  HubApi b;
  HubApi copy = a;
  EXPECT_EQ(a.networkMonitor, NetworkMonitor::shared());
  EXPECT_EQ(b.networkMonitor, a.networkMonitor);
  EXPECT_EQ(copy.networkMonitor, a.networkMonitor);
}

}  // namespace
}  // namespace noxtal
