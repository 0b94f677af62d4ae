// RTTM reading for the diarization tools: the "SPEAKER" lines of a Rich Transcription Time
// Marked file as speaker segments, and the file id the tools write for an audio file.
//
// Accepted text: lines separated by "\n" (a trailing "\r" is dropped); blank lines and lines
// starting with "#" or ";;" are skipped. Every other line is a record of whitespace-separated
// fields whose first field is an RTTM type (upper-case letters, digits, "-", "_", "/"). Only
// SPEAKER records are read; other types (SPKR-INFO, LEXEME, ...) are skipped. A SPEAKER record
// has at least 8 fields: type, file id, channel, onset, duration, orthography, speaker type,
// speaker name (fields beyond the eighth are ignored). Onset and duration are decimal numbers,
// finite, at least 0 and at most 10^7 seconds.
//
// Pure functions; thread-safe.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace rttm {

struct Segment {
  std::string file;
  std::string speaker;
  double onset = 0;     // seconds
  double duration = 0;  // seconds

  bool operator==(const Segment&) const = default;
};

// A text that breaks the rules above. what() reads "line N: <reason>" (N counted from 1).
class RttmError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The SPEAKER segments in file order. Throws RttmError.
std::vector<Segment> parse(std::string_view text);

// The file id of an audio file: its stem with every blank (space, tab) made "_"; "audio" when
// the stem is empty.
std::string fileIdFor(const std::filesystem::path& audioPath);

}  // namespace rttm
