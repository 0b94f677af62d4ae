// score-der REF.rttm HYP.rttm [--collar SECONDS]
//
// Prints "DER=<d> missed=<m> false_alarm=<f> confusion=<c>", each a share of the scored
// reference speech (6 decimals), for the hypothesis against the reference (collar 0.25 s by
// default). Exit status 0 when scored, 1 for an unreadable or malformed file (one line on
// stderr naming it), 2 for a usage error.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "platform/fs/file_system.hpp"
#include "tools/score-der/der.hpp"
#include "tools/score-der/rttm.hpp"

namespace {

int usage() {
  std::fputs("usage: score-der REF.rttm HYP.rttm [--collar SECONDS]\n", stderr);
  return 2;
}

bool readCollar(const std::string& text, double& collar) {
  char* end = nullptr;
  collar = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size() && std::isfinite(collar) && collar >= 0 && collar <= 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  std::string paths[2];
  int pathCount = 0;
  double collar = 0.25;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--collar") {
      if (i + 1 >= argc || !readCollar(argv[i + 1], collar)) return usage();
      ++i;
    } else if (pathCount < 2 && !arg.starts_with("--")) {
      paths[pathCount++] = std::string(arg);
    } else {
      return usage();
    }
  }
  if (pathCount != 2) return usage();
  std::vector<rttm::Segment> sides[2];
  for (int s = 0; s < 2; ++s) {
    try {
      sides[s] = rttm::parse(platform::fs::readFile(paths[s]));
    } catch (const std::exception& e) {
      std::fprintf(stderr, "score-der: %s: %s\n", paths[s].c_str(), e.what());
      return 1;
    }
  }
  const rttm::DerScore score = rttm::scoreDer(sides[0], sides[1], collar);
  std::printf("DER=%.6f missed=%.6f false_alarm=%.6f confusion=%.6f\n", score.der(), score.rate(score.missed),
              score.rate(score.falseAlarm), score.rate(score.confusion));
  return 0;
}
