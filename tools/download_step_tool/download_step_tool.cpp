// Measures one file download through the per-file step (HEAD, Downloader, move, metadata) against
// a running hub, typically the fake_hub_server tool on 127.0.0.1:
//
//   download_step_tool --endpoint http://127.0.0.1:8123 --repo local/repo --file big.bin --cache DIR
//
// Prints the elapsed seconds, the throughput in MB/s and the growth of the resident memory
// (peak VmHWM minus VmRSS before the download, from /proc/self/status). The cache folder's copy of
// the repository is removed first so that the whole file is transferred.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "core/hub/hub_api.hpp"
#include "core/hub/hub_file_downloader.hpp"

namespace {

// A "VmRSS"/"VmHWM" figure of /proc/self/status in KiB, or -1.
long statusKiB(const std::string& key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string endpoint, repoId = "local/repo", file, cache;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const std::string value = argv[i + 1];
    if (flag == "--endpoint") {
      endpoint = value;
    } else if (flag == "--repo") {
      repoId = value;
    } else if (flag == "--file") {
      file = value;
    } else if (flag == "--cache") {
      cache = value;
    } else {
      std::cerr << "unknown option " << flag << "\n";
      return 2;
    }
  }
  if (endpoint.empty() || file.empty() || cache.empty()) {
    std::cerr << "usage: download_step_tool --endpoint URL [--repo ID] --file NAME --cache DIR\n";
    return 2;
  }
  try {
    noxtal::HubApi hub(std::filesystem::path(cache), std::string(), endpoint, false, false);
    const noxtal::HubApi::Repo repo{repoId, noxtal::HubRepoType::models};
    std::filesystem::remove_all(hub.repoDestination(repo));
    const noxtal::HubFileDownloader step{
        hub,          repo,     "main", hub.repoDestination(repo), hub.repoMetadataDestination(repo), file,
        std::nullopt, endpoint, false};
    const long rssBefore = statusKiB("VmRSS");
    const auto start = std::chrono::steady_clock::now();
    const auto path = step.download(nullptr, nullptr);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long peak = statusKiB("VmHWM");
    const double bytes = static_cast<double>(std::filesystem::file_size(path));
    std::printf("file %s: %.0f bytes in %.3f s = %.1f MB/s; resident before %ld KiB, peak %ld KiB, growth %.1f MB\n",
                path.c_str(), bytes, seconds, bytes / seconds / 1e6, rssBefore, peak,
                static_cast<double>(peak - rssBefore) / 1024.0);
  } catch (const std::exception& e) {
    std::cerr << "download failed: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
