#include "support/fake_hub/fake_hub.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "platform/net/curl_transport.hpp"

#include "support/temporary_folder.hpp"

namespace fake_hub {
namespace {

using platform::net::fetch;
using platform::net::Method;
using platform::net::Request;

class FakeHubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = temporary_.path();
    std::filesystem::create_directories(folder_ / "sub");
    std::ofstream(folder_ / "small.txt") << "hello\n";
    std::ofstream(folder_ / "sub" / "big.bin") << std::string(5000, 'z');
    RepositoryOptions options;
    options.linkedFileThreshold = 1000;
    hub_.addRepository("owner/name", folder_, options);
  }
  std::string at(const std::string& path) const { return hub_.endpoint() + path; }

  testsupport::TemporaryFolder temporary_{"fake_hub_test"};
  std::filesystem::path folder_;
  FakeHub hub_;
  platform::net::CurlTransport transport_;
};

TEST_F(FakeHubTest, ListsAndDescribesFilesAsTheHubDoes) {
  auto listing = fetch(transport_, Request(Method::get, at("/api/models/owner/name/revision/main")));
  EXPECT_NE(listing.body.find(R"("siblings":[{"rfilename":"small.txt"},{"rfilename":"sub/big.bin"}])"),
            std::string::npos)
      << listing.body;
  EXPECT_EQ(fetch(transport_, Request(Method::get, at("/api/models/owner/name/revision/nope"))).response.statusCode,
            404);

  Request head(Method::head, at("/owner/name/resolve/main/small.txt"));
  auto small = fetch(transport_, head).response;
  EXPECT_EQ(small.headers.value("ETag"), "\"ce013625030ba8dba906f756967f9e9ca394464a\"");
  EXPECT_EQ(small.headers.value("Content-Length"), "6");

  head.url = at("/owner/name/resolve/main/sub/big.bin");
  head.followRedirects = false;
  auto big = fetch(transport_, head).response;
  EXPECT_EQ(big.statusCode, 302);
  EXPECT_EQ(big.headers.value("X-Linked-Size"), "5000");
  EXPECT_EQ(big.headers.value("X-Linked-Etag"), "\"" + hub_.etagOf("owner/name", "sub/big.bin") + "\"");
  EXPECT_EQ(hub_.etagOf("owner/name", "sub/big.bin").size(), 64u);
  ASSERT_TRUE(big.headers.value("Location"));
  EXPECT_EQ(big.headers.value("Location")->rfind(hub_.endpoint(), 0), 0u);
  auto content = fetch(transport_, Request(Method::get, head.url));
  EXPECT_EQ(content.body, std::string(5000, 'z'));
}

TEST_F(FakeHubTest, RangesAndInjectedFaults) {
  Request ranged(Method::get, at("/owner/name/resolve/main/small.txt"));
  ranged.setHeader("Range", "bytes=2-");
  auto part = fetch(transport_, ranged);
  EXPECT_EQ(part.response.statusCode, 206);
  EXPECT_EQ(part.body, "llo\n");
  EXPECT_EQ(part.response.headers.value("Content-Range"), "bytes 2-5/6");
  ranged.setHeader("Range", "bytes=6-");
  EXPECT_EQ(fetch(transport_, ranged).response.statusCode, 416);

  ranged.setHeader("Range", "bytes=2-");
  hub_.addFault(Fault::wholeBodyForRange("small.txt").limitedTo(1));
  auto whole = fetch(transport_, ranged);
  EXPECT_EQ(whole.response.statusCode, 200);
  EXPECT_EQ(whole.body, "hello\n");
  EXPECT_EQ(fetch(transport_, ranged).response.statusCode, 206);  // the fault was used up

  hub_.addFault(Fault::answerStatus(503, "small.txt").forMethod("HEAD"));
  EXPECT_EQ(fetch(transport_, Request(Method::head, at("/owner/name/resolve/main/small.txt"))).response.statusCode,
            503);
  EXPECT_EQ(fetch(transport_, Request(Method::get, at("/owner/name/resolve/main/small.txt"))).response.statusCode, 200);
  hub_.clearFaults();
  hub_.addFault(Fault::changeHeader("X-Repo-Commit", std::nullopt, "small.txt"));
  EXPECT_FALSE(fetch(transport_, Request(Method::head, at("/owner/name/resolve/main/small.txt")))
                   .response.headers.contains("X-Repo-Commit"));

  hub_.requireToken("t");
  EXPECT_EQ(fetch(transport_, Request(Method::head, at("/owner/name/resolve/main/small.txt"))).response.statusCode,
            401);
  EXPECT_EQ(hub_.requestCount("HEAD", "small.txt"), 3u);
}

}  // namespace
}  // namespace fake_hub
