// Test support: runs a program of the build (or of the machine) as a separate process through
// the shell, with its standard output and error captured in files, for tests of command-line
// tools.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/fs/file_system.hpp"

namespace testsupport {

struct ToolRun {
  int exitCode = -1;  // -1 when the program did not exit normally (killed by a signal)
  std::string out;
  std::string err;

  std::vector<std::string> outLines() const { return lines(out); }
  std::vector<std::string> errLines() const { return lines(err); }
  // The lines of `text`, without their line breaks.
  static std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
  }
};

// `arg` in single quotes for the shell.
inline std::string shellQuoted(const std::string& arg) {
  std::string out = "'";
  for (const char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs `program` with `args` (each passed as one word), standard input from /dev/null, the
// outputs written to "<scratch>.out" and "<scratch>.err" (whose folder must exist) and read back.
inline ToolRun runTool(const std::string& program, const std::vector<std::string>& args,
                       const std::filesystem::path& scratch) {
  const std::string stem = scratch.string();
  std::string command = shellQuoted(program);
  for (const auto& a : args) command += " " + shellQuoted(a);
  command += " >" + shellQuoted(stem + ".out") + " 2>" + shellQuoted(stem + ".err") + " </dev/null";
  const int status = std::system(command.c_str());
  ToolRun result;
  result.exitCode = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = platform::fs::readFile(stem + ".out");
  result.err = platform::fs::readFile(stem + ".err");
  return result;
}

}  // namespace testsupport
