#include "support/demo_hub/demo_hub.hpp"

#include <cstdlib>
#include <sstream>

#include "platform/fs/file_system.hpp"
#include "tools/make-demo-models/diarization_models.hpp"
#include "tools/make-demo-models/speech/speech_models.hpp"

namespace testsupport {

DemoHub::DemoHub(const std::filesystem::path& folder, const std::string& speechText) {
  demomodels::SpeechDemoOptions speech;
  speech.out = folder / "speech-repo";
  speech.text = speechText;
  speech.tokenizerMerges = 2000;
  demomodels::writeSpeechModels(platform::fs::RealFileSystem::shared(), speech);
  demomodels::writeDiarizationModels(platform::fs::RealFileSystem::shared(), folder / "diarization");
  hub_.addRepository("didezuraz/vostrane-coreml", speech.out);
  hub_.addRepository("didezuraz/dellomar-coreml", folder / "diarization");
}

void useDemoWorker(const DemoHub& hub, const std::filesystem::path& folder, const std::string& workerPath) {
  ::setenv("HF_ENDPOINT", hub.endpoint().c_str(), 1);
  ::setenv("XDG_DATA_HOME", (folder / "data").c_str(), 1);
  ::setenv("VELMORIA_WORKER_PATH", workerPath.c_str(), 1);
  ::setenv("VELMORIA_WORKER_SOCKET", (folder / "run" / "worker.sock").c_str(), 1);
  ::setenv("CI_DISABLE_NETWORK_MONITOR", "1", 1);
}

bool makeDemoAudio(const std::string& tool, const std::filesystem::path& mic, const std::filesystem::path& system,
                   double seconds) {
  std::ostringstream command;
  command << tool << " --mic " << mic << " --system " << system << " --seconds " << seconds;
  return std::system(command.str().c_str()) == 0;
}

}  // namespace testsupport
