// make-tokenizer FOLDER [--layout english|multilingual|large-v3|plain] [--merges N]
//
// Writes a Whisper-shaped "tokenizer.json" and "tokenizer_config.json" into FOLDER (see
// tests/support/tokenizer_fixture). The layout defaults to multilingual, the merges to 50,000.
// Exit status 0 on success; 1 with one line on standard error otherwise.
#include <charconv>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "support/tokenizer_fixture/tokenizer_fixture.hpp"

namespace {

constexpr const char* kUsage =
    "usage: make-tokenizer FOLDER [--layout english|multilingual|large-v3|plain] [--merges N]";

int fail(const std::string& message) {
  std::fprintf(stderr, "make-tokenizer: %s\n", message.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder;
  tokenizer_fixture::Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--layout" || argument == "--merges") {
      if (i + 1 >= argc) return fail(std::string(argument) + " needs a value; " + kUsage);
      const std::string_view value = argv[++i];
      if (argument == "--layout") {
        const auto layout = tokenizer_fixture::layoutFromName(value);
        if (!layout) return fail("unknown layout '" + std::string(value) + "'; " + kUsage);
        options.layout = *layout;
      } else {
        int merges = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), merges);
        if (error != std::errc() || end != value.data() + value.size() || merges < 0) {
          return fail("--merges needs a whole number of at least 0, not '" + std::string(value) + "'");
        }
        options.merges = merges;
      }
    } else if (folder.empty() && !argument.starts_with("--")) {
      folder = argument;
    } else {
      return fail("unexpected argument '" + std::string(argument) + "'; " + kUsage);
    }
  }
  if (folder.empty()) return fail(kUsage);
  try {
    tokenizer_fixture::writeTokenizerFolder(folder, options);
  } catch (const std::exception& error) {
    return fail(error.what());
  }
  return 0;
}
