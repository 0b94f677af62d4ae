// Runs the fake hub on its own: fake_hub_server --root DIR --port N [--repo ID] [--linked BYTES]
// serves DIR as the model repository ID (default "local/repo") on 127.0.0.1:N until SIGINT or
// SIGTERM. Files of at least BYTES bytes are answered as linked (large) files.
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>

#include "support/fake_hub/fake_hub.hpp"

int main(int argc, char** argv) {
  std::string root;
  int port = 0;
  std::string repo = "local/repo";
  fake_hub::RepositoryOptions options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    std::string value = argv[i + 1];
    if (flag == "--root") {
      root = value;
    } else if (flag == "--port") {
      port = std::atoi(value.c_str());
    } else if (flag == "--repo") {
      repo = value;
    } else if (flag == "--linked") {
      options.linkedFileThreshold = std::stoull(value);
    } else {
      std::cerr << "unknown option " << flag << "\n";
      return 2;
    }
  }
  if (root.empty() || argc % 2 == 0) {
    std::cerr << "usage: fake_hub_server --root DIR [--port N] [--repo ID] [--linked BYTES]\n";
    return 2;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // before the server's threads start
  try {
    fake_hub::FakeHub hub(port);
    hub.addRepository(repo, root, options);
    std::cout << "serving " << root << " as " << repo << " at " << hub.endpoint() << std::endl;
    int received = 0;
    sigwait(&signals, &received);
    std::cout << "stopping after " << hub.requestCount() << " requests" << std::endl;
  } catch (const std::exception& e) {
    std::cerr << e.what() << "\n";
    return 1;
  }
  return 0;
}
