// RTTM lines (NIST Rich Transcription Time Marked): speaker turns as text, made from words with
// speakers or, by the main class, from diarization segments. Plain values; thread-safe.
#pragma once

#include <string>
#include <vector>

#include "diarization/speaker_info.hpp"

namespace dellomar {

// "UNKNOWN" for -1; otherwise the letter with code 65 + (id remainder 26), the remainder taking
// the sign of the id (0 -> A, 25 -> Z, 26 -> A, 27 -> B).
std::string rttmSpeakerName(int speakerId);

struct RTTMLine {
  std::string fileId;
  float startTime = 0;  // seconds
  float duration = 0;   // seconds
  std::string orthography;
  std::string speakerName;

  // The speaker given as an id, named by rttmSpeakerName.
  static RTTMLine make(std::string fileId, int speakerId, float startTime, float duration, std::string orthography);

  // "SPEAKER <file> 1 <start %.3f> <duration %.3f> <orthography> <NA> <name> <NA> <NA>". The
  // orthography is written as it is, so a line made from words has more than ten fields.
  std::string description() const;
  // The same with "<NA>" as orthography and every blank of the file id replaced by "_": always
  // exactly the ten RTTM fields (type, file, channel, onset, duration, orthography, speaker
  // type, name, confidence, lookahead).
  std::string tenFieldDescription() const;

  // Consecutive words with equal speakers (two absent speakers are equal) form one line:
  // start of its first word, end of its last word minus that start, the words trimmed of
  // blanks and joined with " ". A group without a speaker gives no line.
  static std::vector<RTTMLine> fromWords(const std::vector<WordWithSpeaker>& words, const std::string& fileName);

  friend bool operator==(const RTTMLine&, const RTTMLine&) = default;
};

}  // namespace dellomar
