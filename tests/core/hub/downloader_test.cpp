#include "core/hub/downloader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

#include "core/hub/hub_test_support.hpp"
#include "core/hub/snapshot_test_support.hpp"
#include "platform/fs/file_system.hpp"
#include "platform/net/curl_transport.hpp"
#include "platform/net/http.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sys/error.hpp"
#include "support/fake_hub/fake_hub.hpp"

namespace noxtal {
namespace {

namespace fs = std::filesystem;
using namespace noxtal::testing;
using State = Downloader::DownloadState;

constexpr std::int64_t kMiB = 1 << 20;

bool sameBytes(const fs::path& file, const std::string& expected) { return readFile(file) == expected; }

class DownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    repoFolder_ = tmp_.path() / "served";
    fs::create_directories(repoFolder_);
    hub_.addRepository("owner/repo", repoFolder_);
    partial_ = tmp_.path() / "cache" / "file.bin.etag.incomplete";
    destination_ = tmp_.path() / "repo" / "sub" / "file.bin";
    fs::create_directories(partial_.parent_path());
  }

  std::string serve(std::size_t size, std::uint32_t seed = 7) {
    std::string content = patternBytes(size, seed);
    writeFile(repoFolder_ / "file.bin", content);
    return content;
  }
  std::string url() const { return hub_.endpoint() + "/owner/repo/resolve/main/file.bin"; }

  std::unique_ptr<Downloader> makeDownloader() {
    auto d = std::make_unique<Downloader>(destination_, partial_, false);
    d->setRetryDelay(std::chrono::milliseconds(10));
    return d;
  }

  std::vector<State> run(Downloader& d, std::int64_t expected, std::optional<std::string> token = std::nullopt,
                         int retries = 5, double timeout = 10.0) {
    auto stream = d.startDownload(url(), token, std::nullopt, expected, timeout, retries);
    return collectStates(stream);
  }

  std::vector<fake_hub::RecordedRequest> gets() const {
    std::vector<fake_hub::RecordedRequest> out;
    for (auto& r : hub_.requests()) {
      if (r.method == "GET") out.push_back(r);
    }
    return out;
  }

  TempFolder tmp_;
  fake_hub::FakeHub hub_;
  fs::path repoFolder_, partial_, destination_;
};

TEST_F(DownloaderTest, FreshDownloadHasNoRangeAndOneProgressBeforeCompletion) {
  const std::string content = serve(100'000);
  writeFile(partial_, "");
  writeFile(destination_, "old content");  // replaced
  auto d = makeDownloader();
  const auto states = run(*d, 100'000);
  ASSERT_EQ(states.size(), 2u);
  const auto& first = std::get<Downloader::Downloading>(states[0]);
  EXPECT_EQ(first.fraction, 0.0);
  EXPECT_FALSE(first.speed);
  EXPECT_EQ(std::get<Downloader::Completed>(states[1]).url, destination_);
  EXPECT_TRUE(sameBytes(destination_, content));
  EXPECT_FALSE(fs::exists(partial_));
  ASSERT_EQ(gets().size(), 1u);
  EXPECT_FALSE(gets()[0].header("Range"));
}

TEST_F(DownloaderTest, AuthorizationOnlyForANonEmptyToken) {
  serve(1000);
  struct Case {
    std::optional<std::string> token;
    std::optional<std::string> header;
  } cases[] = {{std::nullopt, std::nullopt}, {"", std::nullopt}, {"secret", "Bearer secret"}};
  for (const auto& c : cases) {
    hub_.clearRequests();
    auto d = makeDownloader();
    const auto states = run(*d, 1000, c.token);
    ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(states.back()));
    ASSERT_EQ(gets().size(), 1u);
    EXPECT_EQ(gets()[0].header("Authorization"), c.header) << c.token.value_or("<none>");
  }
}

TEST_F(DownloaderTest, ResumesFromThePartialFileWithRangeAndFirstFraction) {
  const std::string content = serve(4000);
  writeFile(partial_, content.substr(0, 1000));
  auto d = makeDownloader();
  const auto states = run(*d, 4000);
  ASSERT_EQ(states.size(), 2u);
  EXPECT_DOUBLE_EQ(std::get<Downloader::Downloading>(states[0]).fraction, 0.25);
  EXPECT_TRUE(std::holds_alternative<Downloader::Completed>(states[1]));
  ASSERT_EQ(gets().size(), 1u);
  EXPECT_EQ(gets()[0].header("Range"), "bytes=1000-");
  EXPECT_TRUE(sameBytes(destination_, content));
}

TEST_F(DownloaderTest, TwentyMebibytesReportAtStartAfterEachChunkThenComplete) {
  const std::string content = serve(20 * kMiB);
  auto d = makeDownloader();
  const auto states = run(*d, 20 * kMiB);
  ASSERT_EQ(states.size(), 4u);
  const double expected[] = {0.0, 0.5, 1.0};
  for (int i = 0; i < 3; ++i) {
    const auto& s = std::get<Downloader::Downloading>(states[i]);
    EXPECT_DOUBLE_EQ(s.fraction, expected[i]);
    EXPECT_EQ(s.speed.has_value(), i > 0);
  }
  EXPECT_TRUE(std::holds_alternative<Downloader::Completed>(states[3]));
  EXPECT_TRUE(sameBytes(destination_, content));
}

TEST_F(DownloaderTest, CutConnectionsAreRetriedUpToTheBudget) {
  const std::string content = serve(50'000);
  struct Case {
    int cuts;
    bool succeeds;
  } cases[] = {{5, true}, {6, false}};
  for (const auto& c : cases) {
    hub_.clearRequests();
    hub_.clearFaults();
    fake_hub::Fault cut;
    cut.method = "GET";
    cut.cutAfterBytes = 20'000;
    cut.times = c.cuts;
    hub_.addFault(cut);
    auto d = makeDownloader();
    const auto states = run(*d, 50'000);
    // A transient failure never shows up as a state: one terminal state, at the end.
    for (std::size_t i = 0; i + 1 < states.size(); ++i) {
      EXPECT_TRUE(std::holds_alternative<Downloader::Downloading>(states[i]));
    }
    EXPECT_EQ(gets().size(), 6u);  // the first try and five retries
    if (c.succeeds) {
      ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(states.back()));
      EXPECT_TRUE(sameBytes(destination_, content));
    } else {
      EXPECT_TRUE(failedWith<platform::net::TransportError>(states));
    }
  }
}

TEST_F(DownloaderTest, StatusFailuresAreNotRetried) {
  serve(4000);
  for (int status : {404, 500, 302}) {
    hub_.clearRequests();
    hub_.clearFaults();
    fake_hub::Fault fault;
    fault.method = "GET";
    fault.status = status;
    hub_.addFault(fault);
    auto d = makeDownloader();
    const auto states = run(*d, 4000);
    EXPECT_TRUE(failedWith<Downloader::DownloadError>(states)) << status;
    EXPECT_EQ(gets().size(), 1u) << status;
  }
}

TEST_F(DownloaderTest, RangeNotSatisfiableRestartsFromZeroOnce) {
  const std::string content = serve(4000);
  struct Case {
    int times;
    bool succeeds;
  } cases[] = {{1, true}, {-1, false}};
  for (const auto& c : cases) {
    hub_.clearRequests();
    hub_.clearFaults();
    writeFile(partial_, content.substr(0, 1000));
    fake_hub::Fault fault;
    fault.method = "GET";
    fault.status = 416;
    fault.times = c.times;
    hub_.addFault(fault);
    auto d = makeDownloader();
    const auto states = run(*d, 4000);
    const auto requests = gets();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("Range"), "bytes=1000-");
    EXPECT_FALSE(requests[1].header("Range"));
    if (c.succeeds) {
      EXPECT_TRUE(std::holds_alternative<Downloader::Completed>(states.back()));
      EXPECT_TRUE(sameBytes(destination_, content));
    } else {
      EXPECT_TRUE(failedWith<Downloader::DownloadError>(states));
    }
  }
}

TEST_F(DownloaderTest, RangedRequestAnsweredWithWholeBodyRewritesThePartialFile) {
  const std::string content = serve(4000);
  writeFile(partial_, std::string(1000, 'x'));  // not even the right prefix
  fake_hub::Fault fault;
  fault.method = "GET";
  fault.ignoreRange = true;
  hub_.addFault(fault);
  auto d = makeDownloader();
  const auto states = run(*d, 4000);
  ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(states.back()));
  EXPECT_EQ(gets()[0].header("Range"), "bytes=1000-");
  EXPECT_TRUE(sameBytes(destination_, content));
}

TEST_F(DownloaderTest, PartialFileSizeDecidesTheFirstRequest) {
  const std::string content = serve(4000);
  struct Case {
    std::string partial;
    std::size_t requests;
    std::optional<std::string> range;
  } cases[] = {
      {content, 0, std::nullopt},                 // already whole: moved without a request
      {content + "tail bytes", 1, std::nullopt},  // longer than expected: from zero
      {"", 1, std::nullopt},                      // empty: from zero
  };
  for (const auto& c : cases) {
    hub_.clearRequests();
    fs::remove(destination_);
    writeFile(partial_, c.partial);
    auto d = makeDownloader();
    const auto states = run(*d, 4000);
    ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(states.back())) << c.partial.size();
    EXPECT_TRUE(sameBytes(destination_, content));
    EXPECT_FALSE(fs::exists(partial_));
    ASSERT_EQ(gets().size(), c.requests);
    if (c.requests > 0) {
      EXPECT_EQ(gets()[0].header("Range"), c.range);
    }
  }
}

TEST_F(DownloaderTest, WrongFinalLengthDiscardsThePartialFile) {
  serve(4000);
  for (std::int64_t expected : {3000, 5000, 0}) {
    writeFile(partial_, "");
    auto d = makeDownloader();
    const auto states = run(*d, expected);
    EXPECT_TRUE(failedWith<Downloader::DownloadError>(states)) << expected;
    for (const auto& s : states) {
      if (auto p = std::get_if<Downloader::Downloading>(&s)) {
        EXPECT_TRUE(expected != 0 || p->fraction == 0.0);
      }
    }
    EXPECT_FALSE(fs::exists(partial_)) << expected;
    EXPECT_FALSE(fs::exists(destination_));
  }
}

TEST_F(DownloaderTest, IdleTimeoutFailsAStalledAnswerWithoutRetry) {
  serve(4000);
  fake_hub::Fault stall;
  stall.method = "GET";
  stall.stall = std::chrono::milliseconds(5000);
  hub_.addFault(stall);
  auto d = makeDownloader();
  // The answer never arrives: the request fails at once, the retry budget is for broken bodies.
  const auto states = run(*d, 4000, std::nullopt, /*retries=*/5, /*timeout=*/0.3);
  EXPECT_EQ(gets().size(), 1u);
  ASSERT_TRUE(failedWith<platform::net::TransportError>(states));
  try {
    std::rethrow_exception(failureOf(states));
  } catch (const platform::net::TransportError& e) {
    EXPECT_EQ(e.code(), platform::net::TransportErrorCode::timedOut);
  }
}

TEST_F(DownloaderTest, CancellationMidTransferKeepsWrittenBytes) {
  serve(20 * kMiB);
  fake_hub::Fault stall;
  stall.method = "GET";
  stall.stall = std::chrono::milliseconds(30'000);
  stall.stallAfterBytes = 12 * kMiB;
  hub_.addFault(stall);
  auto d = makeDownloader();
  auto stream = d->startDownload(url(), std::nullopt, std::nullopt, 20 * kMiB, 10.0, 5);
  std::vector<State> states;
  for (;;) {
    auto s = stream.next();
    ASSERT_TRUE(s);
    if (auto p = std::get_if<Downloader::Downloading>(&*s); p && p->fraction == 0.5) d->cancelDownload();
    if (std::holds_alternative<Downloader::Failed>(*s) || std::holds_alternative<Downloader::Completed>(*s)) {
      states.push_back(*s);
      break;
    }
  }
  EXPECT_TRUE(failedWith<platform::sync::CancellationError>(states));
  EXPECT_EQ(partialFileSize(partial_), 10 * kMiB);
  EXPECT_FALSE(fs::exists(destination_));
}

TEST_F(DownloaderTest, NewRunCancelsAndWaitsForTheLeftOverRunOfTheSameDownloader) {
  const std::string content = serve(4000);
  fake_hub::Fault stall;
  stall.method = "GET";
  stall.stall = std::chrono::milliseconds(30'000);
  stall.stallAfterBytes = 1000;
  stall.times = 1;
  hub_.addFault(stall);

  auto first = makeDownloader();
  auto stream1 = first->startDownload(url(), std::nullopt, std::nullopt, 4000, 10.0, 5);
  while (hub_.requestCount("GET") < 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  auto stream2 = first->startDownload(url(), std::nullopt, std::nullopt, 4000, 10.0, 5);
  EXPECT_TRUE(failedWith<platform::sync::CancellationError>(collectStates(stream1)));
  const auto states = collectStates(stream2);
  ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(states.back()));
  EXPECT_TRUE(sameBytes(destination_, content));
}

// Two Downloaders of one partial file, the first one's request held back until the second has
// joined it (its first state).
class SharedPartialFileTest : public DownloaderTest {
 protected:
  void startBoth(std::int64_t expected) {
    holding_ = std::make_shared<snapshot_testing::HoldingTransport>(
        platform::net::sharedTransport(),
        [](const platform::net::Request& r) { return r.method == platform::net::Method::get; });
    first_ = std::make_unique<Downloader>(destination_, partial_, false, holding_);
    stream1_.emplace(first_->startDownload(url(), std::nullopt, std::nullopt, expected, 10.0, 5));
    holding_->waitUntilHolding();
    second_ = std::make_unique<Downloader>(destination_, partial_, false, holding_);
    stream2_.emplace(second_->startDownload(url(), std::nullopt, std::nullopt, expected, 10.0, 5));
    for (;;) {
      auto state = stream2_->next();
      ASSERT_TRUE(state);
      if (std::holds_alternative<Downloader::NotStarted>(*state)) continue;
      secondStates_.push_back(*state);
      break;
    }
  }

  std::shared_ptr<snapshot_testing::HoldingTransport> holding_;
  std::unique_ptr<Downloader> first_, second_;
  std::optional<Downloader::StateStream> stream1_, stream2_;
  std::vector<State> secondStates_;
};

TEST_F(SharedPartialFileTest, ASecondDownloaderWaitsForTheRunningOneAndSharesItsCompletion) {
  const std::string content = serve(static_cast<std::size_t>(Downloader::chunkSize + 1000));
  const auto expected = static_cast<std::int64_t>(content.size());
  startBoth(expected);
  holding_->open();
  const auto firstStates = collectStates(*stream1_);
  for (auto& state : collectStates(*stream2_)) secondStates_.push_back(state);

  EXPECT_TRUE(std::holds_alternative<Downloader::Completed>(firstStates.back())) << "the second ended the first";
  ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(secondStates_.back())) << "the second failed";
  EXPECT_EQ(std::get<Downloader::Completed>(secondStates_.back()).url, destination_);
  EXPECT_TRUE(sameBytes(destination_, content));
  EXPECT_EQ(gets().size(), 1u) << "the second fetched the file again";
  // The first's report after its first 10 MiB reached the waiting second.
  const bool relayed = std::any_of(secondStates_.begin(), secondStates_.end(), [](const State& s) {
    auto* p = std::get_if<Downloader::Downloading>(&s);
    return p && p->fraction > 0.9;
  });
  EXPECT_TRUE(relayed);
}

TEST_F(SharedPartialFileTest, AWaitingDownloaderTakesOverWhenTheRunningOneIsCancelled) {
  const std::string content = serve(4000);
  writeFile(partial_, content.substr(0, 1000));
  startBoth(4000);
  first_->cancelDownload();
  EXPECT_TRUE(failedWith<platform::sync::CancellationError>(collectStates(*stream1_)));
  for (auto& state : collectStates(*stream2_)) secondStates_.push_back(state);
  ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(secondStates_.back()));
  EXPECT_TRUE(sameBytes(destination_, content));
  // The bytes already in the partial file were kept: the second resumed after them.
  const auto requests = gets();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].header("Range"), "bytes=1000-");
}

TEST(DownloadError, SitsOnTheErrorBaseWithItsTextsUnchanged) {
  using Case = Downloader::DownloadError::Case;
  struct Row {
    Case errorCase;
    std::string detail;
    int code;
    const char* name;
    const char* text;
  } rows[] = {
      {Case::invalidDownloadLocation, "", 0, "invalidDownloadLocation", "Invalid download location"},
      {Case::unexpectedError, "", 1, "unexpectedError", "Unexpected download error"},
      {Case::unexpectedError, "HTTP status 404", 1, "unexpectedError", "Unexpected download error: HTTP status 404"},
      {Case::tempFileNotFound, "", 2, "tempFileNotFound", "Temporary file not found"},
  };
  for (const auto& row : rows) {
    const Downloader::DownloadError error(row.errorCase, row.detail);
    const platform::sys::Error& base = error;
    EXPECT_EQ(base.domain(), "Downloader.DownloadError");
    EXPECT_EQ(base.code(), row.code);
    EXPECT_EQ(base.caseName(), row.name);
    EXPECT_EQ(base.message(), row.detail);
    EXPECT_STREQ(base.what(), row.text);
    EXPECT_EQ(error.errorCase(), row.errorCase);
    EXPECT_EQ(error.detail(), row.detail);
  }
  EXPECT_EQ(Downloader::DownloadError(Case::unexpectedError, "a"), Downloader::DownloadError(Case::unexpectedError));
  EXPECT_FALSE(Downloader::DownloadError(Case::unexpectedError) == Downloader::DownloadError(Case::tempFileNotFound));
}

TEST_F(DownloaderTest, AFailingDiskEndsTheRunWithTheFileErrorAndKeepsThePartialFile) {
  using Operation = platform::fs::FaultInjectingFileSystem::Operation;
  const std::string content = serve(25 * kMiB);
  struct Case {
    Operation operation;
    const char* name;
    std::int64_t kept;  // bytes of the partial file afterwards
  } cases[] = {
      {Operation::open, "open", 1000},
      {Operation::write, "write", 1000},
      {Operation::sync, "fsync", 25 * kMiB},
      {Operation::move, "move", 25 * kMiB},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(partial_, content.substr(0, 1000));
    platform::fs::FaultInjectingFileSystem faulty(platform::fs::RealFileSystem::shared());
    faulty.addFault({.operation = c.operation, .errorCode = ENOSPC});
    Downloader d(destination_, partial_, false, nullptr, faulty);
    const auto states = run(d, 25 * kMiB);
    ASSERT_TRUE(failedWith<platform::fs::FileError>(states));
    try {
      std::rethrow_exception(failureOf(states));
    } catch (const platform::fs::FileError& e) {
      EXPECT_EQ(e.code(), ENOSPC);
      EXPECT_NE(std::string(e.what()).find(partial_.string()), std::string::npos) << e.what();
    }
    EXPECT_EQ(partialFileSize(partial_), c.kept);
    EXPECT_FALSE(fs::exists(destination_));
  }
  // With the disk healthy again, the whole partial file is moved without a request.
  hub_.clearRequests();
  auto d = makeDownloader();
  ASSERT_TRUE(std::holds_alternative<Downloader::Completed>(run(*d, 25 * kMiB).back()));
  EXPECT_TRUE(gets().empty());
  EXPECT_TRUE(sameBytes(destination_, content));
}

TEST_F(DownloaderTest, WrongLengthStaysTheReportedErrorWhenThePartialFileCannotBeDeleted) {
  serve(4000);
  writeFile(partial_, "");
  platform::fs::FaultInjectingFileSystem faulty(platform::fs::RealFileSystem::shared());
  faulty.addFault({.operation = platform::fs::FaultInjectingFileSystem::Operation::remove, .errorCode = EACCES});
  Downloader d(destination_, partial_, false, nullptr, faulty);
  EXPECT_TRUE(failedWith<Downloader::DownloadError>(run(d, 3000)));
  EXPECT_EQ(faulty.injectedFailures(), 1u);
}

}  // namespace
}  // namespace noxtal
