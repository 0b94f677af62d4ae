// Test helper: sets HOME, the XDG folders and every HF variable to temporary values for one
// test and restores the previous environment afterwards.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "support/temporary_folder.hpp"

namespace noxtal::testing {

class ScopedEnvironment {
 public:
  ScopedEnvironment() {
    std::filesystem::create_directories(root_ / "home");
    for (const char* name : kNames) {
      const char* value = std::getenv(name);
      saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
      ::unsetenv(name);
    }
    set("HOME", home().string());
    set("XDG_CONFIG_HOME", (home() / ".config").string());
    set("XDG_DATA_HOME", (home() / ".local/share").string());
    set("XDG_CACHE_HOME", (home() / ".cache").string());
  }
  ~ScopedEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
      } else {
        ::unsetenv(name.c_str());
      }
    }
  }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  void set(const std::string& name, const std::string& value) { ::setenv(name.c_str(), value.c_str(), 1); }
  void unset(const std::string& name) { ::unsetenv(name.c_str()); }
  std::filesystem::path home() const { return root_ / "home"; }
  std::filesystem::path root() const { return root_.path(); }

 private:
  static constexpr const char* kNames[] = {"HOME",           "XDG_CONFIG_HOME",           "XDG_DATA_HOME",
                                           "XDG_CACHE_HOME", "XDG_DOCUMENTS_DIR",         "HF_ENDPOINT",
                                           "HF_TOKEN",       "HUGGING_FACE_HUB_TOKEN",    "HF_TOKEN_PATH",
                                           "HF_HOME",        "CI_DISABLE_NETWORK_MONITOR"};
  testsupport::TemporaryFolder root_{"hub_env"};
  std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace noxtal::testing
