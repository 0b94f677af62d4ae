#include "core/hub/hub_file_downloader.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "core/hub/cache_metadata.hpp"
#include "core/hub/hub_snapshot.hpp"
#include "core/hub/hub_test_support.hpp"
#include "core/hub/snapshot_test_support.hpp"
#include "platform/crypto/sha256.hpp"
#include "platform/net/http.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sys/error_description.hpp"
#include "support/fake_hub/fake_hub.hpp"

namespace noxtal {
namespace {

namespace fs = std::filesystem;
using namespace noxtal::testing;

constexpr std::int64_t kMiB = 1 << 20;

// Large contents are compared by digest (a failure message never prints megabytes).
std::string sha(const std::string& bytes) { return platform::crypto::sha256Hex(bytes); }
std::string digestOf(const fs::path& file) { return platform::crypto::sha256File(file); }
const std::string kCommit = "4d5f0a3b2c1e9f8a7b6c5d4e3f2a1b0c9d8e7f6a";
const std::string kOtherCommit = "0000000000111111111122222222223333333333";

class HubFileDownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    served_ = tmp_.path() / "served";
    fs::create_directories(served_);
    fake_hub::RepositoryOptions options;
    options.linkedFileThreshold = 1000;  // larger files are answered as linked, with a SHA-256 etag
    hub_.addRepository("owner/repo", served_, options);
  }

  HubFileDownloader file(const std::string& name, std::optional<std::string> token = std::nullopt) const {
    HubApi api(tmp_.path() / "cache", token.value_or(""), hub_.endpoint(), false, false);
    const HubApi::Repo repo{"owner/repo", HubRepoType::models};
    return HubFileDownloader{
        api,  repo, "main", api.repoDestination(repo), api.repoMetadataDestination(repo), name, token, hub_.endpoint(),
        false};
  }

  std::string serve(const std::string& name, std::size_t size, std::uint32_t seed = 3) {
    std::string content = patternBytes(size, seed);
    writeFile(served_ / name, content);
    return content;
  }

  // Transfers started (a linked file adds a second GET behind the redirect).
  std::size_t gets() const { return hub_.requestCount("GET", "/resolve/"); }
  std::size_t heads() const { return hub_.requestCount("HEAD"); }

  std::vector<std::string> partialFiles(const HubFileDownloader& f) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(f.repoMetadataDestination, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->path().extension() == ".incomplete") names.push_back(it->path().filename().string());
    }
    return names;
  }

  TempFolder tmp_;
  fake_hub::FakeHub hub_;
  fs::path served_;
};

TEST_F(HubFileDownloaderTest, SourceUrlKeepsTheRevisionAsOneSegment) {
  auto f = file("sub/w.bin");
  f.endpoint = "https://hub.example";
  EXPECT_EQ(f.source().string(), "https://hub.example/owner/repo/resolve/main/sub/w.bin");
  f.revision = "refs/pr/1";
  f.repo = HubApi::Repo{"d/x", HubRepoType::datasets};
  EXPECT_EQ(f.source().string(), "https://hub.example/datasets/d/x/resolve/refs%2Fpr%2F1/sub/w.bin");
  f.endpoint = "not a url";
  EXPECT_THROW(f.source(), Hub::HubClientError);
}

TEST(HubFileDownloaderValues, EtagNormalisationAndSizeHeaders) {
  const std::pair<std::optional<std::string>, std::optional<std::string>> etags[] = {
      {"W/\"abc\"", "abc"}, {"\"abc\"", "abc"},           {"abc", "abc"},
      {"\"a\"b\"", "a\"b"}, {std::nullopt, std::nullopt}, {"W/W/\"x\"", "W/\"x"}};
  for (const auto& [in, out] : etags) EXPECT_EQ(normalizeEtag(in), out) << in.value_or("<none>");

  const std::pair<const char*, std::optional<std::int64_t>> sizes[] = {{"12", 12},
                                                                       {"+12", 12},
                                                                       {"-3", -3},
                                                                       {"12a", std::nullopt},
                                                                       {"", std::nullopt},
                                                                       {" 12", std::nullopt},
                                                                       {"+", std::nullopt},
                                                                       {"+-1", std::nullopt},
                                                                       {"9223372036854775807", INT64_MAX},
                                                                       {"9223372036854775808", std::nullopt},
                                                                       {"-9223372036854775808", INT64_MIN}};
  for (const auto& [in, out] : sizes) EXPECT_EQ(parseSizeHeader(in), out) << in;

  for (const char* bad : {"", "/abs", "a/../b", "..", "a//b", "./a", "a\\b", "a/"}) {
    EXPECT_FALSE(isSafeRelativeFilename(bad)) << bad;
  }
  for (const char* good : {"a", "a/b.json", ".gitattributes", "a/..b"})
    EXPECT_TRUE(isSafeRelativeFilename(good)) << good;
}

TEST_F(HubFileDownloaderTest, RemoteStateOfPlainAndLinkedFiles) {
  serve("small.json", 10);
  const std::string big = serve("big.bin", 5000);
  auto api = file("x").hub;
  const auto plain = getFileMetadata(api, file("small.json").source());
  EXPECT_EQ(plain.commitHash, kCommit);
  EXPECT_EQ(plain.etag, hub_.etagOf("owner/repo", "small.json"));
  EXPECT_EQ(plain.size, 10);
  EXPECT_EQ(plain.location, file("small.json").source().string());

  const auto linked = getFileMetadata(api, file("big.bin").source());
  EXPECT_EQ(linked.etag, platform::crypto::sha256Hex(big));
  EXPECT_EQ(linked.size, 5000);
  EXPECT_NE(linked.location.find("/cdn/"), std::string::npos) << linked.location;
}

TEST_F(HubFileDownloaderTest, DownloadsRecordsAndThenSkipsOnTheSameCommit) {
  const std::string content = serve("sub/config.json", 300);
  auto f = file("sub/config.json", "tok");
  auto overall = Progress::make(1);
  auto progress = Progress::makeChild(overall, 100, 1);
  int calls = 0;
  EXPECT_EQ(f.download(progress, overall,
                       [&](const Progress& p) {
                         ++calls;
                         EXPECT_EQ(&p, overall.get());
                       }),
            f.destination());
  EXPECT_EQ(readFile(f.destination()), content);
  EXPECT_GE(calls, 1);
  const auto record = readDownloadMetadata(f.metadataDestination());
  ASSERT_TRUE(record);
  EXPECT_EQ(record->commitHash, kCommit);
  EXPECT_EQ(record->etag, hub_.etagOf("owner/repo", "sub/config.json"));
  EXPECT_TRUE(partialFiles(f).empty());
  EXPECT_EQ(gets(), 1u);
  for (const auto& r : hub_.requests()) EXPECT_EQ(r.header("Authorization"), "Bearer tok");

  const std::string before = readFile(f.metadataDestination());
  serve("sub/config.json", 300, 99);  // changed on the hub, but the commit says nothing changed
  f.download(nullptr, nullptr);
  EXPECT_EQ(gets(), 1u);
  EXPECT_EQ(heads(), 2u);
  EXPECT_EQ(readFile(f.metadataDestination()), before) << "the same-commit skip writes nothing";
  EXPECT_EQ(readFile(f.destination()), content);
}

TEST_F(HubFileDownloaderTest, IncompleteRemoteStateIsAnError) {
  serve("f.json", 300);
  using Changes = std::vector<std::pair<std::string, std::optional<std::string>>>;
  const Changes cases[] = {
      {{"ETag", std::nullopt}},
      {{"X-Repo-Commit", std::nullopt}},
      {{"X-Linked-Size", "12a"}},
      {{"X-Repo-Commit", "not-a-commit"}, {"ETag", std::nullopt}},
  };
  for (const auto& changes : cases) {
    hub_.clearFaults();
    fake_hub::Fault fault;
    fault.method = "HEAD";
    fault.headerChanges = changes;
    hub_.addFault(fault);
    try {
      file("f.json").download(nullptr, nullptr);
      FAIL() << "no error for " << changes[0].first;
    } catch (const HubApiEnvironmentError& e) {
      EXPECT_EQ(e.errorCase(), HubApiEnvironmentError::Case::invalidMetadataError);
      EXPECT_STREQ(e.what(), "Invalid metadata: File metadata must have been retrieved from server");
    }
  }
  EXPECT_EQ(gets(), 0u);
}

TEST_F(HubFileDownloaderTest, DecisionTableForAPresentLocalFile) {
  struct Case {
    const char* name;
    std::string file;
    std::size_t size;
    bool localMatches;  // local bytes equal the hub's
    std::optional<std::string> recordCommit;
    bool recordEtagMatches;
    std::string hubCommit;
    std::size_t expectedGets;
  } cases[] = {
      {"same commit", "a.json", 300, false, kCommit, false, kCommit, 0},
      {"commit not a full hash never skips", "b.json", 300, true, "abc", true, "abc", 0},
      {"same etag, other commit", "c.json", 300, false, kOtherCommit, true, kCommit, 0},
      {"other plain etag", "d.json", 300, true, kOtherCommit, false, kCommit, 1},
      {"digest proves the linked file", "e.bin", 5000, true, std::nullopt, false, kCommit, 0},
      {"digest differs", "f.bin", 5000, false, std::nullopt, false, kCommit, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    hub_.clearRequests();
    hub_.setCommit("owner/repo", c.hubCommit);
    const std::string content = serve(c.file, c.size);
    auto f = file(c.file);
    writeFile(f.destination(), c.localMatches ? content : std::string(c.size, 'L'));
    const std::string etag = *getFileMetadata(f.hub, f.source()).etag;
    hub_.clearRequests();
    if (c.recordCommit) {
      writeFile(f.metadataDestination(), *c.recordCommit + "\n" + (c.recordEtagMatches ? etag : "old") + "\n1.0\n");
    }
    const std::string before = c.recordCommit ? readFile(f.metadataDestination()) : "";
    f.download(nullptr, nullptr);
    EXPECT_EQ(gets(), c.expectedGets);
    const auto record = readDownloadMetadata(f.metadataDestination());
    ASSERT_TRUE(record);
    if (std::string(c.name) == "same commit") {
      EXPECT_EQ(readFile(f.metadataDestination()), before);
      EXPECT_EQ(readFile(f.destination()), std::string(c.size, 'L')) << "kept without a check";
    } else {
      EXPECT_EQ(record->commitHash, c.hubCommit);
      EXPECT_EQ(record->etag, etag);
      EXPECT_GT(record->timestamp, 1.0) << "the record is written anew";
      if (c.localMatches || c.expectedGets > 0) {
        EXPECT_EQ(readFile(f.destination()), content);
      }
    }
  }
}

TEST_F(HubFileDownloaderTest, InterruptedTransferResumesAndAChangedEtagStartsANewPartialFile) {
  serve("w.bin", 20 * kMiB, 1);
  auto f = file("w.bin");
  fake_hub::Fault stall;
  stall.method = "GET";
  stall.pathContains = "/cdn/";  // the content answer behind the resolve redirect
  stall.stall = std::chrono::milliseconds(30'000);
  stall.stallAfterBytes = 12 * kMiB;
  stall.times = 1;
  hub_.addFault(stall);

  // Cancel once the first 10 MiB are on disk.
  std::stop_source stop;
  auto progress = Progress::make(100);
  std::jthread watcher([&](std::stop_token done) {
    while (!done.stop_requested() && progress->completedUnitCount() < 50)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    stop.request_stop();
  });
  EXPECT_THROW(f.download(progress, nullptr, nullptr, stop.get_token()), platform::sync::CancellationError);
  watcher.request_stop();
  const auto partials = partialFiles(f);
  ASSERT_EQ(partials.size(), 1u);
  const std::string firstEtag = *getFileMetadata(f.hub, f.source()).etag;
  EXPECT_EQ(partials[0], "w.bin." + firstEtag + ".incomplete");
  EXPECT_EQ(partialFileSize(partialFilePath(f.repoMetadataDestination, "w.bin", firstEtag)), 10 * kMiB);
  EXPECT_FALSE(readDownloadMetadata(f.metadataDestination())) << "no record for a failed transfer";

  // Same content: resumes at the partial file's length.
  hub_.clearRequests();
  const std::string content = serve("w.bin", 20 * kMiB, 1);
  f.download(nullptr, nullptr);
  auto requests = hub_.requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().header("Range"), "bytes=10485760-");
  EXPECT_EQ(digestOf(f.destination()), sha(content));
  EXPECT_TRUE(partialFiles(f).empty());

  // Changed content: a new partial file from zero; the older one is deleted.
  writeFile(partialFilePath(f.repoMetadataDestination, "w.bin", firstEtag), std::string(kMiB, 'x'));
  const std::string changed = serve("w.bin", 20 * kMiB, 2);
  hub_.setCommit("owner/repo", kOtherCommit);
  hub_.clearRequests();
  f.download(nullptr, nullptr);
  requests = hub_.requests();
  EXPECT_FALSE(requests.back().header("Range"));
  EXPECT_EQ(digestOf(f.destination()), sha(changed));
  EXPECT_TRUE(partialFiles(f).empty());
}

TEST_F(HubFileDownloaderTest, DanglingSymbolicLinkIsNoLocalCopy) {
  const std::string content = serve("l.json", 300);
  auto f = file("l.json");
  fs::create_directories(f.destination().parent_path());
  fs::create_symlink(tmp_.path() / "nowhere", f.destination());
  writeFile(f.metadataDestination(), kCommit + "\n" + hub_.etagOf("owner/repo", "l.json") + "\n1.0\n");
  EXPECT_EQ(f.download(nullptr, nullptr), f.destination());
  EXPECT_EQ(gets(), 1u);
  EXPECT_FALSE(fs::is_symlink(f.destination()));
  EXPECT_EQ(readFile(f.destination()), content);
}

TEST_F(HubFileDownloaderTest, HostileEtagCannotNameAPathOutsideTheMetadataFolder) {
  const std::string content = serve("f.json", 300);
  fake_hub::Fault fault;
  fault.method = "HEAD";
  fault.headerChanges = {{"ETag", "\"../../../escaped\""}};
  hub_.addFault(fault);
  auto f = file("f.json");
  f.download(nullptr, nullptr);
  EXPECT_EQ(readFile(f.destination()), content);
  EXPECT_FALSE(fs::exists(f.repoDestination.parent_path() / "escaped.incomplete"));
  EXPECT_EQ(readDownloadMetadata(f.metadataDestination())->etag, "../../../escaped");
}

TEST_F(HubFileDownloaderTest, UnsafeRelativeNameIsRefusedBeforeAnyRequest) {
  auto f = file("../outside.json");
  EXPECT_THROW(f.download(nullptr, nullptr), Hub::HubClientError);
  EXPECT_EQ(hub_.requestCount(), 0u);
}

TEST_F(HubFileDownloaderTest, TwoSnapshotsOfOneRepositoryAtOnceBothCompleteAndShareATransfer) {
  // The first snapshot's transfer of a.txt is held before it is sent; the second snapshot reaches
  // the same file meanwhile. Neither may end the other, and both end with the whole repository.
  const std::vector<std::pair<std::string, std::size_t>> files = {
      {"a.txt", 300}, {"b.bin", 5000}, {"c.json", 120}, {"d/e.bin", 7000}};
  std::uint32_t seed = 1;
  for (const auto& [name, size] : files) serve(name, size, seed++);
  HubApi client(tmp_.path() / "cache", std::string(), hub_.endpoint(), false, false);
  const HubApi::Repo repo{"owner/repo", HubRepoType::models};
  auto holding =
      std::make_shared<snapshot_testing::HoldingTransport>(client.transport, [](const platform::net::Request& r) {
        return r.method == platform::net::Method::get && r.url.find("/resolve/main/a.txt") != std::string::npos;
      });
  client.transport = holding;

  std::exception_ptr errors[2];
  std::thread first([&] {
    try {
      snapshot(client, repo, "main", {});
    } catch (...) {
      errors[0] = std::current_exception();
    }
  });
  holding->waitUntilHolding();

  std::promise<void> secondReported;  // its first progress report, or its end
  std::once_flag reported;
  auto signal = [&] { std::call_once(reported, [&] { secondReported.set_value(); }); };
  std::thread second([&] {
    try {
      snapshot(client, repo, "main", {}, [&](const Progress&) { signal(); });
    } catch (...) {
      errors[1] = std::current_exception();
    }
    signal();
  });
  // A watchdog, not a timed check: the report comes at once when the second transfer waits.
  EXPECT_EQ(secondReported.get_future().wait_for(std::chrono::seconds(60)), std::future_status::ready);
  holding->open();
  first.join();
  second.join();

  EXPECT_FALSE(errors[0]) << "first snapshot: " << platform::sys::describeError(errors[0]);
  EXPECT_FALSE(errors[1]) << "second snapshot: " << platform::sys::describeError(errors[1]);
  for (const auto& [name, size] : files) {
    EXPECT_EQ(digestOf(client.repoDestination(repo) / name), digestOf(served_ / name)) << name;
    EXPECT_TRUE(readDownloadMetadata(client.repoMetadataDestination(repo) / (name + ".metadata"))) << name;
  }
  // The second waited for the held transfer and took its outcome instead of fetching again.
  EXPECT_EQ(hub_.requestCount("GET", "/resolve/main/a.txt"), 1u);
  EXPECT_EQ(partialFiles(file("a.txt")), std::vector<std::string>{});
}

TEST(ConsumeDownloadStates, StreamEndingWithoutCompletionIsAnError) {
  auto overall = Progress::make(1);
  auto file = Progress::makeChild(overall, 100, 1);
  Downloader::StateStream stream;
  {
    Broadcaster<Downloader::DownloadState> broadcaster([] { return std::optional<Downloader::DownloadState>(); });
    stream = broadcaster.subscribe();
    broadcaster.broadcast(Downloader::Downloading{0.5, 2e6});
    broadcaster.broadcast(Downloader::Downloading{std::nan(""), std::nullopt});
  }  // the stream ends here
  int calls = 0;
  EXPECT_THROW(consumeDownloadStates(stream, file, overall, [&](const Progress&) { ++calls; }),
               Downloader::DownloadError);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(file->completedUnitCount(), 50);
  EXPECT_EQ(file->throughput(), 2e6);
  EXPECT_EQ(overall->throughput(), 2e6);
}

}  // namespace
}  // namespace noxtal
