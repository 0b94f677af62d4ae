// Test support: the real worker's world on this machine. DemoHub writes both demo model
// repositories (the synthetic speech models and the diarization models) below a folder and
// serves them from a fake hub on 127.0.0.1; useDemoWorker() points a worker launched on demand
// at that hub and at private folders; makeDemoAudio() runs tools/make-demo-audio.
//
// Used by the tests that start tools' and host's real executables. Not thread-safe: the
// environment is process-wide, so set it up before any connection is made.
#pragma once

#include <filesystem>
#include <string>

#include "support/fake_hub/fake_hub.hpp"

namespace testsupport {

class DemoHub {
 public:
  // Writes "<folder>/speech-repo" (the speech models scripted to say `speechText`) and
  // "<folder>/diarization", and serves them as "didezuraz/vostrane-coreml" and
  // "didezuraz/dellomar-coreml". Throws what the model writers throw.
  DemoHub(const std::filesystem::path& folder, const std::string& speechText);

  std::string endpoint() const { return hub_.endpoint(); }
  fake_hub::FakeHub& hub() { return hub_; }

 private:
  fake_hub::FakeHub hub_;
};

// Sets the environment of the worker `workerPath` started on demand: the hub through
// HF_ENDPOINT, XDG_DATA_HOME = "<folder>/data", the socket "<folder>/run/worker.sock" and
// CI_DISABLE_NETWORK_MONITOR=1.
void useDemoWorker(const DemoHub& hub, const std::filesystem::path& folder, const std::string& workerPath);

// Runs `tool` (make-demo-audio) for two recordings of `seconds`; true when it exited 0.
bool makeDemoAudio(const std::string& tool, const std::filesystem::path& mic, const std::filesystem::path& system,
                   double seconds);

}  // namespace testsupport
