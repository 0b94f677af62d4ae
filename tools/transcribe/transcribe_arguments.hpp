// The command line of the `transcribe` tool: what it accepts, the options of the speech library
// it sets from it, and its help text. Used by the tool's main and by its tests; no I/O.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sys/error.hpp"
#include "speech/audio/audio_input_options.hpp"
#include "speech/model/decoding_options.hpp"

namespace transcribetool {

enum class TranscribeArgumentErrorCase {
  // An unknown option, a missing or unusable value, a repeated option, no input.
  badArgument,
};

// A command line the tool refuses; what() is one line naming the option and what is wrong.
class TranscribeArgumentError : public platform::sys::ErrorWithCase<TranscribeArgumentErrorCase> {
 public:
  explicit TranscribeArgumentError(std::string message)
      : ErrorWithCase("TranscribeArgumentError", TranscribeArgumentErrorCase::badArgument, "badArgument", message,
                      message) {}
};

enum class OutputFormat { json, srt, vtt };

// "json", "srt", "vtt": also the file extension of the format.
std::string_view extension(OutputFormat format);

// Largest accepted --workers and --incremental values: beyond them a run would start an absurd
// number of threads or read an absurd span of audio at once.
inline constexpr int kMaxWorkers = 256;
inline constexpr double kMaxIncrementalSeconds = 3600.0;

struct TranscribeArguments {
  std::filesystem::path modelFolder;
  // --language CODE: the code (a language name is turned into its code). Absent: the
  // library's default language.
  std::optional<std::string> language;
  // --language auto.
  bool detectLanguage = false;
  bool wordTimestamps = false;
  vostrane::ChunkingStrategy chunking = vostrane::ChunkingStrategy::none;
  // --incremental SECONDS: the chunk duration of incremental loading.
  std::optional<double> incrementalSeconds;
  // --workers N; absent: the library's default concurrentWorkerCount.
  std::optional<int> workers;
  // Each format once, in the order first named; {json} when none is named.
  std::vector<OutputFormat> formats;
  std::filesystem::path outputDir = ".";
  bool quiet = false;
  // -h / --help: print helpText() and do nothing else.
  bool help = false;
  std::vector<std::string> audioPaths;

  // The decoding options of every input: the library's defaults with special tokens skipped
  // in texts, and the language, language detection, word timestamps, chunking strategy and
  // worker count set from the command line.
  vostrane::DecodingOptions decodingOptions() const;
  // Channels summed; whole-file loading, or incremental loading with the chunk duration.
  vostrane::AudioInputOptions audioInputOptions() const;
};

// Reads the arguments after the program name. Options and inputs may be mixed; "--" ends the
// options; "--name=value" equals "--name value". Every option but --format may be given once.
// Throws TranscribeArgumentError for an unknown option, a missing or bad value (a language that
// is neither a known code, a known name nor "auto"; a strategy other than none or vad; SECONDS
// not a number in (0, 3600]; N not a whole number in [1, 256]; a format other than json, srt
// or vtt; an empty folder), a repeated option, no --model-folder or no AUDIO. With -h or
// --help nothing else is checked.
TranscribeArguments parseTranscribeArguments(std::span<const std::string_view> args);

// The usage text printed by --help (several lines, ending in a line break).
std::string helpText();

}  // namespace transcribetool
