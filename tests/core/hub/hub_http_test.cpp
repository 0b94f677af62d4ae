#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/hub/hub_api.hpp"
#include "core/hub/redirect_session.hpp"
#include "scoped_environment.hpp"
#include "support/fake_hub/fake_hub.hpp"

namespace noxtal {
namespace {

using Case = Hub::HubClientError::Case;
using platform::net::Url;

class HubHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(env_.root() / "repo");
    std::ofstream(env_.root() / "repo" / "config.json") << "{}";
    hub_.addRepository("owner/name", env_.root() / "repo");
  }

  HubApi api(std::optional<std::string> token = std::nullopt) const {
    return HubApi(env_.root() / "cache", std::move(token), hub_.endpoint());
  }
  Url url(const std::string& path) const { return *Url::parse(hub_.endpoint() + path); }

  testing::ScopedEnvironment env_;
  fake_hub::FakeHub hub_;
};

Hub::HubClientError clientError(const std::function<void()>& body) {
  try {
    body();
  } catch (const Hub::HubClientError& e) {
    return e;
  }
  ADD_FAILURE() << "no HubClientError";
  return Hub::HubClientError::unexpectedError();
}

TEST_F(HubHttpTest, StatusMappingOfGetAndHead) {
  struct Row {
    int status;
    Case expected;
    const char* description;
  };
  const Row rows[] = {
      {401, Case::authorizationRequired, "Authentication required. Please provide a valid Hugging Face token."},
      {403, Case::authorizationRequired, "Authentication required. Please provide a valid Hugging Face token."},
      {404, Case::fileNotFound, "File not found: main"},
      {500, Case::httpStatusCode, "HTTP error with status code: 500"},
      {503, Case::httpStatusCode, "HTTP error with status code: 503"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.status);
    hub_.setAnswer("/status/main", fake_hub::Answer{row.status, {}, "x"});
    for (bool head : {false, true}) {
      auto error = clientError([&] {
        if (head) {
          api().httpHead(url("/status/main"));
        } else {
          api().httpGet(url("/status/main"));
        }
      });
      EXPECT_EQ(error.errorCase(), row.expected);
      EXPECT_EQ(error.errorDescription(), row.description);
    }
  }
}

TEST_F(HubHttpTest, FinalRedirectFailsOnGetButIsTheAnswerOfHead) {
  // A 3xx without Location ends the GET's redirect handling: it is an error.
  hub_.setAnswer("/final", fake_hub::Answer{302, {}, ""});
  auto error = clientError([&] { api().httpGet(url("/final")); });
  EXPECT_EQ(error.errorCase(), Case::httpStatusCode);
  EXPECT_EQ(error.statusCode(), 302);
  // An absolute Location, even on the same host, is not followed by HEAD.
  hub_.setAnswer("/absolute",
                 fake_hub::Answer{302, {{"Location", hub_.endpoint() + "/owner/name/resolve/main/config.json"}}, ""});
  auto head = api().httpHead(url("/absolute"));
  EXPECT_EQ(head.statusCode, 302);
  EXPECT_EQ(hub_.requestCount("HEAD", "config.json"), 0u);
  // GET follows it.
  auto get = api().httpGet(url("/absolute"));
  EXPECT_EQ(get.data, "{}");
}

TEST_F(HubHttpTest, ListingAndHeadOfTheFakeHub) {
  auto listing = api().httpGet(url("/api/models/owner/name/revision/main"));
  EXPECT_NE(listing.data.find(R"({"rfilename":"config.json"})"), std::string::npos);
  auto head = api().httpHead(url("/owner/name/resolve/main/config.json"));
  EXPECT_EQ(head.statusCode, 200);
  EXPECT_EQ(head.headers.value("x-repo-commit"), fake_hub::RepositoryOptions().commit);
  EXPECT_EQ(head.headers.value("content-length"), "2");
}

TEST_F(HubHttpTest, TransportFailureIsWrappedOnGetAndPassedOnHead) {
  int closedPort = 0;
  {
    fake_hub::FakeHub gone;
    closedPort = gone.port();
  }
  HubApi client(env_.root() / "cache", std::nullopt, "http://127.0.0.1:" + std::to_string(closedPort));
  auto target = *Url::parse(client.endpoint + "/api/models/a/b/revision/main");
  auto error = clientError([&] { client.httpGet(target); });
  EXPECT_EQ(error.errorCase(), Case::downloadError);
  EXPECT_EQ(error.errorDescription().rfind("Download failed: Could not connect to the server.", 0), 0u)
      << error.errorDescription();
  try {
    client.httpHead(target);
    FAIL() << "no error";
  } catch (const platform::net::TransportError& e) {
    EXPECT_EQ(e.code(), platform::net::TransportErrorCode::cannotConnectToHost);
  }
}

TEST_F(HubHttpTest, AuthorizationHeaderOnlyForANonEmptyToken) {
  struct Row {
    std::optional<std::string> token;
    std::optional<std::string> header;
  };
  const Row rows[] = {{std::string(), std::nullopt}, {std::string("secret"), "Bearer secret"}};
  for (const auto& row : rows) {
    hub_.clearRequests();
    auto client = api(row.token);
    client.httpGet(url("/api/models/owner/name/revision/main"));
    client.httpHead(url("/owner/name/resolve/main/config.json"));
    auto recorded = hub_.requests();
    ASSERT_EQ(recorded.size(), 2u);
    for (const auto& r : recorded) EXPECT_EQ(r.header("Authorization"), row.header) << r.method;
    EXPECT_EQ(recorded[1].header("Accept-Encoding"), "identity");
  }
}

TEST_F(HubHttpTest, TokenFileWithLineBreakGivesAWellFormedHeader) {
  std::ofstream(env_.home() / "token-file") << "secret\n";
  env_.set("HF_TOKEN_PATH", (env_.home() / "token-file").string());
  hub_.requireToken("secret");
  HubApi client(env_.root() / "cache", std::nullopt, hub_.endpoint());
  EXPECT_EQ(client.httpHead(url("/owner/name/resolve/main/config.json")).statusCode, 200);
  // A token with a line break inside cannot be sent at all.
  auto broken = api("sec\nret");
  EXPECT_EQ(clientError([&] { broken.httpGet(url("/api/models/owner/name/revision/main")); }).errorCase(),
            Case::downloadError);
  EXPECT_THROW(broken.httpHead(url("/owner/name/resolve/main/config.json")), platform::net::InvalidHeaderError);
}

TEST_F(HubHttpTest, RelativeRedirectsOfHeadKeepMethodAndHeaders) {
  struct Row {
    const char* location;
    const char* expectedTarget;  // nullptr: not followed
  };
  const Row rows[] = {
      {"/owner/name/resolve/main/config.json", "/owner/name/resolve/main/config.json"},
      {"/owner/name/resolve/main/config.json?x=1", "/owner/name/resolve/main/config.json?x=1"},
      {"relative/without/slash", nullptr},
      {"//127.0.0.1/scheme-relative", nullptr},
      {"not a url", nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.location);
    hub_.clearRequests();
    hub_.setAnswer("/moved", fake_hub::Answer{302, {{"Location", row.location}}, ""});
    auto response = api("tok").httpHead(url("/moved?old=query"));
    auto recorded = hub_.requests();
    if (!row.expectedTarget) {
      EXPECT_EQ(response.statusCode, 302);
      EXPECT_EQ(recorded.size(), 1u);
      continue;
    }
    EXPECT_EQ(response.statusCode, 200);
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[1].method, "HEAD");
    EXPECT_EQ(recorded[1].target, row.expectedTarget);
    EXPECT_EQ(recorded[1].header("Authorization"), "Bearer tok");
    EXPECT_EQ(recorded[1].header("Accept-Encoding"), "identity");
    EXPECT_EQ(recorded[1].header("Location"), hub_.endpoint() + row.expectedTarget);
  }
  hub_.clearRequests();
  hub_.setAnswer("/no-location", fake_hub::Answer{301, {}, ""});
  EXPECT_EQ(api().httpHead(url("/no-location")).statusCode, 301);
}

TEST_F(HubHttpTest, RedirectLoopStopsAfterTenHops) {
  hub_.setAnswer("/loop", fake_hub::Answer{307, {{"Location", "/loop"}}, ""});
  auto error = clientError([&] { api().httpHead(url("/loop")); });
  EXPECT_EQ(error.errorCase(), Case::httpStatusCode);
  EXPECT_EQ(error.statusCode(), 307);
  EXPECT_EQ(hub_.requestCount("HEAD", "/loop"), static_cast<std::size_t>(RedirectSession::maximumRedirects + 1));
}

TEST(RedirectDelegateTest, OnlyRedirectStatusesWithARelativeLocationAreFollowed) {
  platform::net::Request initial(platform::net::Method::head, "https://hub.example:8443/a/b?q=1");
  initial.headers.add("Authorization", "Bearer t");
  initial.headers.add("Location", "stale");
  platform::net::Response response;
  response.statusCode = 200;
  response.headers.add("Location", "/c");
  EXPECT_FALSE(RedirectDelegate::redirectRequest(response, initial));
  response.statusCode = 302;
  auto next = RedirectDelegate::redirectRequest(response, initial);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->url, "https://hub.example:8443/c");
  EXPECT_EQ(next->method, platform::net::Method::head);
  EXPECT_EQ(next->idleTimeout, std::chrono::seconds(60));
  EXPECT_EQ(next->headers.value("Authorization"), "Bearer t");
  EXPECT_EQ(next->headers.value("Location"), "https://hub.example:8443/c");
  EXPECT_EQ(RedirectSessionActor::shared().session(), RedirectSessionActor::shared().session());
}

TEST(HubErrorsTest, DescriptionsOfPayloadCases) {
  EXPECT_STREQ(Hub::HubClientError::jsonSerialization("/x/config.json", "bad json").what(), "bad json");
  EXPECT_EQ(Hub::HubClientError::parseError("p").errorDescription(), "Parse error: p");
  EXPECT_EQ(Hub::HubClientError::networkError(
                platform::net::TransportError(platform::net::TransportErrorCode::timedOut, "The request timed out."))
                .errorDescription(),
            "Network error: The request timed out.");
  EXPECT_EQ(HubApi::EnvironmentError::invalidMetadataError("m").errorDescription(), "Invalid metadata: m");
  EXPECT_EQ(HubApi::EnvironmentError::fileWriteError("w").errorDescription(), "Failed to write file: w");
}

}  // namespace
}  // namespace noxtal
