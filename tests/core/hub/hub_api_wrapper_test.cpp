#include "core/hub/hub_api_wrapper.hpp"

#include <gtest/gtest.h>

#include "core/hub/scoped_environment.hpp"
#include "core/hub/snapshot_test_support.hpp"
#include "support/fake_hub/fake_hub.hpp"

namespace noxtal {
namespace {

namespace fs = std::filesystem;
using namespace noxtal::snapshot_testing;

TEST(HubApiWrapper, LocalRepoLocationIsBaseTypeAndId) {
  testing::ScopedEnvironment env;
  const HubApiWrapper wrapper(fs::path("/base"), std::string("tok"), std::string("http://127.0.0.1:9"), true);
  EXPECT_EQ(wrapper.localRepoLocation({"owner/name", HubRepoType::models}), fs::path("/base/models/owner/name"));
  EXPECT_EQ(wrapper.localRepoLocation({"owner/name", HubRepoType::spaces}), fs::path("/base/spaces/owner/name"));
  EXPECT_EQ(wrapper.localRepoLocation({"d/x", HubRepoType::datasets}), fs::path("/base/datasets/d/x"));
  EXPECT_FALSE(fs::exists("/base"));
  EXPECT_EQ(wrapper.impl().hfToken, std::optional<std::string>("tok"));
  EXPECT_EQ(wrapper.impl().endpoint, "http://127.0.0.1:9");
  EXPECT_TRUE(wrapper.impl().useBackgroundSession);
  EXPECT_FALSE(wrapper.impl().useOfflineMode.has_value());
}

TEST(HubApiWrapper, SharedIsBuiltOnce) {
  testing::ScopedEnvironment env;
  env.set("HF_ENDPOINT", "http://127.0.0.1:1");
  const HubApiWrapper first = HubApiWrapper::shared();
  env.set("HF_ENDPOINT", "http://127.0.0.1:2");
  const HubApiWrapper second = HubApiWrapper::shared();
  EXPECT_EQ(first.impl().endpoint, second.impl().endpoint);
  EXPECT_EQ(first.impl().downloadBase, second.impl().downloadBase);
  EXPECT_EQ(first.impl().hfToken, second.impl().hfToken);
  EXPECT_FALSE(second.impl().useBackgroundSession);
}

TEST(HubApiWrapper, ForwardsListingAndSnapshot) {
  testing::ScopedEnvironment env;
  ScratchFolder tmp;
  fake_hub::FakeHub hub;
  writeBytes(tmp.path() / "served/a.json", "{}");
  writeBytes(tmp.path() / "served/b.bin", "bytes");
  hub.addRepository("owner/repo", tmp.path() / "served");
  const HubApiWrapper wrapper(HubApi(tmp.path() / "cache", std::string(), hub.endpoint(), false, false));
  const HubApiWrapper::Repo repo{"owner/repo", HubApiWrapper::RepoType::models};

  EXPECT_EQ(wrapper.getFilenames(repo, "main", {"*.json"}), std::vector<std::string>{"a.json"});
  int reports = 0;
  const fs::path folder = wrapper.snapshot(repo, "main", {}, [&](const Progress&) { ++reports; });
  EXPECT_EQ(folder, wrapper.localRepoLocation(repo));
  EXPECT_EQ(readBytes(folder / "b.bin"), "bytes");
  EXPECT_GE(reports, 1);
  EXPECT_THROW(wrapper.getFilenames({"owner/none", HubRepoType::models}, "main", {}), Hub::HubClientError);
}

}  // namespace
}  // namespace noxtal
