// tokenize encode FOLDER [--no-special]   stdin: one JSON string a line; stdout: one JSON array
//                                          of ids a line
// tokenize decode FOLDER [--skip-special] stdin: one JSON array of ids a line; stdout: one JSON
//                                          string a line
// tokenize tokens FOLDER                  stdin: one JSON string a line; stdout: the JSON array
//                                          of its token strings
//
// The tokenizer is loaded from FOLDER ("tokenizer.json", "tokenizer_config.json") in strict
// mode. A bad argument, folder, file or input line (ids must be integers within 32 bits) ends
// the run with exit status 1 and one line on standard error; lines before it have been
// answered.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/tokenizers/auto_tokenizer.hpp"
#include "platform/json/json.hpp"

namespace {

using platform::json::Json;
using noxtal::tokenizers::TokenizerWrapper;

constexpr const char* kUsage =
    "usage: tokenize encode FOLDER [--no-special] | tokenize decode FOLDER [--skip-special] | tokenize tokens FOLDER";

enum class Mode { encode, decode, tokens };

struct Failure {
  std::string message;
};

std::string dumped(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string textOf(const Json& line) {
  if (!line.is_string()) throw Failure{"expected a JSON string"};
  return line.get<std::string>();
}

std::vector<int> idsOf(const Json& line) {
  if (!line.is_array()) throw Failure{"expected a JSON array of ids"};
  std::vector<int> ids;
  ids.reserve(line.size());
  for (const Json& element : line) {
    if (element.is_number_integer()) {
      if (element.is_number_unsigned()) {
        const auto value = element.get<std::uint64_t>();
        if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
          ids.push_back(static_cast<int>(value));
          continue;
        }
      } else {
        const auto value = element.get<std::int64_t>();
        if (value >= std::numeric_limits<std::int32_t>::min() && value <= std::numeric_limits<std::int32_t>::max()) {
          ids.push_back(static_cast<int>(value));
          continue;
        }
      }
      throw Failure{"the id " + element.dump() + " does not fit in 32 bits"};
    }
    throw Failure{"the element " + dumped(element) + " is not an integer id"};
  }
  return ids;
}

std::string answer(const TokenizerWrapper& tokenizer, Mode mode, bool flag, const std::string& line) {
  Json input;
  try {
    input = platform::json::parse(line);
  } catch (const platform::json::JsonError& error) {
    throw Failure{std::string("not JSON: ") + error.what()};
  }
  switch (mode) {
    case Mode::encode:
      return dumped(Json(tokenizer.encode(textOf(input), !flag)));
    case Mode::decode: {
      const std::vector<int> ids = idsOf(input);
      return dumped(Json(tokenizer.decode(ids, flag)));
    }
    case Mode::tokens:
      return dumped(Json(tokenizer.tokenize(textOf(input))));
  }
  return {};
}

int fail(const std::string& message) {
  std::string oneLine = message;
  for (char& c : oneLine) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  std::cout.flush();
  std::fprintf(stderr, "tokenize: %s\n", oneLine.c_str());
  return 1;
}

int run(int argc, char** argv) {
  if (argc < 3) return fail(kUsage);
  const std::string_view command = argv[1];
  Mode mode;
  std::optional<std::string_view> flagName;
  if (command == "encode") {
    mode = Mode::encode;
    flagName = "--no-special";
  } else if (command == "decode") {
    mode = Mode::decode;
    flagName = "--skip-special";
  } else if (command == "tokens") {
    mode = Mode::tokens;
  } else {
    return fail("unknown command '" + std::string(command) + "'; " + kUsage);
  }
  const std::string folder = argv[2];
  bool flag = false;
  for (int i = 3; i < argc; ++i) {
    if (flagName && argv[i] == *flagName && !flag) {
      flag = true;
    } else {
      return fail("unexpected argument '" + std::string(argv[i]) + "'; " + kUsage);
    }
  }

  std::optional<TokenizerWrapper> tokenizer;
  try {
    tokenizer = noxtal::tokenizers::AutoTokenizerWrapper::fromModelFolder(folder, std::nullopt, true);
  } catch (const std::exception& error) {
    return fail("cannot load the tokenizer in " + folder + ": " + error.what());
  }

  std::string line;
  for (long number = 1; std::getline(std::cin, line); ++number) {
    try {
      std::cout << answer(*tokenizer, mode, flag, line) << '\n';
      if (!std::cout) return fail("cannot write the answers");
    } catch (const Failure& failure) {
      return fail("line " + std::to_string(number) + ": " + failure.message);
    } catch (const std::exception& error) {
      return fail("line " + std::to_string(number) + ": " + error.what());
    }
  }
  std::cout.flush();
  if (!std::cout) return fail("cannot write the answers");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away is reported as a failed write, not a signal.
  std::signal(SIGPIPE, SIG_IGN);
  std::ios::sync_with_stdio(false);
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    return fail(error.what());
  } catch (...) {
    return fail("unexpected failure");
  }
}
