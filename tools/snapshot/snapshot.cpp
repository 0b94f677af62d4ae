// Takes a snapshot of a hub repository through HubApi and prints the local folder:
//   snapshot --endpoint URL --repo ID [--revision REV] [--pattern GLOB]... --base DIR [--offline]
// A progress line (fraction, throughput) goes to standard error while files transfer, and the
// elapsed time at the end. Serves benchmarks (against the fake_hub_server tool) and manual
// checks. Exit status 0 on success, 1 when the snapshot fails, 2 for bad arguments.
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "core/hub/hub_api.hpp"
#include "core/hub/hub_snapshot.hpp"

namespace {

int usage() {
  std::cerr << "usage: snapshot --endpoint URL --repo ID [--revision REV] [--pattern GLOB]... --base DIR "
               "[--offline]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string endpoint;
  std::string repoId;
  std::string revision = "main";
  std::string base;
  std::vector<std::string> patterns;
  bool offline = false;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--offline") {
      offline = true;
      continue;
    }
    if (i + 1 >= argc) return usage();
    const std::string value = argv[++i];
    if (flag == "--endpoint") {
      endpoint = value;
    } else if (flag == "--repo") {
      repoId = value;
    } else if (flag == "--revision") {
      revision = value;
    } else if (flag == "--pattern") {
      patterns.push_back(value);
    } else if (flag == "--base") {
      base = value;
    } else {
      std::cerr << "unknown option " << flag << "\n";
      return usage();
    }
  }
  if (repoId.empty() || base.empty() || (endpoint.empty() && !offline)) return usage();

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto lastLine = start;
  bool printedProgress = false;
  const auto progressLine = [&](const noxtal::Progress& progress) {
    const auto now = Clock::now();
    if (now - lastLine < std::chrono::milliseconds(200) && progress.fractionCompleted() < 1.0) return;
    lastLine = now;
    printedProgress = true;
    const double throughput = progress.throughput().value_or(0.0);
    std::fprintf(stderr, "\r%6.2f%%  %4lld/%lld files  %9.1f MB/s", progress.fractionCompleted() * 100.0,
                 static_cast<long long>(progress.completedUnitCount()),
                 static_cast<long long>(progress.totalUnitCount()), throughput / 1e6);
    std::fflush(stderr);
  };

  try {
    noxtal::HubApi hub(std::filesystem::path(base), std::nullopt,
                       endpoint.empty() ? std::nullopt : std::optional<std::string>(endpoint), false, offline);
    const noxtal::HubApi::Repo repo{repoId, noxtal::HubRepoType::models};
    const auto folder = noxtal::snapshot(hub, repo, revision, patterns, progressLine);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (printedProgress) std::fputc('\n', stderr);
    std::fprintf(stderr, "%s snapshot took %.3f s\n", offline ? "offline" : "online", seconds);
    std::cout << folder.string() << std::endl;
  } catch (const std::exception& error) {
    if (printedProgress) std::fputc('\n', stderr);
    std::cerr << "snapshot failed: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
