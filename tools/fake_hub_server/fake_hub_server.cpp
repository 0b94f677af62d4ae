// Runs the fake hub on its own, serving one or several model repositories on 127.0.0.1 until
// SIGINT or SIGTERM:
//
//   fake_hub_server [--root DIR [--repo ID]] [--repo ID=DIR]... [--port N] [--linked BYTES]
//
// --root DIR serves DIR as the repository named by a plain --repo ID (default "local/repo");
// every --repo ID=DIR serves DIR as ID as well (ID must not be repeated). At least one
// repository is needed. Files of at least BYTES bytes are answered as linked (large) files.
// Prints one line per repository ("serving DIR as ID at http://127.0.0.1:PORT") once the
// server listens. Exit status 0 after a signal, 1 when the server cannot start, 2 for a usage
// error (one line on stderr).
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/fake_hub/fake_hub.hpp"

namespace {

int usage(const std::string& why) {
  std::cerr << "fake_hub_server: " << why
            << " (usage: fake_hub_server [--root DIR [--repo ID]] [--repo ID=DIR]... [--port N] [--linked BYTES])\n";
  return 2;
}

std::optional<unsigned long long> unsignedNumber(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 19) {
    return std::nullopt;
  }
  return std::stoull(text);
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> root;
  std::optional<std::string> rootRepo;
  std::vector<std::pair<std::string, std::string>> repositories;  // id, folder
  int port = 0;
  fake_hub::RepositoryOptions options;
  for (int i = 1; i < argc; i += 2) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) return usage("missing value after " + flag);
    const std::string value = argv[i + 1];
    if (flag == "--root") {
      if (root) return usage("--root given twice");
      root = value;
    } else if (flag == "--port") {
      const auto number = unsignedNumber(value);
      if (!number || *number > 65535) return usage("bad port " + value);
      port = static_cast<int>(*number);
    } else if (flag == "--repo") {
      const auto equals = value.find('=');
      if (equals == std::string::npos) {
        if (rootRepo) return usage("more than one --repo without a folder");
        rootRepo = value;
      } else {
        if (equals == 0 || equals + 1 == value.size()) return usage("bad repository " + value);
        repositories.emplace_back(value.substr(0, equals), value.substr(equals + 1));
      }
    } else if (flag == "--linked") {
      const auto number = unsignedNumber(value);
      if (!number) return usage("bad size " + value);
      options.linkedFileThreshold = *number;
    } else {
      return usage("unknown option " + flag);
    }
  }
  if (rootRepo && !root) return usage("--repo ID without a folder needs --root");
  if (root) repositories.insert(repositories.begin(), {rootRepo.value_or("local/repo"), *root});
  if (repositories.empty()) return usage("no repository to serve");
  std::set<std::string> ids;
  for (const auto& [id, folder] : repositories) {
    if (id.empty() || folder.empty()) return usage("empty repository id or folder");
    if (!ids.insert(id).second) return usage("repository " + id + " given twice");
  }

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before the server's threads start
  try {
    fake_hub::FakeHub hub(port);
    for (const auto& [id, folder] : repositories) hub.addRepository(id, folder, options);
    for (const auto& [id, folder] : repositories) {
      std::cout << "serving " << folder << " as " << id << " at " << hub.endpoint() << "\n";
    }
    std::cout.flush();
    int received = 0;
    sigwait(&signals, &received);
    std::cout << "stopping after " << hub.requestCount() << " requests" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "fake_hub_server: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
