// Result writers: save a TranscriptionResult as its JSON form, as SubRip subtitles (SRT) or as
// WebVTT subtitles (VTT). Each writer is bound to one output folder and writes
// "<outputDir>/<name>.json|.srt|.vtt" atomically (a failed write leaves an earlier file as it
// was). Offered to library users; nothing else in the library calls them.
//
// Subtitle text rules: times are the single-precision time text of formatTime (a negative or
// non-finite time is written as 0); inside a text, blank lines are dropped so that a text never
// ends its entry early; VTT text escapes "&", "<" and ">" so that readers keep it whole. Other
// text is written as it stands (a leading blank stays).
//
// Writers hold only their folder and a file-system reference; they are thread-safe. Two writes
// to the same file name race at the file-system level only.
#pragma once

#include <any>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/fs/file_system.hpp"
#include "speech/model/transcription_result.hpp"

namespace vostrane {

// Options handed to a writer; accepted and read by none of them.
using ResultWriterOptions = std::map<std::string, std::any>;

// The outcome of a write: the written file's absolute "file://" URL text, or the failure
// (a platform::fs::FileError for a write failure, a platform::json::JsonError for a result that
// cannot be encoded).
using ResultWriteOutcome = std::variant<std::string, std::exception_ptr>;

class ResultWriting {
 public:
  virtual ~ResultWriting() = default;

  virtual const std::string& outputDir() const = 0;

  // Writes `result` to the writer's folder as `file` plus the format's extension. Never throws
  // for failures of the disk or the encoding: they come back as the outcome's exception.
  virtual ResultWriteOutcome write(const TranscriptionResult& result, const std::string& file,
                                   const std::optional<ResultWriterOptions>& options = std::nullopt) = 0;

  // "HH:MM:SS<marker>mmm" when the time reaches one hour or `alwaysIncludeHours`, else
  // "MM:SS<marker>mmm". Single-precision arithmetic, every part truncated (1.9999 gives 999
  // milliseconds). A negative or non-finite time is formatted as 0; hours beyond the range of
  // int are clamped.
  virtual std::string formatTime(float seconds, bool alwaysIncludeHours, std::string_view decimalMarker) const;

  // One SRT entry: "<index>\n<start> --> <end>\n<text>\n\n", times with hours and ",".
  std::string formatSegment(int index, float start, float end, std::string_view text) const;
  // One VTT cue: "<start> --> <end>\n<text>\n\n", hours only when needed and ".".
  std::string formatTiming(float start, float end, std::string_view text) const;
};

// `text` with the blank lines of a multi-line text dropped: lines are split at "\n", "\r\n"
// or "\r", lines empty or holding only blanks and tabs are removed, the rest joined by "\n".
// A text without a line break is returned unchanged.
std::string collapseBlankLines(std::string_view text);

// `text` with "&", "<" and ">" written as "&amp;", "&lt;" and "&gt;".
std::string escapeVttText(std::string_view text);

// The "file://" URL text of `path` made absolute against the current folder, its segments
// percent-encoded.
std::string fileUrlText(const std::filesystem::path& path);

// The result's JSON form (TranscriptionResult::toJson), pretty-printed with two-space
// indentation.
class WriteJSON final : public ResultWriting {
 public:
  // `fileSystem` must outlive the writer.
  explicit WriteJSON(std::string outputDir,
                     platform::fs::FileSystem& fileSystem = platform::fs::RealFileSystem::shared());

  const std::string& outputDir() const override { return outputDir_; }
  ResultWriteOutcome write(const TranscriptionResult& result, const std::string& file,
                           const std::optional<ResultWriterOptions>& options = std::nullopt) override;

 private:
  const std::string outputDir_;
  platform::fs::FileSystem& fileSystem_;
};

// One entry per word of a segment with a non-empty word list, else one for the segment;
// entries numbered from 1 across the whole result. An empty result gives an empty file.
class WriteSRT final : public ResultWriting {
 public:
  explicit WriteSRT(std::string outputDir,
                    platform::fs::FileSystem& fileSystem = platform::fs::RealFileSystem::shared());

  const std::string& outputDir() const override { return outputDir_; }
  ResultWriteOutcome write(const TranscriptionResult& result, const std::string& file,
                           const std::optional<ResultWriterOptions>& options = std::nullopt) override;

 private:
  const std::string outputDir_;
  platform::fs::FileSystem& fileSystem_;
};

// "WEBVTT\n\n" then one cue per word or segment as for SRT, without identifiers.
class WriteVTT final : public ResultWriting {
 public:
  explicit WriteVTT(std::string outputDir,
                    platform::fs::FileSystem& fileSystem = platform::fs::RealFileSystem::shared());

  const std::string& outputDir() const override { return outputDir_; }
  ResultWriteOutcome write(const TranscriptionResult& result, const std::string& file,
                           const std::optional<ResultWriterOptions>& options = std::nullopt) override;

 private:
  const std::string outputDir_;
  platform::fs::FileSystem& fileSystem_;
};

}  // namespace vostrane
