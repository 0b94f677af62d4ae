#include "tools/score-der/der.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <string>

#include "platform/log/check.hpp"

namespace rttm {

namespace {

using Interval = std::pair<double, double>;

// Speaker name -> disjoint sorted intervals.
using SpeakerIntervals = std::map<std::string, std::vector<Interval>>;

std::vector<Interval> merged(std::vector<Interval> intervals) {
  std::sort(intervals.begin(), intervals.end());
  std::vector<Interval> out;
  for (const Interval& i : intervals) {
    if (i.second <= i.first) continue;
    if (!out.empty() && i.first <= out.back().second) {
      out.back().second = std::max(out.back().second, i.second);
    } else {
      out.push_back(i);
    }
  }
  return out;
}

std::map<std::string, SpeakerIntervals> byFile(std::span<const Segment> segments) {
  std::map<std::string, std::map<std::string, std::vector<Interval>>> raw;
  for (const Segment& s : segments) raw[s.file][s.speaker].emplace_back(s.onset, s.onset + s.duration);
  std::map<std::string, SpeakerIntervals> out;
  for (auto& [file, speakers] : raw) {
    SpeakerIntervals& target = out[file];
    for (auto& [speaker, intervals] : speakers) {
      auto m = merged(std::move(intervals));
      if (!m.empty()) target[speaker] = std::move(m);
    }
  }
  return out;
}

// Whether `t` lies inside one of the sorted disjoint `intervals` (advancing `cursor`; the calls
// must come with non-decreasing t).
bool inside(const std::vector<Interval>& intervals, std::size_t& cursor, double t) {
  while (cursor < intervals.size() && intervals[cursor].second <= t) ++cursor;
  return cursor < intervals.size() && intervals[cursor].first <= t;
}

void scoreFile(const SpeakerIntervals& reference, const SpeakerIntervals& hypothesis, double collar, DerScore& score) {
  std::vector<const std::vector<Interval>*> refs;
  std::vector<const std::vector<Interval>*> hyps;
  for (const auto& [name, intervals] : reference) refs.push_back(&intervals);
  for (const auto& [name, intervals] : hypothesis) hyps.push_back(&intervals);

  std::vector<Interval> unscored;
  if (collar > 0) {
    for (const auto* intervals : refs) {
      for (const Interval& i : *intervals) {
        unscored.emplace_back(i.first - collar, i.first + collar);
        unscored.emplace_back(i.second - collar, i.second + collar);
      }
    }
  }
  unscored = merged(std::move(unscored));

  std::vector<double> cuts;
  for (const auto* side : {&refs, &hyps}) {
    for (const auto* intervals : *side) {
      for (const Interval& i : *intervals) {
        cuts.push_back(i.first);
        cuts.push_back(i.second);
      }
    }
  }
  for (const Interval& i : unscored) {
    cuts.push_back(i.first);
    cuts.push_back(i.second);
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

  const std::size_t r = refs.size();
  const std::size_t h = hyps.size();
  std::vector<double> together(r * h, 0.0);
  std::vector<std::size_t> refCursor(r, 0);
  std::vector<std::size_t> hypCursor(h, 0);
  std::size_t unscoredCursor = 0;
  std::vector<std::size_t> activeRefs;
  std::vector<std::size_t> activeHyps;
  double matchable = 0;  // sum of min(R, H) x duration
  for (std::size_t c = 0; c + 1 < cuts.size(); ++c) {
    const double length = cuts[c + 1] - cuts[c];
    const double middle = cuts[c] + length / 2;
    if (length <= 0 || inside(unscored, unscoredCursor, middle)) continue;
    activeRefs.clear();
    activeHyps.clear();
    for (std::size_t i = 0; i < r; ++i) {
      if (inside(*refs[i], refCursor[i], middle)) activeRefs.push_back(i);
    }
    for (std::size_t j = 0; j < h; ++j) {
      if (inside(*hyps[j], hypCursor[j], middle)) activeHyps.push_back(j);
    }
    const double nr = static_cast<double>(activeRefs.size());
    const double nh = static_cast<double>(activeHyps.size());
    score.referenceSpeech += nr * length;
    score.missed += std::max(0.0, nr - nh) * length;
    score.falseAlarm += std::max(0.0, nh - nr) * length;
    matchable += std::min(nr, nh) * length;
    for (const std::size_t i : activeRefs) {
      for (const std::size_t j : activeHyps) together[i * h + j] += length;
    }
  }
  const std::vector<int> mapping = maximumWeightAssignment(together, r, h);
  double correct = 0;
  for (std::size_t i = 0; i < r; ++i) {
    if (mapping[i] >= 0) correct += together[i * h + static_cast<std::size_t>(mapping[i])];
  }
  score.confusion += std::max(0.0, matchable - correct);
}

}  // namespace

double DerScore::rate(double seconds) const {
  if (seconds == 0) return 0;
  if (referenceSpeech == 0) return std::numeric_limits<double>::infinity();
  return seconds / referenceSpeech;
}

std::vector<int> maximumWeightAssignment(std::span<const double> weights, std::size_t rows, std::size_t columns) {
  platform::log::requireThat(weights.size() == rows * columns, "assignment weights must hold rows x columns values");
  std::vector<int> result(rows, -1);
  if (rows == 0 || columns == 0) return result;
  // Hungarian method with potentials on the square matrix of size n, minimising the cost
  // (largest weight - weight); padding rows and columns cost the same everywhere.
  const std::size_t n = std::max(rows, columns);
  double largest = 0;
  for (const double w : weights) largest = std::max(largest, w);
  const auto cost = [&](std::size_t i, std::size_t j) {
    return (i < rows && j < columns) ? largest - weights[i * columns + j] : largest;
  };
  const double infinity = std::numeric_limits<double>::infinity();
  std::vector<double> u(n + 1, 0.0), v(n + 1, 0.0);
  std::vector<std::size_t> match(n + 1, 0), way(n + 1, 0);  // match[j]: row (1-based) of column j
  for (std::size_t i = 1; i <= n; ++i) {
    match[0] = i;
    std::size_t j0 = 0;
    std::vector<double> minimum(n + 1, infinity);
    std::vector<char> used(n + 1, 0);
    do {
      used[j0] = 1;
      const std::size_t i0 = match[j0];
      double delta = infinity;
      std::size_t j1 = 0;
      for (std::size_t j = 1; j <= n; ++j) {
        if (used[j]) continue;
        const double current = cost(i0 - 1, j - 1) - u[i0] - v[j];
        if (current < minimum[j]) {
          minimum[j] = current;
          way[j] = j0;
        }
        if (minimum[j] < delta) {
          delta = minimum[j];
          j1 = j;
        }
      }
      for (std::size_t j = 0; j <= n; ++j) {
        if (used[j]) {
          u[match[j]] += delta;
          v[j] -= delta;
        } else {
          minimum[j] -= delta;
        }
      }
      j0 = j1;
    } while (match[j0] != 0);
    do {
      const std::size_t j1 = way[j0];
      match[j0] = match[j1];
      j0 = j1;
    } while (j0 != 0);
  }
  for (std::size_t j = 1; j <= n; ++j) {
    const std::size_t i = match[j] - 1;
    if (i < rows && j - 1 < columns) result[i] = static_cast<int>(j - 1);
  }
  return result;
}

DerScore scoreDer(std::span<const Segment> reference, std::span<const Segment> hypothesis, double collar) {
  platform::log::requireThat(std::isfinite(collar) && collar >= 0, "the collar must be finite and at least 0");
  const auto ref = byFile(reference);
  const auto hyp = byFile(hypothesis);
  std::set<std::string> files;
  for (const auto& [file, speakers] : ref) files.insert(file);
  for (const auto& [file, speakers] : hyp) files.insert(file);
  DerScore score;
  const SpeakerIntervals none;
  for (const std::string& file : files) {
    const auto r = ref.find(file);
    const auto h = hyp.find(file);
    scoreFile(r != ref.end() ? r->second : none, h != hyp.end() ? h->second : none, collar, score);
  }
  return score;
}

}  // namespace rttm
