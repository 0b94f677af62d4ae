// libFuzzer entry for the RTTM reader and the DER scorer.
//
// The input is read as RTTM text. A refused text must be refused with RttmError; an accepted
// one is scored against itself (with and without a collar), which must give a finite DER of 0,
// and against a copy whose segments are shifted by 0.5 s, which must give finite rates with
// missed + false alarm + confusion consistent with the reference speech. The same entry replays
// the kept inputs in the normal test run.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/score-der/der.hpp"
#include "tools/score-der/rttm.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<rttm::Segment> segments;
  try {
    segments = rttm::parse(text);
  } catch (const rttm::RttmError&) {
    return 0;
  }
  for (const double collar : {0.0, 0.25}) {
    const rttm::DerScore self = rttm::scoreDer(segments, segments, collar);
    const double tolerance = 1e-9 * (1 + self.referenceSpeech);
    if (!(self.missed <= tolerance && self.falseAlarm <= tolerance && self.confusion <= tolerance)) std::abort();
    if (!std::isfinite(self.referenceSpeech) || self.referenceSpeech < 0) std::abort();
  }
  std::vector<rttm::Segment> shifted = segments;
  for (rttm::Segment& s : shifted) s.onset += 0.5;
  const rttm::DerScore score = rttm::scoreDer(segments, shifted, 0.25);
  for (const double part : {score.referenceSpeech, score.missed, score.falseAlarm, score.confusion}) {
    if (!std::isfinite(part) || part < 0) std::abort();
  }
  // Missed speech and confusion are parts of the reference speech.
  if (score.missed + score.confusion > score.referenceSpeech * (1 + 1e-9) + 1e-9) std::abort();
  return 0;
}
