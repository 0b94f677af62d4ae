// make-demo-models: writes deterministic demo model folders for local runs and tests.
//
//   make-demo-models diarization --out DIR   the diarization models under DIR/dellomar/
//   make-demo-models speech --out DIR [--folder NAME] [--text TEXT]
//                                            the speech models: DIR/config.json and DIR/NAME/
//
// Each subcommand lives in its own source files; this file only dispatches. Exit status 0 on
// success, 1 on any error (one line on stderr; for speech also its bad arguments), 2 on a usage
// error.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs/file_system.hpp"
#include "tools/make-demo-models/diarization_models.hpp"
#include "tools/make-demo-models/speech/speech_models.hpp"

namespace {

constexpr const char* kUsage =
    "usage: make-demo-models diarization --out DIR | speech --out DIR [--folder NAME] [--text TEXT]\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

// Reads "--out DIR" (and nothing else) from `args`.
bool readOutFolder(const std::vector<std::string_view>& args, std::filesystem::path& out) {
  if (args.size() != 2 || args[0] != "--out" || args[1].empty()) return false;
  out = std::filesystem::path(std::string(args[1]));
  return true;
}

int diarization(const std::vector<std::string_view>& args) {
  std::filesystem::path out;
  if (!readOutFolder(args, out)) return usage();
  demomodels::writeDiarizationModels(platform::fs::RealFileSystem::shared(), out / "dellomar");
  return 0;
}

int speech(const std::vector<std::string_view>& args) {
  demomodels::writeSpeechModels(platform::fs::RealFileSystem::shared(), demomodels::parseSpeechArguments(args));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string_view command = argv[1];
  const std::vector<std::string_view> args(argv + 2, argv + argc);
  try {
    if (command == "diarization") return diarization(args);
    if (command == "speech") return speech(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make-demo-models: %s\n", e.what());
    return 1;
  }
  return usage();
}
