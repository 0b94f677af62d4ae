#include "core/hub/hub_repo.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

namespace noxtal {
namespace {

TEST(HubRepoTest, RawValuesAreExactAndCaseSensitive) {
  EXPECT_EQ(hubRepoTypeFromRawValue("models"), HubRepoType::models);
  EXPECT_EQ(hubRepoTypeFromRawValue("datasets"), HubRepoType::datasets);
  EXPECT_EQ(hubRepoTypeFromRawValue("spaces"), HubRepoType::spaces);
  for (const char* bad : {"Models", "", "model", "spaces "}) EXPECT_FALSE(hubRepoTypeFromRawValue(bad)) << bad;
}

TEST(HubRepoTest, JsonRoundTripAndStrictDecoding) {
  HubRepo repo{"a/b", HubRepoType::datasets};
  platform::json::Json json = repo;
  EXPECT_EQ(platform::json::dump(json), R"({"id":"a/b","type":"datasets"})");
  EXPECT_EQ(json.get<HubRepo>(), repo);
  EXPECT_EQ(platform::json::parse(R"({"type":"spaces","id":"x/y","extra":1})").get<HubRepo>(),
            (HubRepo{"x/y", HubRepoType::spaces}));
  for (const char* bad : {R"({"id":"a/b","type":"model"})", R"({"id":"a/b"})", R"({"type":"models"})",
                          R"({"id":3,"type":"models"})", R"({"id":"a","type":1})"}) {
    EXPECT_THROW(platform::json::parse(bad).get<HubRepo>(), platform::json::JsonError) << bad;
  }
}

TEST(HubRepoTest, EqualityAndHashFollowIdAndType) {
  HubRepo models{"o/n", HubRepoType::models};
  HubRepo spaces{"o/n", HubRepoType::spaces};
  EXPECT_NE(models, spaces);
  EXPECT_EQ(models, (HubRepo{"o/n", HubRepoType::models}));
  EXPECT_EQ(std::hash<HubRepo>()(models), std::hash<HubRepo>()(HubRepo{"o/n", HubRepoType::models}));
  std::unordered_set<HubRepo> set{models, spaces, HubRepo{"o/n", HubRepoType::models}};
  EXPECT_EQ(set.size(), 2u);
}

}  // namespace
}  // namespace noxtal
