#include "core/hub/cache_metadata.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/hub/hub_errors.hpp"
#include "core/hub/hub_test_support.hpp"
#include "platform/crypto/sha256.hpp"
#include "platform/fs/file_system.hpp"
#include "platform/log/log.hpp"
#include "platform/sync/mutex.hpp"

#include "support/log_capture.hpp"

namespace noxtal {
namespace {

namespace fs = std::filesystem;
using namespace noxtal::testing;

using testsupport::LogCapture;

TEST(CacheMetadata, ReadTable) {
  enum class Outcome { record, invalid, unreadable };
  struct Case {
    const char* name;
    std::string content;
    Outcome outcome;
    std::string commit = {}, etag = {};
    double timestamp = 0;
  } cases[] = {
      {"plain", "c\ne\n12.5\n", Outcome::record, "c", "e", 12.5},
      {"padded", " c \t\n\te \n  12.5  \n", Outcome::record, "c", "e", 12.5},
      {"extra lines ignored", "c\ne\n7\nmore\nlines", Outcome::record, "c", "e", 7},
      {"no final newline", "c\ne\n1700000000.25", Outcome::record, "c", "e", 1700000000.25},
      {"hexadecimal float", "c\ne\n0x1p3\n", Outcome::record, "c", "e", 8},
      {"unicode line separator", "c\u2028e\u202912\n", Outcome::record, "c", "e", 12},
      {"two lines", "c\ne", Outcome::invalid},
      {"empty", "", Outcome::invalid},
      {"empty third line", "c\ne\n\n", Outcome::invalid},
      {"not a number", "c\ne\ntwelve\n", Outcome::invalid},
      {"number with trailing text", "c\ne\n12s\n", Outcome::invalid},
      {"carriage return line feeds", "c\r\ne\r\n12.5\r\n", Outcome::invalid},
      {"not utf-8", "c\ne\n12\xff\n", Outcome::unreadable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder tmp;
    const fs::path path = tmp.path() / "a" / "model.bin.metadata";
    writeFile(path, c.content);
    LogCapture log;
    const auto record = readDownloadMetadata(path);
    const auto messages = log.messages(platform::log::Level::error);
    if (c.outcome == Outcome::record) {
      ASSERT_TRUE(record);
      EXPECT_EQ(record->commitHash, c.commit);
      EXPECT_EQ(record->etag, c.etag);
      EXPECT_EQ(record->timestamp, c.timestamp);
      EXPECT_EQ(record->filename, "model.bin");
      EXPECT_TRUE(fs::exists(path));
      EXPECT_TRUE(messages.empty());
    } else {
      EXPECT_FALSE(record);
      EXPECT_FALSE(fs::exists(path)) << "a damaged record is deleted";
      ASSERT_EQ(messages.size(), 1u);
      const std::string prefix =
          c.outcome == Outcome::invalid ? "Invalid metadata file " : "Error reading metadata file ";
      EXPECT_EQ(messages[0].rfind(prefix + path.string() + ": ", 0), 0u) << messages[0];
      EXPECT_TRUE(messages[0].ends_with(". Removing it from disk and continuing.")) << messages[0];
    }
  }
}

TEST(CacheMetadata, MissingRecordReadsAsNoneWithoutLog) {
  TempFolder tmp;
  LogCapture log;
  EXPECT_FALSE(readDownloadMetadata(tmp.path() / "absent.metadata"));
  EXPECT_TRUE(log.messages(platform::log::Level::error).empty());
}

TEST(CacheMetadata, RecordThatCannotBeDeletedIsAnError) {
  TempFolder tmp;
  const fs::path path = tmp.path() / "x.metadata";
  writeFile(path / "inside", "a folder in place of the record cannot be read or removed");
  LogCapture log;
  try {
    readDownloadMetadata(path);
    FAIL() << "no error";
  } catch (const HubApiEnvironmentError& e) {
    EXPECT_EQ(e.errorCase(), HubApiEnvironmentError::Case::invalidMetadataError);
    EXPECT_EQ(e.message().rfind("Could not remove corrupted metadata file: ", 0), 0u) << e.message();
  }
}

TEST(CacheMetadata, WriteCreatesFoldersReplacesAtomicallyAndReadsBack) {
  TempFolder tmp;
  const fs::path path = tmp.path() / "deep" / "er" / "f.json.metadata";
  const double before =
      std::floor(std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
  writeDownloadMetadata("first", "e1", path);
  writeDownloadMetadata("0123456789abcdef0123456789abcdef01234567", "e2", path);
  EXPECT_EQ(platform::fs::listDirectory(path.parent_path()).size(), 1u) << "no temporary file is left";
  const std::string text = readFile(path);
  EXPECT_EQ(text.rfind("0123456789abcdef0123456789abcdef01234567\ne2\n", 0), 0u);
  EXPECT_TRUE(text.ends_with("\n"));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  const auto record = readDownloadMetadata(path);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->etag, "e2");
  EXPECT_GE(record->timestamp, before);
}

TEST(CacheMetadata, TimestampTextIsShortestFixedForm) {
  EXPECT_EQ(formatDownloadMetadata("c", "e", 1700000000.0), "c\ne\n1700000000.0\n");
  EXPECT_EQ(formatDownloadMetadata("c", "e", 1700000000.125), "c\ne\n1700000000.125\n");
  EXPECT_EQ(formatDownloadMetadata("c", "e", 12.5), "c\ne\n12.5\n");
}

TEST(CacheMetadata, WriteFailureIsAFileWriteError) {
  TempFolder tmp;
  writeFile(tmp.path() / "blocker", "a file where a folder should be");
  try {
    writeDownloadMetadata("c", "e", tmp.path() / "blocker" / "f.metadata");
    FAIL() << "no error";
  } catch (const HubApiEnvironmentError& e) {
    EXPECT_EQ(e.errorCase(), HubApiEnvironmentError::Case::fileWriteError);
    EXPECT_EQ(std::string(e.what()).rfind("Failed to write file: Failed to write metadata to " +
                                              (tmp.path() / "blocker" / "f.metadata").string() + ": ",
                                          0),
              0u)
        << e.what();
  }
}

TEST(CacheMetadata, FileHashAndItsErrors) {
  TempFolder tmp;
  writeFile(tmp.path() / "empty", "");
  EXPECT_EQ(computeFileHash(tmp.path() / "empty"), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string content = patternBytes(3 * (1 << 20) + 1);
  writeFile(tmp.path() / "big", content);
  EXPECT_EQ(computeFileHash(tmp.path() / "big"), platform::crypto::sha256Hex(content));
  try {
    computeFileHash(tmp.path() / "missing.bin");
    FAIL();
  } catch (const Hub::HubClientError& e) {
    EXPECT_EQ(e.errorCase(), Hub::HubClientError::Case::fileNotFound);
    EXPECT_EQ(e.message(), "missing.bin");
  }
  try {
    computeFileHash(tmp.path());  // opens, but every read fails
    FAIL();
  } catch (const Hub::HubClientError& e) {
    EXPECT_EQ(e.errorCase(), Hub::HubClientError::Case::fileSystemError);
  }
}

TEST(CacheMetadata, PartialFileNamesNeverLeaveTheMetadataFolder) {
  struct Case {
    std::string etag;
    bool usedAsIs;
  } cases[] = {
      {"0123abcdef", true}, {"v1.2_x-Y", true}, {"..", false},  {".", false},       {"a/b", false},
      {"../../x", false},   {"", false},        {"a b", false}, {"W/\"x\"", false}, {"..x", true},
  };
  const fs::path folder = "/cache/meta";
  for (const auto& c : cases) {
    const std::string component = partialFileEtagComponent(c.etag);
    EXPECT_EQ(component, c.usedAsIs ? c.etag : platform::crypto::sha256Hex(c.etag)) << c.etag;
    const fs::path p = partialFilePath(folder, "sub/model.bin", c.etag);
    EXPECT_EQ(p.parent_path(), folder / "sub") << c.etag;
    EXPECT_EQ(p.filename().string(), "model.bin." + component + ".incomplete");
  }
}

TEST(CacheMetadata, RemovePartialFilesTouchesOnlyThisFilesPartials) {
  TempFolder tmp;
  const fs::path folder = tmp.path() / "sub";
  const std::vector<std::string> names = {"model.bin.aaa.incomplete",   "model.bin.bbb.incomplete",
                                          "model.bin.x.ccc.incomplete", "model.bin.metadata",
                                          "other.bin.aaa.incomplete",   "model.bin"};
  for (const auto& n : names) writeFile(folder / n, "x");
  EXPECT_EQ(removePartialFiles(tmp.path(), "sub/model.bin", folder / "model.bin.bbb.incomplete"), 1);
  EXPECT_FALSE(fs::exists(folder / "model.bin.aaa.incomplete"));
  for (const auto& n : {"model.bin.bbb.incomplete", "model.bin.x.ccc.incomplete", "model.bin.metadata",
                        "other.bin.aaa.incomplete", "model.bin"}) {
    EXPECT_TRUE(fs::exists(folder / n)) << n;
  }
  EXPECT_EQ(removePartialFiles(tmp.path(), "sub/model.bin"), 1);
  EXPECT_EQ(removePartialFiles(tmp.path(), "absent/model.bin"), 0);
}

TEST(CacheMetadata, PrepareFileKeepsExistingBytes) {
  TempFolder tmp;
  const fs::path fresh = tmp.path() / "a" / "b" / "p.incomplete";
  prepareFile(fresh);
  EXPECT_EQ(platform::fs::fileSize(fresh), 0u);
  writeFile(fresh, "1234");
  prepareFile(fresh);
  EXPECT_EQ(readFile(fresh), "1234");
}

}  // namespace
}  // namespace noxtal
