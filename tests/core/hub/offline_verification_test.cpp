#include "core/hub/offline_verification.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "core/hub/cache_metadata.hpp"
#include "core/hub/hub_errors.hpp"
#include "core/hub/snapshot_test_support.hpp"
#include "platform/crypto/sha256.hpp"

namespace noxtal {
namespace {

namespace fs = std::filesystem;
using namespace noxtal::snapshot_testing;

const std::string kCommit = "4d5f0a3b2c1e9f8a7b6c5d4e3f2a1b0c9d8e7f6a";
const std::string kBlobEtag = "0123456789abcdef0123456789abcdef01234567";

// A repository folder and its metadata folder, filled by each case.
struct Cache {
  fs::path repo;
  fs::path metadata;

  // Writes a data file and, unless `etag` is empty, its metadata record.
  void add(const std::string& name, const std::string& content, const std::string& etag) const {
    writeBytes(repo / name, content);
    if (!etag.empty()) writeDownloadMetadata(kCommit, etag, metadata / (name + ".metadata"));
  }
  // A file with a SHA-256 etag that matches its content.
  void addVerified(const std::string& name, const std::string& content) const {
    add(name, content, platform::crypto::sha256Hex(content));
  }
};

struct Case {
  const char* name;
  std::function<void(const Cache&)> prepare;
  std::vector<std::string> patterns;
  // Empty: the check passes. Otherwise the expected description.
  std::string failure;
  HubApiEnvironmentError::Case errorCase = HubApiEnvironmentError::Case::offlineModeError;
};

TEST(OfflineVerification, CacheStates) {
  const Case cases[] = {
      {"nothing cached",
       [](const Cache& c) { fs::remove_all(c.repo); },
       {"*"},
       "Offline mode error: Repository not available locally"},
      {"empty folder", [](const Cache&) {}, {}, "Offline mode error: No files available locally for this repository"},
      {"only hidden files and the metadata folder",
       [](const Cache& c) {
         writeBytes(c.repo / ".gitattributes", "x");
         writeBytes(c.repo / ".git/config", "x");
         writeDownloadMetadata(kCommit, kBlobEtag, c.metadata / "w.bin.metadata");
       },
       {},
       "Offline mode error: No files available locally for this repository"},
      {"no file matches",
       [](const Cache& c) { c.addVerified("w.bin", "weights"); },
       {"*.json", "sub/*"},
       "Offline mode error: No files matching the requested patterns are available locally"},
      {"metadata missing",
       [](const Cache& c) {
         c.addVerified("a.json", "{}");
         c.add("w.bin", "weights", "");
       },
       {"*.json", "*.bin"},
       "Offline mode error: Metadata not available for w.bin"},
      {"altered content under a SHA-256 etag",
       [](const Cache& c) { c.add("sub/w.bin", "altered", platform::crypto::sha256Hex("original")); },
       {"sub/*"},
       "File integrity check failed: Hash mismatch for w.bin",
       HubApiEnvironmentError::Case::fileIntegrityError},
      {"altered content under a commit-style etag passes",
       [](const Cache& c) { c.add("w.bin", "altered", kBlobEtag); },
       {"*.bin"},
       ""},
      {"an upper-case digest is not a SHA-256 etag",
       [](const Cache& c) { c.add("w.bin", "altered", std::string(64, 'A')); },
       {},
       ""},
      {"verified files in folders, patterns tried in order",
       [](const Cache& c) {
         c.addVerified("config.json", "{\"a\":1}");
         c.addVerified("Model.mlmodelc/weights/weight.bin", "weights");
         c.add("other.txt", "not requested, no metadata", "");
       },
       {"config.json", "Model.mlmodelc/*"},
       ""},
      {"records in the metadata folder are never listed",
       [](const Cache& c) {
         c.addVerified("w.bin", "weights");
         writeBytes(c.metadata / "stray.bin", "no record for me");
       },
       {"*"},
       ""},
      {"a damaged record reads as absent",
       [](const Cache& c) {
         writeBytes(c.repo / "w.bin", "weights");
         writeBytes(c.metadata / "w.bin.metadata", "only one line");
       },
       {},
       "Offline mode error: Metadata not available for w.bin"},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    ScratchFolder tmp;
    const Cache cache{tmp.path() / "models/owner/repo", tmp.path() / "models/owner/repo/.cache/huggingface/download"};
    fs::create_directories(cache.repo);
    testCase.prepare(cache);
    if (testCase.failure.empty()) {
      EXPECT_EQ(verifyOfflineSnapshot(cache.repo, cache.metadata, testCase.patterns), cache.repo);
      continue;
    }
    try {
      verifyOfflineSnapshot(cache.repo, cache.metadata, testCase.patterns);
      ADD_FAILURE() << "passed";
    } catch (const HubApiEnvironmentError& error) {
      EXPECT_EQ(error.errorCase(), testCase.errorCase);
      EXPECT_EQ(error.errorDescription(), testCase.failure);
    }
  }
}

TEST(OfflineVerification, FilesResolvingOutsideTheRepository) {
  ScratchFolder tmp;
  const fs::path repo = tmp.path() / "repo";
  const fs::path metadata = repo / ".cache/huggingface/download";
  writeBytes(tmp.path() / "elsewhere/w.bin", "outside");
  fs::create_directories(repo);
  fs::create_symlink(tmp.path() / "elsewhere/w.bin", repo / "link.bin");
  writeDownloadMetadata(kCommit, kBlobEtag, metadata / "link.bin.metadata");

  // With patterns such a file is skipped; without, it cannot be vouched for.
  try {
    verifyOfflineSnapshot(repo, metadata, {"*.bin"});
    ADD_FAILURE() << "passed";
  } catch (const HubApiEnvironmentError& error) {
    EXPECT_EQ(error.message(), "No files matching the requested patterns are available locally");
  }
  try {
    verifyOfflineSnapshot(repo, metadata, {});
    ADD_FAILURE() << "passed";
  } catch (const HubApiEnvironmentError& error) {
    EXPECT_EQ(error.message(), "Metadata not available for link.bin");
  }

  // A repository folder reached through a symbolic link is checked by its resolved path.
  writeBytes(tmp.path() / "real/w.bin", "weights");
  writeDownloadMetadata(kCommit, platform::crypto::sha256Hex("weights"),
                        tmp.path() / "real/.cache/huggingface/download/w.bin.metadata");
  fs::create_symlink(tmp.path() / "real", tmp.path() / "alias");
  EXPECT_EQ(verifyOfflineSnapshot(tmp.path() / "alias", tmp.path() / "real/.cache/huggingface/download", {"w.bin"}),
            tmp.path() / "alias");
}

TEST(OfflineVerification, LocalFileListSkipsHiddenItemsAndIsSorted) {
  ScratchFolder tmp;
  for (const char* name :
       {"b.txt", "a/z.bin", "a/.hidden", ".cache/huggingface/download/b.txt.metadata", ".dir/x", "c/d/e.json"}) {
    writeBytes(tmp.path() / name, "x");
  }
  fs::create_directories(tmp.path() / "empty");
  std::vector<std::string> names;
  for (const fs::path& file : listLocalFiles(tmp.path()))
    names.push_back(fs::relative(file, tmp.path()).generic_string());
  EXPECT_EQ(names, (std::vector<std::string>{"a/z.bin", "b.txt", "c/d/e.json"}));
  EXPECT_TRUE(listLocalFiles(tmp.path() / "missing").empty());
}

}  // namespace
}  // namespace noxtal
