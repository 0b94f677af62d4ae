#include "platform/sys/paths.hpp"

#include <pwd.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "platform/sys/system.hpp"

namespace platform::sys {
namespace {

std::filesystem::path absoluteFromEnvironment(const char* name, const std::filesystem::path& fallback) {
  const auto value = getEnvironment(name);
  if (value && !value->empty() && (*value)[0] == '/') return *value;
  return fallback;
}

// The value of `key` in a user-dirs.dirs file: KEY="value" lines, "$HOME/" prefix allowed,
// backslash escapes the next character. Absent when the key is missing or the value unusable.
std::optional<std::filesystem::path> userDirFromFile(const std::filesystem::path& file, std::string_view key,
                                                     const std::filesystem::path& home) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::optional<std::filesystem::path> result;
  std::string line;
  while (std::getline(in, line)) {
    std::string_view rest(line);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    if (rest.substr(0, key.size()) != key) continue;
    rest.remove_prefix(key.size());
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    if (rest.empty() || rest.front() != '=') continue;
    rest.remove_prefix(1);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    if (rest.empty() || rest.front() != '"') continue;
    rest.remove_prefix(1);
    std::string value;
    bool closed = false;
    for (std::size_t i = 0; i < rest.size(); ++i) {
      if (rest[i] == '\\' && i + 1 < rest.size()) {
        value.push_back(rest[++i]);
      } else if (rest[i] == '"') {
        closed = true;
        break;
      } else {
        value.push_back(rest[i]);
      }
    }
    if (!closed) continue;
    constexpr std::string_view kHome = "$HOME";
    if (value.compare(0, kHome.size(), kHome) == 0 && (value.size() == kHome.size() || value[kHome.size()] == '/')) {
      std::string tail = value.substr(kHome.size());
      while (!tail.empty() && tail.front() == '/') tail.erase(0, 1);
      result = tail.empty() ? home : home / tail;
    } else if (!value.empty() && value[0] == '/') {
      result = value;
    }
    // The last usable entry wins, as in the shell that sources this file.
  }
  return result;
}

}  // namespace

std::filesystem::path homeDirectory() {
  const auto home = getEnvironment("HOME");
  if (home && !home->empty()) return *home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
    return found->pw_dir;
  }
  return "/";
}

std::filesystem::path documentsDirectory() {
  const auto home = homeDirectory();
  const auto config = absoluteFromEnvironment("XDG_CONFIG_HOME", home / ".config");
  if (auto dir = userDirFromFile(config / "user-dirs.dirs", "XDG_DOCUMENTS_DIR", home)) return *dir;
  return home / "Documents";
}

std::filesystem::path applicationSupportDirectory() {
  return absoluteFromEnvironment("XDG_DATA_HOME", homeDirectory() / ".local" / "share");
}

std::filesystem::path cachesDirectory() {
  return absoluteFromEnvironment("XDG_CACHE_HOME", homeDirectory() / ".cache");
}

std::filesystem::path currentDirectory() {
  std::error_code error;
  auto path = std::filesystem::current_path(error);
  if (error) return {};
  return path;
}

}  // namespace platform::sys
