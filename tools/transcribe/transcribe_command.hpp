// The `transcribe` tool's run: one speech-library instance on a local model folder, each input
// transcribed, its results merged and written in every asked format, the text and failures
// reported. The library does the work; this holds what the tool adds (output names, progress
// lines, the exit status). Used by the tool's main and by its tests.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/transcribe/transcribe_arguments.hpp"

namespace transcribetool {

// The text of one line: every line break turned into a blank.
std::string oneLine(std::string text);

// Decides when an input's progress line is due: only for inputs longer than a minute, the first
// report at once, later ones at least one second after the previous line. Positions only move
// forward (a report behind the furthest one keeps the furthest). Thread-safe.
class ProgressLines {
 public:
  using Clock = std::chrono::steady_clock;

  // `durationSeconds`: the input's length; 0 or unknown gives no lines.
  ProgressLines(std::string file, double durationSeconds);

  // The line to print for having reached `positionSeconds` at `now`, when one is due:
  // "FILE: 43% (30.0 of 70.0 s)".
  std::optional<std::string> report(double positionSeconds, Clock::time_point now);

 private:
  const std::string file_;
  const double durationSeconds_;
  std::mutex mutex_;
  // Guarded by mutex_:
  double position_ = 0;
  std::optional<Clock::time_point> lastLine_;
};

// Runs the tool with parsed arguments (help already handled by the caller): loads the models
// from args.modelFolder (never downloads), then creates args.outputDir when missing, then for each
// input in order transcribes it, writes <outputDir>/<stem>.<ext> per format and writes its text
// to `out` (unless quiet). Each failing input gets "transcribe: FILE: message" on `err` and no
// output file; a later input whose stem an earlier one of the call already used fails too, so
// no file of the call is overwritten by another input. Returns 0 when every input succeeded,
// 1 otherwise; a missing model folder, unusable models or an output folder that cannot be
// created give one line on `err` and 1 before any input is read. Never throws.
int runTranscribe(const TranscribeArguments& args, std::ostream& out, std::ostream& err);

}  // namespace transcribetool
