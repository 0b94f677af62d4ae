#include "platform/sys/paths.hpp"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/temporary_folder.hpp"

namespace platform::sys {
namespace {

// Points HOME and the XDG variables at a scratch folder, restoring them afterwards.
class PathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kNames) {
      const char* v = std::getenv(name);
      saved_.push_back(v ? std::optional<std::string>(v) : std::nullopt);
      ::unsetenv(name);
    }
    root_ = temporary_.path();
    std::filesystem::create_directories(root_ / "home" / ".config");
    ::setenv("HOME", (root_ / "home").c_str(), 1);
  }
  void TearDown() override {
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
      if (saved_[i]) {
        ::setenv(kNames[i], saved_[i]->c_str(), 1);
      } else {
        ::unsetenv(kNames[i]);
      }
    }
  }
  void writeUserDirs(const std::filesystem::path& file, const std::string& text) { std::ofstream(file) << text; }

  static constexpr const char* kNames[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"};
  std::vector<std::optional<std::string>> saved_;
  testsupport::TemporaryFolder temporary_{"paths_test"};
  std::filesystem::path root_;
};

TEST_F(PathsTest, DefaultsUnderHome) {
  const auto home = root_ / "home";
  EXPECT_EQ(homeDirectory(), home);
  EXPECT_EQ(documentsDirectory(), home / "Documents");
  EXPECT_EQ(applicationSupportDirectory(), home / ".local" / "share");
  EXPECT_EQ(cachesDirectory(), home / ".cache");
  ::setenv("XDG_DATA_HOME", "relative/ignored", 1);
  EXPECT_EQ(applicationSupportDirectory(), home / ".local" / "share");
  ::setenv("XDG_DATA_HOME", "/data/home", 1);
  EXPECT_EQ(applicationSupportDirectory(), "/data/home");
  ::setenv("HOME", "", 1);
  EXPECT_FALSE(homeDirectory().empty());  // falls back to the user database
}

TEST_F(PathsTest, DocumentsFromUserDirs) {
  const auto home = root_ / "home";
  struct Case {
    std::string content;
    std::filesystem::path expected;
  };
  const Case cases[] = {
      {"# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n", home / "Dokumente"},
      {"XDG_DOCUMENTS_DIR=\"/srv/docs\"\n", "/srv/docs"},
      {"XDG_DOCUMENTS_DIR=\"$HOME/My\\\"Docs\"\n", home / "My\"Docs"},
      {"XDG_DOCUMENTS_DIR=\"relative/docs\"\n", home / "Documents"},
      {"XDG_DOCUMENTS_DIR=\"$HOMEX/docs\"\n", home / "Documents"},
      {"XDG_DOCUMENTS_DIR=\"$HOME/unterminated\n", home / "Documents"},
      {"XDG_MUSIC_DIR=\"$HOME/Music\"\n", home / "Documents"},
  };
  for (const auto& c : cases) {
    writeUserDirs(home / ".config" / "user-dirs.dirs", c.content);
    EXPECT_EQ(documentsDirectory(), c.expected) << c.content;
  }
  std::filesystem::create_directories(root_ / "config");
  writeUserDirs(root_ / "config" / "user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/FromXdg\"\n");
  ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
  EXPECT_EQ(documentsDirectory(), home / "FromXdg");
}

TEST_F(PathsTest, CurrentDirectory) { EXPECT_EQ(currentDirectory(), std::filesystem::current_path()); }

}  // namespace
}  // namespace platform::sys
