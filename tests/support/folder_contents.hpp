// Test support: what a folder holds, for tests that compare a downloaded copy with its source.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testsupport {

// The bytes of the file at `path`; empty when it cannot be read.
inline std::string fileContents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Every regular file below `root` (links to files count; folder links are not followed), relative to it and sorted;
// entries whose name starts with "." are left out with everything below them. Throws std::filesystem::filesystem_error
// when `root` cannot be walked.
inline std::vector<std::filesystem::path> visibleFiles(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (auto walk = fs::recursive_directory_iterator(root); walk != fs::recursive_directory_iterator(); ++walk) {
    if (walk->path().filename().string().starts_with(".")) {
      if (walk->is_directory() && !walk->is_symlink()) walk.disable_recursion_pending();
      continue;
    }
    if (walk->is_regular_file()) files.push_back(fs::relative(walk->path(), root));
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace testsupport
