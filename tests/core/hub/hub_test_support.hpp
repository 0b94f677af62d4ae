// Shared helpers of the resumable-download tests: temporary folders, deterministic file
// contents and collection of downloader states.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/hub/downloader.hpp"
#include "support/temporary_folder.hpp"

namespace noxtal::testing {

using TempFolder = testsupport::TemporaryFolder;

// `size` bytes that differ with `seed` and vary along the file.
inline std::string patternBytes(std::size_t size, std::uint32_t seed = 1) {
  std::string out(size, '\0');
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (std::size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    out[i] = static_cast<char>(x >> 24);
  }
  return out;
}

inline void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Reads states until the first terminal one (completed or failed), leaving out notStarted.
inline std::vector<Downloader::DownloadState> collectStates(Downloader::StateStream& stream) {
  std::vector<Downloader::DownloadState> states;
  for (;;) {
    auto state = stream.next();
    if (!state) return states;
    if (std::holds_alternative<Downloader::NotStarted>(*state)) continue;
    states.push_back(*state);
    if (std::holds_alternative<Downloader::Completed>(*state) || std::holds_alternative<Downloader::Failed>(*state)) {
      return states;
    }
  }
}

// The error of a failed final state, rethrown into a catchable form; null when not failed.
inline std::exception_ptr failureOf(const std::vector<Downloader::DownloadState>& states) {
  if (states.empty()) return nullptr;
  if (auto failed = std::get_if<Downloader::Failed>(&states.back())) return failed->error;
  return nullptr;
}

template <class E>
bool failedWith(const std::vector<Downloader::DownloadState>& states) {
  auto error = failureOf(states);
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const E&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace noxtal::testing
