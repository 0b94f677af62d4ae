#include "platform/net/curl_transport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "platform/net/path_monitor.hpp"
#include "support/fake_hub/fake_hub.hpp"

namespace platform::net {
namespace {

using namespace std::chrono_literals;

class CurlTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        std::filesystem::temp_directory_path() / ("curl_transport_test_" + std::to_string(::getpid()) + "_" +
                                                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder_);
    content_.resize(300'000);
    for (std::size_t i = 0; i < content_.size(); ++i) content_[i] = static_cast<char>('a' + i % 26);
    std::ofstream(folder_ / "file.bin", std::ios::binary) << content_;
    hub_.addRepository("owner/name", folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string fileUrl() const { return hub_.endpoint() + "/owner/name/resolve/main/file.bin"; }

  std::filesystem::path folder_;
  std::string content_;
  fake_hub::FakeHub hub_;
  CurlTransport transport_;
};

TEST_F(CurlTransportTest, GetStreamsTheBodyAndSendsHeadersInOrder) {
  Request request(Method::get, fileUrl());
  request.setHeader("X-First", "1");
  request.setHeader("X-Second", "2");
  request.setHeader("x-first", "3");  // replaces, keeps the place
  auto result = fetch(transport_, request);
  EXPECT_EQ(result.response.statusCode, 200);
  EXPECT_EQ(result.body, content_);
  EXPECT_EQ(result.response.url, fileUrl());
  EXPECT_EQ(result.response.headers.value("content-length"), std::to_string(content_.size()));
  auto recorded = hub_.requests().back();
  std::vector<std::string> ours;
  for (const auto& [n, v] : recorded.headers) {
    if (n.rfind("X-", 0) == 0 || n.rfind("x-", 0) == 0) ours.push_back(n + "=" + v);
  }
  EXPECT_EQ(ours, (std::vector<std::string>{"x-first=3", "X-Second=2"}));
}

TEST_F(CurlTransportTest, HeadHasNoBodyAndRangesAreHonoured) {
  auto head = fetch(transport_, Request(Method::head, fileUrl()));
  EXPECT_EQ(head.response.statusCode, 200);
  EXPECT_TRUE(head.body.empty());
  EXPECT_EQ(hub_.requests().back().method, "HEAD");

  Request ranged(Method::get, fileUrl());
  ranged.setHeader("Range", "bytes=1000-");
  auto part = fetch(transport_, ranged);
  EXPECT_EQ(part.response.statusCode, 206);
  EXPECT_EQ(part.body, content_.substr(1000));
}

TEST_F(CurlTransportTest, HeaderValuesWithLineBreaksAreRefused) {
  Request request(Method::get, fileUrl());
  EXPECT_THROW(request.setHeader("Authorization", "Bearer token\n"), InvalidHeaderError);
  EXPECT_THROW(request.setHeader("Authorization", "a\rb"), InvalidHeaderError);
  request.headers.add("Authorization", "Bearer token\r\nX-Injected: 1");
  EXPECT_THROW(fetch(transport_, request), InvalidHeaderError);
  EXPECT_EQ(hub_.requestCount(), 0u);
}

TEST_F(CurlTransportTest, RedirectsAreFollowedOnlyWhenAsked) {
  hub_.setAnswer("/moved", fake_hub::Answer{302, {{"Location", "/owner/name/resolve/main/file.bin"}}, ""});
  Request follow(Method::head, hub_.endpoint() + "/moved");
  auto followed = fetch(transport_, follow);
  EXPECT_EQ(followed.response.statusCode, 200);
  EXPECT_EQ(followed.response.url, fileUrl());
  EXPECT_EQ(hub_.requests().back().method, "HEAD");

  follow.followRedirects = false;
  auto notFollowed = fetch(transport_, follow);
  EXPECT_EQ(notFollowed.response.statusCode, 302);
  EXPECT_EQ(notFollowed.response.headers.value("LOCATION"), "/owner/name/resolve/main/file.bin");
}

TEST_F(CurlTransportTest, HandlersCanStopTheTransferAndTheirErrorsPassThrough) {
  std::size_t received = 0;
  auto result = transport_.stream(
      Request(Method::get, fileUrl()), [](const Response& r) { return r.statusCode == 200; },
      [&](std::span<const std::byte> data) {
        received += data.size();
        return false;
      });
  EXPECT_FALSE(result.completed);
  EXPECT_GT(received, 0u);
  EXPECT_LT(received, content_.size());

  auto refused = transport_.stream(
      Request(Method::get, fileUrl()), [](const Response&) { return false; },
      [](std::span<const std::byte>) -> bool { throw std::logic_error("body must not be read"); });
  EXPECT_FALSE(refused.completed);
  EXPECT_EQ(refused.response.statusCode, 200);

  EXPECT_THROW(transport_.stream(
                   Request(Method::get, fileUrl()), [](const Response&) { return true; },
                   [](std::span<const std::byte>) -> bool { throw std::runtime_error("disk full"); }),
               std::runtime_error);
}

TransportErrorCode codeOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const TransportError& e) {
    EXPECT_FALSE(std::string(e.what()).empty());
    return e.code();
  }
  ADD_FAILURE() << "no TransportError";
  return TransportErrorCode::other;
}

TEST_F(CurlTransportTest, TransportFailuresAreMappedToCodes) {
  hub_.addFault(fake_hub::Fault::cutBodyAfter(1000, "file.bin").forMethod("GET").limitedTo(1));
  EXPECT_EQ(codeOf([&] { fetch(transport_, Request(Method::get, fileUrl())); }),
            TransportErrorCode::networkConnectionLost);

  hub_.addFault(fake_hub::Fault::stallFor(5s, "file.bin", 100).forMethod("GET").limitedTo(1));
  Request idle(Method::get, fileUrl());
  idle.idleTimeout = 1s;
  EXPECT_EQ(codeOf([&] { fetch(transport_, idle); }), TransportErrorCode::timedOut);

  int closedPort = 0;
  {
    fake_hub::FakeHub gone;
    closedPort = gone.port();
  }
  EXPECT_EQ(
      codeOf([&] { fetch(transport_, Request(Method::get, "http://127.0.0.1:" + std::to_string(closedPort) + "/")); }),
      TransportErrorCode::cannotConnectToHost);
}

TEST_F(CurlTransportTest, StopTokenCancelsAStalledTransferPromptly) {
  hub_.addFault(fake_hub::Fault::stallFor(30s, "file.bin").forMethod("GET").limitedTo(1));
  std::stop_source stop;
  std::jthread stopper([&] {
    // Stop only once the request has reached the hub, so the transfer is really under way.
    while (hub_.requestCount("GET", "file.bin") == 0) std::this_thread::yield();
    stop.request_stop();
  });
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(codeOf([&] { fetch(transport_, Request(Method::get, fileUrl()), stop.get_token()); }),
            TransportErrorCode::cancelled);
  // Generous bound: the stall lasts 30 s, a cancellation must not wait for it.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
}

TEST(ManualPathSourceTest, ReportsOnlyWhileStarted) {
  ManualPathSource source;
  std::vector<NetworkPath> seen;
  source.report({true, false, false});
  source.start([&](const NetworkPath& p) { seen.push_back(p); });
  source.report({false, true, false});
  source.stop();
  source.report({true, false, true});
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], (NetworkPath{false, true, false}));
}

TEST(SystemPathSourceTest, StartsReportsAndStops) {
  auto source = makeSystemPathSource();
  std::mutex mutex;
  std::condition_variable reported;
  int reports = 0;  // guarded by mutex
  source->start([&](const NetworkPath&) {
    std::lock_guard<std::mutex> guard(mutex);
    ++reports;
    reported.notify_all();
  });
  {
    // The source reports the current path soon after start; the limit only keeps a broken one from
    // hanging the suite.
    std::unique_lock<std::mutex> lock(mutex);
    reported.wait_for(lock, 30s, [&] { return reports > 0; });
  }
  source->stop();
  std::lock_guard<std::mutex> guard(mutex);
  EXPECT_GE(reports, 1);
}

}  // namespace
}  // namespace platform::net
