// transcribe: writes transcripts of audio files with the speech models of a local folder.
// See --help (helpText) for the options, the output and the exit status.
#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string_view>
#include <vector>

#include "tools/transcribe/transcribe_arguments.hpp"
#include "tools/transcribe/transcribe_command.hpp"

int main(int argc, char** argv) {
  // A closed output pipe is reported as a write error (exit 1), not a kill by SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  // The tool never downloads: should the model folder lack its tokenizer, the library's look-up
  // on the hub goes to a closed local port and fails at once instead of reaching the network.
  ::setenv("HF_ENDPOINT", "http://127.0.0.1:9", 1);
  try {
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const transcribetool::TranscribeArguments parsed = transcribetool::parseTranscribeArguments(args);
    if (parsed.help) {
      std::cout << transcribetool::helpText() << std::flush;
      return std::cout ? 0 : 1;
    }
    return transcribetool::runTranscribe(parsed, std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << transcribetool::oneLine(std::string("transcribe: ") + e.what()) << '\n';
  } catch (...) {
    std::cerr << "transcribe: unexpected error\n";
  }
  return 1;
}
