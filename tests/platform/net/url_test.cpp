#include "platform/net/url.hpp"

#include <gtest/gtest.h>

namespace platform::net {
namespace {

struct ParseCase {
  const char* text;
  bool valid;
  const char* scheme;  // nullptr: absent
  const char* host;
  int port;  // -1: absent
  const char* path;
  const char* query;
};

TEST(UrlTest, ParsesAbsoluteUrlsAndRelativeReferences) {
  const ParseCase cases[] = {
      {"http://127.0.0.1:8080/a/b?x=1#f", true, "http", "127.0.0.1", 8080, "/a/b", "x=1"},
      {"HTTPS://Example.COM", true, "https", "example.com", -1, "", nullptr},
      {"/org/new-name/resolve/main/file.json", true, nullptr, nullptr, -1, "/org/new-name/resolve/main/file.json",
       nullptr},
      {"/a?b=c", true, nullptr, nullptr, -1, "/a", "b=c"},
      {"//other.host/x", true, nullptr, "other.host", -1, "/x", nullptr},
      {"relative/path", true, nullptr, nullptr, -1, "relative/path", nullptr},
      {"http://[::1]:99/p", true, "http", "[::1]", 99, "/p", nullptr},
      {"refs%2Fpr%2F1", true, nullptr, nullptr, -1, "refs%2Fpr%2F1", nullptr},
      {"has space", false, nullptr, nullptr, -1, "", nullptr},
      {"http://h/%zz", false, nullptr, nullptr, -1, "", nullptr},
      {"http://h:99999/", false, nullptr, nullptr, -1, "", nullptr},
      {"http://h:1x/", false, nullptr, nullptr, -1, "", nullptr},
      {"1http://h/", false, nullptr, nullptr, -1, "", nullptr},
      {"/a\r\nInjected: x", false, nullptr, nullptr, -1, "", nullptr},
      // A colon or bracket in a host outside an IPv6 literal would compose into another host.
      {"//th::1].://", false, nullptr, nullptr, -1, "", nullptr},
      {"http://a:b:80/", false, nullptr, nullptr, -1, "", nullptr},
      {"http://h]/x", false, nullptr, nullptr, -1, "", nullptr},
      {"http://h:/x", true, "http", "h", -1, "/x", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto url = Url::parse(c.text);
    ASSERT_EQ(url.has_value(), c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(url->scheme(), c.scheme ? std::optional<std::string>(c.scheme) : std::nullopt);
    EXPECT_EQ(url->host(), c.host ? std::optional<std::string>(c.host) : std::nullopt);
    EXPECT_EQ(url->port(), c.port >= 0 ? std::optional<int>(c.port) : std::nullopt);
    EXPECT_EQ(url->path(), c.path);
    EXPECT_EQ(url->query(), c.query ? std::optional<std::string>(c.query) : std::nullopt);
  }
}

TEST(UrlTest, ComposesAndRefusesImpossibleCombinations) {
  auto url = Url::parse("http://h:81/a?q#f");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->string(), "http://h:81/a?q#f");
  url->setPath("/new/path");
  url->setQuery(std::nullopt);
  EXPECT_EQ(url->string(), "http://h:81/new/path#f");
  url->setPath("no-leading-slash");
  EXPECT_FALSE(url->compose());
  auto noAuthority = Url::parse("/x");
  noAuthority->setPath("//looks-like-a-host");
  EXPECT_FALSE(noAuthority->compose());
}

TEST(UrlTest, AppendsEncodedSegmentsAndPaths) {
  auto base = *Url::parse("https://hub.example");
  auto listing = base.appendingPath("api")
                     .appendingPathComponent("models")
                     .appendingPath("owner/name")
                     .appendingPath("revision")
                     .appendingPathComponent("refs/pr/1");
  EXPECT_EQ(listing.string(), "https://hub.example/api/models/owner/name/revision/refs%2Fpr%2F1");
  EXPECT_EQ(listing.lastPathComponent(), "refs/pr/1");
  EXPECT_EQ(base.appendingPath("dir/a b#?.json").string(), "https://hub.example/dir/a%20b%23%3F.json");
  EXPECT_EQ((*Url::parse("http://h/base/")).appendingPathComponent("x").string(), "http://h/base/x");
  EXPECT_EQ((*Url::parse("http://h/a/main")).lastPathComponent(), "main");
}

TEST(UrlTest, PercentCodingRoundTrips) {
  const std::string samples[] = {"", "plain", "a/b c", "ü€", "%41", "100%"};
  for (const auto& s : samples) {
    EXPECT_EQ(percentDecode(percentEncodePathSegment(s)), s);
    EXPECT_EQ(percentEncodePathSegment(s).find('/'), std::string::npos);
  }
  EXPECT_EQ(percentDecode("bad%zzescape%4"), "bad%zzescape%4");
}

}  // namespace
}  // namespace platform::net
