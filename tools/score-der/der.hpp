// Diarization error rate of a hypothesis against a reference, both as RTTM speaker segments.
//
// Per file id (files present in only one side count too): each speaker's segments are merged
// into disjoint intervals; time within `collar` seconds of any reference interval's start or end
// is not scored; on the rest, at every instant with R reference and H hypothesis speakers,
// missed speech is max(0, R - H), false alarm max(0, H - R) and confusion min(R, H) minus the
// reference speakers whose mapped hypothesis speaker is active. The mapping is one-to-one and
// maximises the time both members of a pair speak together (Hungarian method), so overlapped
// speech is scored speaker by speaker. DER = (missed + false alarm + confusion) / scored
// reference speech.
//
// Pure functions; thread-safe.
#pragma once

#include <span>
#include <vector>

#include "tools/score-der/rttm.hpp"

namespace rttm {

struct DerScore {
  double referenceSpeech = 0;  // scored reference speaker time, seconds
  double missed = 0;           // seconds
  double falseAlarm = 0;       // seconds
  double confusion = 0;        // seconds

  // Each over the reference speech: 0 when the numerator is 0, +infinity when only the
  // reference speech is 0.
  double rate(double seconds) const;
  double der() const { return rate(missed + falseAlarm + confusion); }
};

// `collar` must be finite and at least 0 (programming error otherwise).
DerScore scoreDer(std::span<const Segment> reference, std::span<const Segment> hypothesis, double collar);

// One-to-one assignment of rows to columns maximising the summed weights of `weights`
// (rows x columns, row-major, entries finite); result[r] is the column of row r, or -1 when
// there are more rows than columns and row r is left out.
std::vector<int> maximumWeightAssignment(std::span<const double> weights, std::size_t rows, std::size_t columns);

}  // namespace rttm
