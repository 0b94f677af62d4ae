// diarize MODEL_FOLDER AUDIO [--speakers N]
//
// Diarizes an audio file with the pyannote models in MODEL_FOLDER (the repository layout the
// model loader reads, e.g. from make-demo-models) and prints one RTTM line per speaker segment
// on stdout: "SPEAKER <file id> 1 <onset> <duration> <NA> <NA> <speaker> <NA> <NA>", the file id
// being the audio file's stem with blanks made "_". --speakers asks for that many speakers.
//
// Exit status 0 on success (no lines when nobody speaks); 1 for any error, a usage error and an
// audio file without samples included, with exactly one line on stderr.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "diarization/dellomar.hpp"
#include "diarization/diarization_config.hpp"
#include "speech/audio/audio_processor.hpp"
#include "tools/score-der/rttm.hpp"

namespace {

constexpr const char* kUsage = "usage: diarize MODEL_FOLDER AUDIO [--speakers N]";

int failWith(const std::string& message) {
  std::string line = "diarize: " + message;
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::fprintf(stderr, "%s\n", line.c_str());
  return 1;
}

std::optional<int> speakerCount(const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < 1 || value > 1000) return std::nullopt;
  return static_cast<int>(value);
}

int run(const std::string& modelFolder, const std::string& audioPath, std::optional<int> speakers) {
  const std::vector<float> samples = vostrane::AudioProcessor::loadAudioAsFloatArray(audioPath);
  if (samples.empty()) return failWith(audioPath + ": the audio file has no samples");
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  auto config = std::make_shared<dellomar::PyannoteConfig>(dellomar::PyannoteConfig::Flat{
      std::nullopt, "didezuraz/dellomar-coreml", std::nullopt, modelFolder, false, false, "https://huggingface.co",
      "main", true, false, noxtal::Logging::LogLevel::none, true, std::min(cores, 4), std::nullopt, nullptr});
  dellomar::Dellomar dellomar(config);
  const dellomar::PyannoteDiarizationOptions options(speakers, std::nullopt, std::nullopt, std::nullopt, true,
                                                     dellomar::SpeakerCentroidSource::finalAssignment, {});
  const dellomar::DiarizationResult result = dellomar.diarize(samples, &options);
  std::string out;
  for (const dellomar::RTTMLine& line : dellomar::Dellomar::generateRTTM(
           result, dellomar::SpeakerInfoStrategy::subsegment(), std::nullopt, rttm::fileIdFor(audioPath))) {
    out += line.tenFieldDescription();
    out += '\n';
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (std::fflush(stdout) != 0) return failWith("cannot write the RTTM lines");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed output pipe is reported as a write error (exit 1), not a kill by SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  std::optional<int> speakers;
  std::string paths[2];
  int pathCount = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--speakers") {
      if (i + 1 >= argc || !(speakers = speakerCount(argv[i + 1]))) return failWith(kUsage);
      ++i;
    } else if (pathCount < 2 && !arg.starts_with("--") && !arg.empty()) {
      paths[pathCount++] = std::string(arg);
    } else {
      return failWith(kUsage);
    }
  }
  if (pathCount != 2) return failWith(kUsage);
  try {
    return run(paths[0], paths[1], speakers);
  } catch (const std::exception& e) {
    return failWith(e.what());
  } catch (...) {
    return failWith("unexpected error");
  }
}
