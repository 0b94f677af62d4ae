#include "tools/transcribe/transcribe_command.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>
#include <utility>

#include "platform/audio/audio_file.hpp"
#include "platform/sys/checked_cast.hpp"
#include "platform/sys/error_description.hpp"
#include "speech/pipeline/result_writers.hpp"
#include "speech/pipeline/transcription_utilities.hpp"
#include "speech/pipeline/vostrane.hpp"

namespace transcribetool {
namespace {

namespace fs = std::filesystem;

constexpr double kProgressMinimumSeconds = 60.0;

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// The input's length in seconds, or 0 when the file cannot be opened or gives no length (the
// transcription then reports the file's problem).
double durationOf(const std::string& path) {
  try {
    const auto file = platform::audio::AudioFile::open(path);
    const double rate = file->fileFormat().sampleRate;
    if (!(rate > 0)) return 0;
    return double(file->length()) / rate;
  } catch (const std::exception&) {
    return 0;
  }
}

std::unique_ptr<vostrane::ResultWriting> writerFor(OutputFormat format, const std::string& folder) {
  switch (format) {
    case OutputFormat::srt: return std::make_unique<vostrane::WriteSRT>(folder);
    case OutputFormat::vtt: return std::make_unique<vostrane::WriteVTT>(folder);
    case OutputFormat::json: break;
  }
  return std::make_unique<vostrane::WriteJSON>(folder);
}

class Run {
 public:
  Run(const TranscribeArguments& args, std::ostream& out, std::ostream& err) : args_(args), out_(out), err_(err) {}

  int operator()() {
    std::error_code ec;
    if (!fs::is_directory(args_.modelFolder, ec)) {
      return fail("model folder not found: " + args_.modelFolder.string());
    }
    try {
      vostrane::VostraneConfig config;
      config.modelFolder = args_.modelFolder.string();
      config.tokenizerFolder = args_.modelFolder;
      config.download = false;
      config.load = true;
      config.verbose = false;
      vostrane_ = vostrane::Vostrane::create(config);
    } catch (const std::exception& e) {
      return fail(e.what());
    }
    // Only once the models are usable, so that a refused call leaves no folder behind.
    fs::create_directories(args_.outputDir, ec);
    if (ec || !fs::is_directory(args_.outputDir)) {
      return fail("cannot create the output folder " + args_.outputDir.string() + ": " +
                  (ec ? ec.message() : std::string("not a folder")));
    }
    vostrane_->setSegmentDiscoveryCallback([this](const std::vector<vostrane::TranscriptionSegment>& segments) {
      segmentsFound(segments);
    });

    bool allSucceeded = true;
    std::set<std::string> stemsUsed;
    for (const std::string& path : args_.audioPaths) {
      std::string failure = transcribeOne(path, stemsUsed);
      if (!failure.empty()) {
        allSucceeded = false;
        err_ << oneLine("transcribe: " + path + ": " + failure) << '\n';
      }
    }
    out_.flush();
    if (!out_) {
      err_ << "transcribe: cannot write the text to the standard output\n";
      return 1;
    }
    return allSucceeded ? 0 : 1;
  }

 private:
  int fail(const std::string& message) {
    err_ << oneLine("transcribe: " + message) << '\n';
    return 1;
  }

  // Transcribes and writes one input; the failure's message, or empty on success.
  std::string transcribeOne(const std::string& path, std::set<std::string>& stemsUsed) {
    const std::string stem = fs::path(path).stem().string();
    if (stem.empty() || stem == "." || stem == "..") return "the path names no file";
    if (stemsUsed.count(stem)) return "an earlier input of this call already writes the files named " + stem;

    {
      std::lock_guard lock(progressMutex_);
      progress_.reset();
      if (!args_.quiet) progress_ = std::make_shared<ProgressLines>(path, durationOf(path));
    }
    vostrane::TranscriptionResults results;
    try {
      results = vostrane_->transcribe(path, args_.audioInputOptions(), args_.decodingOptions(),
                                      [this](const vostrane::TranscriptionProgress&) -> std::optional<bool> {
                                        positionReached(std::nullopt);
                                        return std::nullopt;
                                      });
    } catch (const std::exception& e) {
      return e.what();
    }
    const auto merged = vostrane::TranscriptionUtilities::mergeTranscriptionResults(results);

    stemsUsed.insert(stem);
    for (const OutputFormat format : args_.formats) {
      const auto writer = writerFor(format, args_.outputDir.string());
      const vostrane::ResultWriteOutcome outcome = writer->write(*merged, stem);
      if (const auto* error = std::get_if<std::exception_ptr>(&outcome)) {
        return "cannot write " + (args_.outputDir / (stem + "." + std::string(extension(format)))).string() + ": " +
               platform::sys::describeError(*error);
      }
    }
    if (!args_.quiet) {
      const std::string text = trimmed(oneLine(merged->text()));
      if (args_.audioPaths.size() > 1) out_ << oneLine(path) << ": ";
      out_ << text << '\n';
    }
    return {};
  }

  void segmentsFound(const std::vector<vostrane::TranscriptionSegment>& segments) {
    double furthest = 0;
    for (const auto& segment : segments) furthest = std::max(furthest, double(segment.end));
    positionReached(furthest);
  }

  // Prints a progress line when one is due; callbacks may come from several threads.
  void positionReached(std::optional<double> seconds) {
    std::shared_ptr<ProgressLines> lines;
    {
      std::lock_guard lock(progressMutex_);
      lines = progress_;
    }
    if (!lines) return;
    if (auto line = lines->report(seconds.value_or(0), ProgressLines::Clock::now())) {
      std::lock_guard lock(errMutex_);
      err_ << *line << '\n' << std::flush;
    }
  }

  const TranscribeArguments& args_;
  std::ostream& out_;
  std::ostream& err_;
  std::shared_ptr<vostrane::Vostrane> vostrane_;
  std::mutex progressMutex_;
  std::shared_ptr<ProgressLines> progress_;  // guarded by progressMutex_
  // Serialises progress lines written from the library's threads.
  std::mutex errMutex_;
};

}  // namespace

std::string oneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

ProgressLines::ProgressLines(std::string file, double durationSeconds)
    : file_(std::move(file)), durationSeconds_(std::isfinite(durationSeconds) ? durationSeconds : 0) {}

std::optional<std::string> ProgressLines::report(double positionSeconds, Clock::time_point now) {
  if (!(durationSeconds_ > kProgressMinimumSeconds)) return std::nullopt;
  double position = 0;
  {
    std::lock_guard lock(mutex_);
    if (std::isfinite(positionSeconds)) position_ = std::max(position_, std::min(positionSeconds, durationSeconds_));
    if (lastLine_ && now - *lastLine_ < std::chrono::seconds(1)) return std::nullopt;
    lastLine_ = now;
    position = position_;
  }
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%d%% (%.1f of %.1f s)", platform::sys::saturatingIntegerCast<int>(position / durationSeconds_ * 100.0), position,
                durationSeconds_);
  return oneLine(file_) + ": " + buffer;
}

int runTranscribe(const TranscribeArguments& args, std::ostream& out, std::ostream& err) {
  try {
    return Run(args, out, err)();
  } catch (const std::exception& e) {
    err << oneLine(std::string("transcribe: ") + e.what()) << '\n';
  } catch (...) {
    err << "transcribe: unexpected error\n";
  }
  return 1;
}

}  // namespace transcribetool
