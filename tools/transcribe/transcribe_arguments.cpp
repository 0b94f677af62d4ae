#include "tools/transcribe/transcribe_arguments.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>

#include "speech/model/constants.hpp"

namespace transcribetool {
namespace {

[[noreturn]] void refuse(const std::string& message) { throw TranscribeArgumentError(message); }

std::string lowerCase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return out;
}

int workerCount(std::string_view text) {
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(copy.c_str(), &end, 10);
  if (copy.empty() || *end != '\0' || errno == ERANGE || value < 1 || value > kMaxWorkers) {
    refuse("--workers needs a whole number from 1 to " + std::to_string(kMaxWorkers) + ", not \"" + copy + "\"");
  }
  return int(value);
}

double chunkSeconds(std::string_view text) {
  const std::string copy(text);
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (copy.empty() || *end != '\0' || !std::isfinite(value) || value <= 0 || value > kMaxIncrementalSeconds) {
    refuse("--incremental needs a number of seconds above 0 and at most 3600, not \"" + copy + "\"");
  }
  return value;
}

OutputFormat format(std::string_view text) {
  if (text == "json") return OutputFormat::json;
  if (text == "srt") return OutputFormat::srt;
  if (text == "vtt") return OutputFormat::vtt;
  refuse("--format must be json, srt or vtt, not \"" + std::string(text) + "\"");
}

vostrane::ChunkingStrategy chunking(std::string_view text) {
  if (text == "none") return vostrane::ChunkingStrategy::none;
  if (text == "vad") return vostrane::ChunkingStrategy::vad;
  refuse("--chunking must be none or vad, not \"" + std::string(text) + "\"");
}

// The language code of a code or a language name (any case).
std::string languageCode(std::string_view text) {
  const std::string lower = lowerCase(text);
  if (vostrane::Constants::languageCodes().count(lower)) return lower;
  const auto& names = vostrane::Constants::languages();
  if (const auto found = names.find(lower); found != names.end()) return found->second;
  refuse("--language must be auto, a language code or a language name, not \"" + std::string(text) + "\"");
}

}  // namespace

std::string_view extension(OutputFormat format) {
  switch (format) {
    case OutputFormat::json: return "json";
    case OutputFormat::srt: return "srt";
    case OutputFormat::vtt: return "vtt";
  }
  return "json";
}

vostrane::DecodingOptions TranscribeArguments::decodingOptions() const {
  vostrane::DecodingOptions options;
  // Texts and subtitles hold the spoken words only, not the control and timestamp tokens.
  options.skipSpecialTokens = true;
  options.language = language;
  if (detectLanguage) {
    options.language.reset();
    options.detectLanguage = true;
  }
  options.wordTimestamps = wordTimestamps;
  options.chunkingStrategy = chunking;
  if (workers) options.concurrentWorkerCount = *workers;
  return options;
}

vostrane::AudioInputOptions TranscribeArguments::audioInputOptions() const {
  return vostrane::AudioInputOptions(vostrane::ChannelMode::sumChannels(),
                                     incrementalSeconds ? vostrane::AudioLoadingMode::incremental(*incrementalSeconds)
                                                        : vostrane::AudioLoadingMode::fullFile());
}

TranscribeArguments parseTranscribeArguments(std::span<const std::string_view> args) {
  TranscribeArguments parsed;
  for (const std::string_view arg : args) {
    if (arg == "--") break;
    if (arg == "-h" || arg == "--help") {
      parsed.help = true;
      return parsed;
    }
  }
  std::set<std::string> seen;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (optionsEnded || arg == "-" || !arg.starts_with("-")) {
      if (arg.empty()) refuse("an empty AUDIO argument");
      parsed.audioPaths.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name(arg);
    std::optional<std::string> inlineValue;
    if (const auto equals = name.find('='); equals != std::string::npos) {
      inlineValue = name.substr(equals + 1);
      name.resize(equals);
    }
    static const std::set<std::string> flags = {"--word-timestamps", "--quiet"};
    static const std::set<std::string> valued = {"--model-folder", "--language", "--chunking", "--incremental",
                                                 "--workers",      "--format",   "--output-dir"};
    const bool isFlag = flags.count(name) > 0;
    if (!isFlag && !valued.count(name)) refuse("unknown option " + name + " (see --help)");
    if (name != "--format" && !seen.insert(name).second) refuse(name + " given more than once");
    if (isFlag) {
      if (inlineValue) refuse(name + " takes no value");
      if (name == "--quiet") {
        parsed.quiet = true;
      } else {
        parsed.wordTimestamps = true;
      }
      continue;
    }
    std::string value;
    if (inlineValue) {
      value = *inlineValue;
    } else if (i + 1 < args.size()) {
      value = std::string(args[++i]);
    } else {
      refuse(name + " needs a value");
    }
    if (name == "--model-folder") {
      if (value.empty()) refuse("--model-folder needs a folder");
      parsed.modelFolder = value;
    } else if (name == "--output-dir") {
      if (value.empty()) refuse("--output-dir needs a folder");
      parsed.outputDir = value;
    } else if (name == "--language") {
      if (value == "auto") {
        parsed.detectLanguage = true;
      } else {
        parsed.language = languageCode(value);
      }
    } else if (name == "--chunking") {
      parsed.chunking = chunking(value);
    } else if (name == "--incremental") {
      parsed.incrementalSeconds = chunkSeconds(value);
    } else if (name == "--workers") {
      parsed.workers = workerCount(value);
    } else {
      const OutputFormat f = format(value);
      if (std::find(parsed.formats.begin(), parsed.formats.end(), f) == parsed.formats.end()) {
        parsed.formats.push_back(f);
      }
    }
  }
  if (parsed.modelFolder.empty()) refuse("--model-folder DIR is required (see --help)");
  if (parsed.audioPaths.empty()) refuse("no AUDIO file given (see --help)");
  if (parsed.formats.empty()) parsed.formats.push_back(OutputFormat::json);
  return parsed;
}

std::string helpText() {
  return std::string(
             "usage: transcribe --model-folder DIR [--language CODE|auto] [--word-timestamps]\n"
             "                  [--chunking none|vad] [--incremental SECONDS] [--workers N]\n"
             "                  [--format json|srt|vtt]... [--output-dir DIR] [--quiet] AUDIO...\n"
             "\n"
             "Transcribes each AUDIO file with the speech models in DIR (never downloads) and writes\n"
             "<output-dir>/<stem>.<format> for every format, the results of the file merged into one.\n"
             "Texts hold the spoken words only (no control or timestamp tokens).\n"
             "\n"
             "  --model-folder DIR     folder holding MelSpectrogram, AudioEncoder and TextDecoder\n"
             "                         and the tokenizer files\n"
             "  --language CODE|auto   the spoken language (a code such as en, or a name such as\n"
             "                         english); auto detects it; default: the models' default\n"
             "  --word-timestamps      time every word; subtitles then get one cue per word\n"
             "  --chunking none|vad    vad cuts long audio at silences into pieces of at most 30 s\n"
             "                         transcribed concurrently (default none)\n"
             "  --incremental SECONDS  read the file SECONDS at a time (at most 3600) instead of\n"
             "                         loading it whole\n"
             "  --workers N            pieces transcribed at once, 1 to 256 (default ") +
         std::to_string(vostrane::DecodingOptions{}.concurrentWorkerCount) +
         ");\n"
         "                         files are transcribed one after another\n"
         "  --format FORMAT        json, srt or vtt; repeat for several (default json)\n"
         "  --output-dir DIR       where the files go, created when missing (default .)\n"
         "  --quiet                no text on stdout and no progress lines on stderr\n"
         "\n"
         "Output: the text of each file on stdout, one line per file (prefixed by \"FILE: \" when\n"
         "there are several files); for files over a minute a progress line on stderr at most\n"
         "once a second. A file that fails gets the line \"transcribe: FILE: message\" on stderr and\n"
         "no output file; the other files still run.\n"
         "Exit status: 0 when every file succeeded; 1 when any failed, or for bad arguments or\n"
         "models (one line on stderr).\n";
}

}  // namespace transcribetool
