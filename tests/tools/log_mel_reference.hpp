// For the demo-model tests: the log-mel spectrogram of the demo speech models computed the plain way, in
// double precision with a direct DFT, as the reference for the mel graph. Compiled optimised
// in every build, so sanitizer builds check it in seconds. Thread-safe.
#pragma once

#include <vector>

namespace demomodels {

// Reflect padding by 200, periodic Hann frames of 400 every 160 (3000 frames), power, 128
// Slaney mel filters over 0 to 8 kHz, log10 floored at 1e-10 and at the largest value - 8,
// then (x + 4) / 4. `audio` holds 480,000 samples; the result is row-major [128, 3000].
std::vector<double> referenceLogMel(const std::vector<float>& audio);

}  // namespace demomodels
