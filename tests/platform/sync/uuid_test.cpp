#include "platform/sync/uuid.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

namespace platform::sync {
namespace {

TEST(UuidTest, RandomIdsAreVersion4AndRoundTripThroughText) {
  std::unordered_set<Uuid> seen;
  for (int i = 0; i < 1000; ++i) {
    const Uuid id = Uuid::random();
    EXPECT_EQ(id.bytes()[6] >> 4, 4);
    EXPECT_EQ(id.bytes()[8] & 0xC0, 0x80);
    EXPECT_TRUE(seen.insert(id).second);
    const std::string text = id.toString();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(Uuid::parse(text), id);
  }
}

TEST(UuidTest, ParseRejectsMalformedText) {
  EXPECT_EQ(Uuid::parse("00000000-0000-0000-0000-000000000000"), Uuid());
  EXPECT_EQ(Uuid::parse("e621e1f8-c36c-495a-93fc-0c247a3e6e5f")->toString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
  for (const char* bad : {"", "e621e1f8c36c495a93fc0c247a3e6e5f", "e621e1f8-c36c-495a-93fc-0c247a3e6e5g",
                          "e621e1f8-c36c-495a-93fc_0c247a3e6e5f", "e621e1f8-c36c-495a-93fc-0c247a3e6e5f0"}) {
    EXPECT_EQ(Uuid::parse(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace platform::sync
