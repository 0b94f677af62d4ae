// The per-file download step and the snapshot on a disk that fails: every file operation goes
// through a FaultInjectingFileSystem, the bytes come from the fake hub. Each fault must give a
// clear error naming the file, keep an intact partial file for the next attempt, leave no record
// that vouches for a file that is not there, and let a later attempt end byte-identical.
#include <gtest/gtest.h>

#include <string>

#include "core/hub/cache_metadata.hpp"
#include "core/hub/hub_errors.hpp"
#include "core/hub/hub_file_downloader.hpp"
#include "core/hub/hub_snapshot.hpp"
#include "core/hub/hub_test_support.hpp"
#include "core/hub/offline_verification.hpp"
#include "platform/crypto/sha256.hpp"
#include "platform/fs/file_system.hpp"
#include "support/fake_hub/fake_hub.hpp"

namespace noxtal {
namespace {

namespace fs = std::filesystem;
using namespace noxtal::testing;
using Faulty = platform::fs::FaultInjectingFileSystem;
using Operation = Faulty::Operation;

constexpr std::size_t kMiB = 1 << 20;
const std::string kOtherCommit = "0000000000111111111122222222223333333333";

std::string sha(const std::string& bytes) { return platform::crypto::sha256Hex(bytes); }
std::string digestOf(const fs::path& file) { return platform::crypto::sha256File(file); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class DownloadDiskFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    served_ = tmp_.path() / "served";
    fs::create_directories(served_);
    fake_hub::RepositoryOptions options;
    options.linkedFileThreshold = 1000;  // larger files are linked, with a SHA-256 etag
    hub_.addRepository("owner/repo", served_, options);
  }

  HubApi api() const { return HubApi(tmp_.path() / "cache", "", hub_.endpoint(), false, false); }

  HubFileDownloader file(const std::string& name) {
    const HubApi hub = api();
    const HubApi::Repo repo{"owner/repo", HubRepoType::models};
    HubFileDownloader step{.hub = hub,
                           .repo = repo,
                           .revision = "main",
                           .repoDestination = hub.repoDestination(repo),
                           .repoMetadataDestination = hub.repoMetadataDestination(repo),
                           .relativeFilename = name,
                           .hfToken = std::nullopt,
                           .endpoint = hub_.endpoint(),
                           .backgroundSession = false,
                           .fileSystem = faulty_};
    return step;
  }

  std::string serve(const std::string& name, std::size_t size, std::uint32_t seed = 11) {
    std::string content = patternBytes(size, seed);
    writeFile(served_ / name, content);
    return content;
  }

  fs::path partialOf(const HubFileDownloader& f) {
    return partialFilePath(f.repoMetadataDestination, f.relativeFilename,
                           hub_.etagOf("owner/repo", f.relativeFilename));
  }

  // The content answers (behind the resolve redirect for linked files) that carried bytes.
  std::size_t contentGets() const { return hub_.requestCount("GET", "/cdn/") + hub_.requestCount("GET", "/resolve/"); }

  // Runs the step and returns the file-write error it must fail with.
  HubApiEnvironmentError expectFileWriteError(const HubFileDownloader& f) {
    try {
      f.download(nullptr, nullptr);
    } catch (const HubApiEnvironmentError& e) {
      EXPECT_EQ(e.errorCase(), HubApiEnvironmentError::Case::fileWriteError) << e.what();
      return e;
    } catch (const std::exception& e) {
      ADD_FAILURE() << "other error: " << e.what();
      throw;
    }
    ADD_FAILURE() << "no error";
    return HubApiEnvironmentError::fileWriteError("");
  }

  // After the fault is gone, the next attempt completes with the served bytes and its record.
  void expectCleanRetry(const HubFileDownloader& f, const std::string& content) {
    faulty_.clearFaults();
    EXPECT_EQ(f.download(nullptr, nullptr), f.destination());
    EXPECT_EQ(digestOf(f.destination()), sha(content));
    const auto record = readDownloadMetadata(f.metadataDestination());
    ASSERT_TRUE(record);
    EXPECT_EQ(record->etag, hub_.etagOf("owner/repo", f.relativeFilename));
    EXPECT_FALSE(fs::exists(partialOf(f)));
  }

  TempFolder tmp_;
  fake_hub::FakeHub hub_;
  fs::path served_;
  Faulty faulty_{platform::fs::RealFileSystem::shared()};
};

TEST_F(DownloadDiskFaultsTest, DiskFullOnTheNthWriteKeepsAnIntactPrefixAndResumesFromIt) {
  // 25 MiB arrive in three writes (10, 10 and 5 MiB). The disk fills up part-way through write n.
  const std::size_t size = 25 * kMiB;
  const std::string content = serve("model.bin", size);
  for (std::uint64_t n : {1u, 2u, 3u}) {
    SCOPED_TRACE(n);
    auto f = file("model.bin");
    fs::remove(f.destination());
    fs::remove(f.metadataDestination());
    hub_.clearRequests();
    faulty_.addFault({.operation = Operation::write,
                      .nth = n,
                      .errorCode = ENOSPC,
                      .pathContains = ".incomplete",
                      .bytesBeforeFailure = 4321});

    const auto error = expectFileWriteError(f);
    EXPECT_TRUE(contains(error.what(), partialOf(f).string())) << error.what();
    EXPECT_TRUE(contains(error.what(), "No space left on device")) << error.what();
    EXPECT_FALSE(fs::exists(f.destination()));
    EXPECT_FALSE(fs::exists(f.metadataDestination())) << "a record for a file that is not there";

    // Every byte kept is the served byte at its offset.
    const std::size_t kept = (n - 1) * 10 * kMiB + 4321;
    const std::string partial = readFile(partialOf(f));
    ASSERT_EQ(partial.size(), kept);
    EXPECT_EQ(sha(partial), sha(content.substr(0, kept)));

    hub_.clearRequests();
    expectCleanRetry(f, content);
    const auto requests = hub_.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().header("Range"), "bytes=" + std::to_string(kept) + "-");
  }
}

TEST_F(DownloadDiskFaultsTest, FailedFlushOrMoveKeepsTheWholePartialFileForAMoveWithoutTransfer) {
  struct Case {
    const char* name;
    Operation operation;
    const char* operationText;
    bool namesDestination;
  } cases[] = {
      {"fsync of the partial file", Operation::sync, "fsync", false},
      {"rename into place", Operation::move, "move", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::size_t size : {std::size_t{300}, 3 * kMiB}) {  // a plain file and a linked one
      SCOPED_TRACE(size);
      const std::string name = size < 1000 ? "config.json" : "weights.bin";
      const std::string content = serve(name, size, static_cast<std::uint32_t>(size));
      auto f = file(name);
      fs::remove(f.destination());
      fs::remove(f.metadataDestination());
      faulty_.addFault({.operation = c.operation, .errorCode = EIO, .pathContains = ".incomplete"});

      const auto error = expectFileWriteError(f);
      EXPECT_TRUE(contains(error.what(), c.operationText)) << error.what();
      EXPECT_TRUE(contains(error.what(), (c.namesDestination ? f.destination() : partialOf(f)).string()))
          << error.what();
      EXPECT_FALSE(fs::exists(f.destination()));
      EXPECT_FALSE(fs::exists(f.metadataDestination()));
      const std::string partial = readFile(partialOf(f));
      EXPECT_EQ(partial.size(), content.size());
      EXPECT_EQ(sha(partial), sha(content)) << "the whole partial file stays";

      hub_.clearRequests();
      expectCleanRetry(f, content);
      EXPECT_EQ(contentGets(), 0u) << "a whole partial file is moved without a transfer";
    }
  }
}

TEST_F(DownloadDiskFaultsTest, FailedRecordWriteNeverLeavesARecordOfAnotherVersion) {
  for (const std::size_t size : {std::size_t{300}, 3 * kMiB}) {
    SCOPED_TRACE(size);
    const std::string name = size < 1000 ? "config.json" : "weights.bin";
    serve(name, size, 1);
    auto f = file(name);
    f.download(nullptr, nullptr);
    ASSERT_TRUE(readDownloadMetadata(f.metadataDestination()));

    // A new version on the hub: the transfer succeeds, its record cannot be written.
    const std::string changed = serve(name, size, 2);
    hub_.setCommit("owner/repo", kOtherCommit);
    faulty_.addFault({.operation = Operation::writeFile, .errorCode = ENOSPC, .pathContains = ".metadata"});
    const auto error = expectFileWriteError(f);
    EXPECT_TRUE(contains(error.what(), "Failed to write metadata to " + f.metadataDestination().string()))
        << error.what();
    EXPECT_EQ(digestOf(f.destination()), sha(changed));
    EXPECT_FALSE(fs::exists(f.metadataDestination())) << "the old version's record outlived its file";
    EXPECT_THROW(verifyOfflineSnapshot(f.repoDestination, f.repoMetadataDestination, {name}), HubApiEnvironmentError);

    expectCleanRetry(f, changed);
    EXPECT_EQ(readDownloadMetadata(f.metadataDestination())->commitHash, kOtherCommit);
    hub_.setCommit("owner/repo", fake_hub::RepositoryOptions{}.commit);
  }
}

TEST_F(DownloadDiskFaultsTest, PartialFileThatCannotBeMadeIsAFileWriteErrorBeforeAnyTransfer) {
  const std::string content = serve("model.bin", 2 * kMiB);
  auto f = file("model.bin");
  faulty_.addFault({.operation = Operation::open, .errorCode = EACCES, .pathContains = ".incomplete"});
  const auto error = expectFileWriteError(f);
  EXPECT_TRUE(contains(error.what(), partialOf(f).string())) << error.what();
  EXPECT_EQ(contentGets(), 0u);
  expectCleanRetry(f, content);
}

TEST_F(DownloadDiskFaultsTest, SnapshotStopsAtTheFailingFileAndKeepsTheFinishedOnes) {
  const std::string first = serve("a.json", 200, 1);
  const std::string second = serve("b.bin", 2 * kMiB, 2);
  const HubApi hub = api();
  const HubApi::Repo repo{"owner/repo", HubRepoType::models};
  faulty_.addFault({.operation = Operation::write, .errorCode = ENOSPC, .pathContains = "b.bin"});
  try {
    snapshot(hub, repo, "main", {}, nullptr, {}, faulty_);
    FAIL() << "no error";
  } catch (const HubApiEnvironmentError& e) {
    EXPECT_EQ(e.errorCase(), HubApiEnvironmentError::Case::fileWriteError);
    EXPECT_TRUE(contains(e.what(), "b.bin")) << e.what();
  }
  const fs::path folder = hub.repoDestination(repo);
  EXPECT_EQ(readFile(folder / "a.json"), first);
  EXPECT_TRUE(readDownloadMetadata(hub.repoMetadataDestination(repo) / "a.json.metadata"));
  EXPECT_FALSE(fs::exists(folder / "b.bin"));
  EXPECT_FALSE(fs::exists(hub.repoMetadataDestination(repo) / "b.bin.metadata"));

  faulty_.clearFaults();
  EXPECT_EQ(snapshot(hub, repo, "main", {}, nullptr, {}, faulty_), folder);
  EXPECT_EQ(digestOf(folder / "b.bin"), sha(second));
  EXPECT_EQ(verifyOfflineSnapshot(folder, hub.repoMetadataDestination(repo), {}, faulty_), folder);
}

TEST_F(DownloadDiskFaultsTest, OfflineCheckReportsAFailingReadInsteadOfAVerdict) {
  serve("weights.bin", 3 * kMiB);
  auto f = file("weights.bin");
  f.download(nullptr, nullptr);
  // The digest of the linked file is read through the file system; a read failure part-way is
  // neither a match nor a mismatch.
  faulty_.addFault({.operation = Operation::read, .nth = 2, .errorCode = EIO, .pathContains = "weights.bin"});
  try {
    verifyOfflineSnapshot(f.repoDestination, f.repoMetadataDestination, {}, faulty_);
    FAIL() << "no error";
  } catch (const Hub::HubClientError& e) {
    EXPECT_EQ(e.errorCase(), Hub::HubClientError::Case::fileSystemError) << e.what();
    EXPECT_TRUE(contains(e.what(), "weights.bin")) << e.what();
  }
  faulty_.clearFaults();
  EXPECT_EQ(verifyOfflineSnapshot(f.repoDestination, f.repoMetadataDestination, {}, faulty_), f.repoDestination);
}

}  // namespace
}  // namespace noxtal
