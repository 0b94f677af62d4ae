#include "core/hub/hub_snapshot.hpp"

#include <gtest/gtest.h>

#include "core/hub/cache_metadata.hpp"
#include "core/hub/scoped_environment.hpp"
#include "core/hub/snapshot_test_support.hpp"
#include "platform/json/json.hpp"
#include "platform/sync/cancellation.hpp"
#include "support/fake_hub/fake_hub.hpp"

namespace noxtal {
namespace {

namespace fs = std::filesystem;
using namespace noxtal::snapshot_testing;

const HubApi::Repo kRepo{"owner/repo", HubRepoType::models};
const std::string kListingPath = "/api/models/owner/repo/revision/main";

// Five files; the two larger than the linked-file threshold carry a SHA-256 etag.
const std::vector<std::pair<std::string, std::size_t>> kFiles = {
    {"a.txt", 300}, {"b.bin", 5000}, {"c.json", 120}, {"d/e.bin", 7000}, {"f.txt", 10}};

class HubSnapshotTest : public ::testing::Test {
 protected:
  void SetUp() override {
    served_ = tmp_.path() / "served";
    base_ = tmp_.path() / "base";
    fs::create_directories(served_);
    std::uint32_t seed = 1;
    for (const auto& [name, size] : kFiles) writeBytes(served_ / name, contentBytes(size, seed++));
    fake_hub::RepositoryOptions options;
    options.linkedFileThreshold = 1000;
    options.revisions = {"main", "refs/pr/1"};
    hub_.addRepository(kRepo.id, served_, options);
  }

  HubApi api(std::optional<bool> offline = false) const {
    return HubApi(base_ / "cache", std::string(), hub_.endpoint(), false, offline);
  }

  void answerListing(const std::vector<std::string>& names) {
    platform::json::Json siblings = platform::json::Json::array();
    for (const auto& name : names) siblings.push_back({{"rfilename", name}});
    hub_.setAnswer(
        kListingPath,
        fake_hub::Answer{200, {{"Content-Type", "application/json"}}, platform::json::dump({{"siblings", siblings}})});
  }

  fs::path repoFolder() const { return api().repoDestination(kRepo); }
  fs::path metadataFolder() const { return api().repoMetadataDestination(kRepo); }

  testing::ScopedEnvironment env_;
  ScratchFolder tmp_;
  fake_hub::FakeHub hub_;
  fs::path served_;
  fs::path base_;
};

template <class E, class Check>
void expectThrows(const std::function<void()>& action, Check check) {
  try {
    action();
    ADD_FAILURE() << "no exception";
  } catch (const E& error) {
    check(error);
  } catch (const std::exception& other) {
    ADD_FAILURE() << "unexpected exception: " << other.what();
  }
}

TEST_F(HubSnapshotTest, ListingWithoutPatternsKeepsTheAnswerAndItsOrder) {
  EXPECT_EQ(getFilenames(api(), kRepo, "main", {}),
            (std::vector<std::string>{"a.txt", "b.bin", "c.json", "d/e.bin", "f.txt"}));
  EXPECT_EQ(hub_.requestCount("GET", kListingPath), 1u);
  answerListing({"z.txt", "a.txt", "z.txt"});
  EXPECT_EQ(getFilenames(api(), kRepo, "main", {}), (std::vector<std::string>{"z.txt", "a.txt", "z.txt"}));
}

TEST_F(HubSnapshotTest, PatternsGiveEachMatchOnceInListingOrder) {
  answerListing({"z.txt", "sub/a.txt", "m.bin", "a.txt", "..dots.txt"});
  const struct {
    std::vector<std::string> patterns;
    std::vector<std::string> expected;
  } cases[] = {
      {{"*.txt"}, {"z.txt", "sub/a.txt", "a.txt", "..dots.txt"}},  // "*" also matches "/" and a leading "."
      {{"a.txt", "*.txt", "a.txt"}, {"z.txt", "sub/a.txt", "a.txt", "..dots.txt"}},
      {{"m.bin", "z.txt"}, {"z.txt", "m.bin"}},
      {{"*.json"}, {}},
      {{"sub/?.txt"}, {"sub/a.txt"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(getFilenames(api(), kRepo, "main", c.patterns), c.expected) << c.patterns.front();
  }
}

TEST_F(HubSnapshotTest, TwoPatternsMatchingOneNameFetchItOnce) {
  snapshot(api(), kRepo, "main", {"a.txt", "*.txt"});
  EXPECT_EQ(hub_.requestCount("HEAD", "/resolve/main/a.txt"), 1u);
  EXPECT_EQ(hub_.requestCount("GET", "/resolve/main/a.txt"), 1u);
  EXPECT_EQ(hub_.requestCount("HEAD", "/resolve/main/f.txt"), 1u);
  EXPECT_EQ(hub_.requestCount("HEAD"), 2u);
}

TEST_F(HubSnapshotTest, RevisionIsOnePercentEncodedSegment) {
  EXPECT_EQ(repositoryListingUrl(api(), kRepo, "refs/pr/1").string(),
            hub_.endpoint() + "/api/models/owner/repo/revision/refs%2Fpr%2F1");
  const HubApi::Repo dataset{"d/x", HubRepoType::datasets};
  EXPECT_EQ(repositoryListingUrl(api(), dataset, "main").string(), hub_.endpoint() + "/api/datasets/d/x/revision/main");
  EXPECT_EQ(getFilenames(api(), kRepo, "refs/pr/1", {"a.txt"}), std::vector<std::string>{"a.txt"});
  EXPECT_EQ(hub_.requestCount("GET", "/api/models/owner/repo/revision/refs%2Fpr%2F1"), 1u);

  HubApi broken = api();
  broken.endpoint = "";
  expectThrows<Hub::HubClientError>(
      [&] { getFilenames(broken, kRepo, "main", {}); },
      [](const auto& e) { EXPECT_EQ(e.errorCase(), Hub::HubClientError::Case::parseError); });
}

TEST_F(HubSnapshotTest, ListingFailures) {
  expectThrows<Hub::HubClientError>([&] { getFilenames(api(), kRepo, "no-such-revision", {}); },
                                    [](const auto& e) {
                                      EXPECT_EQ(e.errorCase(), Hub::HubClientError::Case::fileNotFound);
                                      EXPECT_EQ(e.message(), "no-such-revision");
                                    });
  for (const std::string body : {R"({"id":"x"})", R"({"siblings":[{"name":"a"}]})", R"({"siblings":{}})", "not json"}) {
    hub_.setAnswer(kListingPath, fake_hub::Answer{200, {}, body});
    EXPECT_THROW(getFilenames(api(), kRepo, "main", {}), platform::json::JsonError) << body;
  }
}

TEST_F(HubSnapshotTest, UnsafeNamesInTheListingAreRejectedBeforeAnythingIsWritten) {
  const std::string outside = (tmp_.path() / "outside.txt").string();
  const std::vector<std::string> names = {"../outside.txt",
                                          "../../../outside.txt",
                                          "sub/../../x.txt",
                                          outside,
                                          "a\\..\\b.txt",
                                          "./a.txt",
                                          "a//b.txt",
                                          "",
                                          "sub/"};
  for (const std::string& name : names) {
    answerListing({"a.txt", name});
    expectThrows<Hub::HubClientError>(
        [&] { snapshot(api(), kRepo, "main", {}); },
        [&](const auto& e) { EXPECT_EQ(e.errorCase(), Hub::HubClientError::Case::parseError) << name; });
    // Matching patterns do not let a bad name through either ("*" matches "/" and ".").
    EXPECT_THROW(snapshot(api(), kRepo, "main", {"*.txt", "*"}), Hub::HubClientError) << name;
  }
  EXPECT_EQ(hub_.requestCount("HEAD"), 0u);
  EXPECT_FALSE(fs::exists(base_));
  EXPECT_FALSE(fs::exists(tmp_.path() / "outside.txt"));
  EXPECT_EQ(filesBelow(tmp_.path()), (std::vector<std::string>{"served/a.txt", "served/b.bin", "served/c.json",
                                                               "served/d/e.bin", "served/f.txt"}));
  // Names that only look odd stay allowed.
  answerListing({"..a.txt", "a..b/c.txt", ".hidden"});
  EXPECT_EQ(getFilenames(api(), kRepo, "main", {}), (std::vector<std::string>{"..a.txt", "a..b/c.txt", ".hidden"}));
}

TEST_F(HubSnapshotTest, NoMatchReturnsTheFolderUncreatedAndReportsZeroOfZero) {
  std::vector<std::pair<std::int64_t, std::int64_t>> reports;
  const fs::path folder = snapshot(api(), kRepo, "main", {"*.gguf"}, [&](const Progress& p) {
    reports.emplace_back(p.completedUnitCount(), p.totalUnitCount());
  });
  EXPECT_EQ(folder, repoFolder());
  EXPECT_FALSE(fs::exists(folder));
  EXPECT_EQ(reports, (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 0}}));
}

TEST_F(HubSnapshotTest, FiveFilesDownloadVerifyOfflineThenDetectAnAlteredFile) {
  std::vector<double> fractions;
  const fs::path folder =
      snapshot(api(), kRepo, "main", {}, [&](const Progress& p) { fractions.push_back(p.fractionCompleted()); });
  ASSERT_EQ(folder, repoFolder());
  for (const auto& [name, size] : kFiles) {
    EXPECT_EQ(readBytes(folder / name), readBytes(served_ / name)) << name;
    const auto record = readDownloadMetadata(metadataFolder() / (name + ".metadata"));
    ASSERT_TRUE(record) << name;
    EXPECT_EQ(record->etag, hub_.etagOf(kRepo.id, name)) << name;
  }
  ASSERT_FALSE(fractions.empty());
  EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
  EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));

  // A second snapshot lists and asks for metadata, but transfers nothing.
  hub_.clearRequests();
  snapshot(api(), kRepo, "main", {});
  EXPECT_EQ(hub_.requestCount("GET"), 1u);
  EXPECT_EQ(hub_.requestCount("HEAD"), 5u);

  hub_.clearRequests();
  EXPECT_EQ(snapshot(api(true), kRepo, "other-revision", {}), folder);
  EXPECT_EQ(hub_.requestCount(), 0u);

  // Altered content under a 40-digit etag is not checked; under a SHA-256 etag it is.
  writeBytes(folder / "a.txt", contentBytes(300, 99));
  EXPECT_NO_THROW(snapshot(api(true), kRepo, "main", {}));
  writeBytes(folder / "d/e.bin", contentBytes(7000, 99));
  expectThrows<HubApiEnvironmentError>([&] { snapshot(api(true), kRepo, "main", {"*.bin"}); },
                                       [](const auto& e) {
                                         EXPECT_EQ(e.errorCase(), HubApiEnvironmentError::Case::fileIntegrityError);
                                         EXPECT_STREQ(e.what(), "File integrity check failed: Hash mismatch for e.bin");
                                       });
  EXPECT_NO_THROW(snapshot(api(true), kRepo, "main", {"b.bin", "*.txt"}));
  EXPECT_EQ(hub_.requestCount(), 0u);
}

TEST_F(HubSnapshotTest, FilesRunOneAfterAnotherInListingOrderWithOneUnitEach) {
  answerListing({"f.txt", "d/e.bin", "a.txt"});
  std::vector<std::pair<std::int64_t, std::int64_t>> reports;
  snapshot(api(), kRepo, "main", {},
           [&](const Progress& p) { reports.emplace_back(p.completedUnitCount(), p.totalUnitCount()); });

  // The listing first; then each file's metadata request and transfer before the next file's.
  const auto recorded = hub_.requests();
  ASSERT_FALSE(recorded.empty());
  EXPECT_EQ(recorded.front().method, "GET");
  EXPECT_EQ(recorded.front().target, kListingPath);
  std::vector<std::string> steps;
  const std::string resolve = "/resolve/main/";
  for (const auto& request : recorded) {
    const auto at = request.target.find(resolve);
    if (at == std::string::npos) continue;
    std::string step = request.method + " " + request.target.substr(at + resolve.size());
    if (steps.empty() || steps.back() != step) steps.push_back(std::move(step));
  }
  EXPECT_EQ(steps, (std::vector<std::string>{"HEAD f.txt", "GET f.txt", "HEAD d/e.bin", "GET d/e.bin", "HEAD a.txt",
                                             "GET a.txt"}));

  // The overall progress counts files: its total is the number of names, each finished file
  // adds one unit, and the last report is the final one with every file done.
  ASSERT_FALSE(reports.empty());
  std::int64_t previous = 0;
  for (const auto& [completed, total] : reports) {
    EXPECT_EQ(total, 3);
    EXPECT_GE(completed, previous);
    previous = completed;
  }
  EXPECT_EQ(reports.back(), (std::pair<std::int64_t, std::int64_t>{3, 3}));
}

TEST_F(HubSnapshotTest, OfflineModeNeverContactsTheHub) {
  expectThrows<HubApiEnvironmentError>(
      [&] {
        snapshot(api(true), kRepo, "main", {}, [](const Progress&) { ADD_FAILURE() << "progress reported offline"; });
      },
      [](const auto& e) {
        EXPECT_EQ(e.errorCase(), HubApiEnvironmentError::Case::offlineModeError);
        EXPECT_STREQ(e.what(), "Offline mode error: Repository not available locally");
      });
  EXPECT_EQ(hub_.requestCount(), 0u);
}

TEST_F(HubSnapshotTest, OfflineDecisionFollowsTheSettingThenTheMonitor) {
  auto monitor = NetworkMonitor::shared();
  auto source = std::make_unique<platform::net::ManualPathSource>();
  platform::net::ManualPathSource* manual = source.get();
  monitor->usePathSource(std::move(source));
  manual->report(platform::net::NetworkPath{.satisfied = false});

  // Setting false: online although the monitor reports no path.
  EXPECT_NO_THROW(snapshot(api(false), kRepo, "main", {"a.txt"}));
  EXPECT_EQ(hub_.requestCount("HEAD"), 1u);
  // No setting: the monitor decides (offline, and the cache holds a.txt).
  hub_.clearRequests();
  EXPECT_EQ(snapshot(api(std::nullopt), kRepo, "main", {"a.txt"}), repoFolder());
  EXPECT_THROW(snapshot(api(std::nullopt), kRepo, "main", {"b.bin"}), HubApiEnvironmentError);
  EXPECT_EQ(hub_.requestCount(), 0u);
  // With CI_DISABLE_NETWORK_MONITOR=1 the monitor never asks for offline work.
  env_.set("CI_DISABLE_NETWORK_MONITOR", "1");
  EXPECT_NO_THROW(snapshot(api(std::nullopt), kRepo, "main", {"b.bin"}));
  EXPECT_EQ(hub_.requestCount("HEAD"), 1u);

  monitor->usePathSource(std::make_unique<platform::net::ManualPathSource>());
}

TEST_F(HubSnapshotTest, FailureOnTheThirdOfFiveKeepsTheFirstTwo) {
  hub_.addFault(fake_hub::Fault::answerStatus(500, "/resolve/main/c.json").forMethod("HEAD"));
  expectThrows<Hub::HubClientError>([&] { snapshot(api(), kRepo, "main", {}); },
                                    [](const auto& e) {
                                      EXPECT_EQ(e.errorCase(), Hub::HubClientError::Case::httpStatusCode);
                                      EXPECT_EQ(e.statusCode(), 500);
                                    });
  for (const std::string name : {"a.txt", "b.bin"}) {
    EXPECT_EQ(readBytes(repoFolder() / name), readBytes(served_ / name)) << name;
    EXPECT_TRUE(readDownloadMetadata(metadataFolder() / (name + ".metadata"))) << name;
  }
  for (const std::string name : {"c.json", "d/e.bin", "f.txt"}) {
    EXPECT_FALSE(fs::exists(repoFolder() / name)) << name;
    EXPECT_FALSE(fs::exists(metadataFolder() / (name + ".metadata"))) << name;
  }
  EXPECT_EQ(hub_.requestCount("HEAD"), 3u);
}

TEST_F(HubSnapshotTest, CancellationAfterAFileIsAnErrorNotACompleteSnapshot) {
  snapshot(api(), kRepo, "main", {});
  hub_.clearRequests();
  std::stop_source stop;
  HubApi client = api();
  client.transport = std::make_shared<StoppingTransport>(
      client.transport, stop, [](const platform::net::Request& r) { return r.method == platform::net::Method::head; });
  int reports = 0;
  EXPECT_THROW(snapshot(
                   client, kRepo, "main", {}, [&](const Progress&) { ++reports; }, stop.get_token()),
               platform::sync::CancellationError);
  // The first file's step finished (its copy was current); nothing further was asked for.
  EXPECT_EQ(hub_.requestCount("HEAD"), 1u);
  EXPECT_EQ(reports, 0);

  // A stop requested before the listing ends the snapshot before any request.
  hub_.clearRequests();
  std::stop_source early;
  early.request_stop();
  EXPECT_THROW(snapshot(api(), kRepo, "main", {}, nullptr, early.get_token()), platform::sync::CancellationError);
  EXPECT_EQ(hub_.requestCount("HEAD"), 0u);
}

TEST(HubSiblingsJson, ReadsAndWritesTheListingForm) {
  const auto parsed =
      platform::json::parse(R"({"id":"x","siblings":[{"rfilename":"a/b.txt","size":3}]})").get<HubSiblingsResponse>();
  ASSERT_EQ(parsed.siblings.size(), 1u);
  EXPECT_EQ(parsed.siblings[0].rfilename, "a/b.txt");
  EXPECT_EQ(platform::json::dump(platform::json::Json(parsed)), R"({"siblings":[{"rfilename":"a/b.txt"}]})");
}

}  // namespace
}  // namespace noxtal
