#include "log_mel_reference.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace demomodels {

std::vector<double> referenceLogMel(const std::vector<float>& audio) {
  const int n = static_cast<int>(audio.size());
  std::vector<double> padded(static_cast<std::size_t>(n + 400));
  for (int i = 0; i < n + 400; ++i) {
    int j = i - 200;
    if (j < 0) j = -j;
    if (j >= n) j = 2 * (n - 1) - j;
    padded[static_cast<std::size_t>(i)] = audio[static_cast<std::size_t>(j)];
  }
  // Mel filters: triangles between adjacent centres on the Slaney scale, scaled to unit area
  // per unit of 2 / (upper edge - lower edge).
  const auto toMel = [](double hz) { return hz < 1000 ? 3 * hz / 200 : 15 + 27 * std::log(hz / 1000) / std::log(6.4); };
  const auto toHz = [](double mel) { return mel < 15 ? 200 * mel / 3 : 1000 * std::pow(6.4, (mel - 15) / 27); };
  std::vector<double> centres(130);
  for (int i = 0; i < 130; ++i) centres[static_cast<std::size_t>(i)] = toHz(toMel(8000) * i / 129.0);
  std::vector<double> filters(128 * 201, 0.0);
  for (int m = 0; m < 128; ++m) {
    const double lo = centres[static_cast<std::size_t>(m)];
    const double mid = centres[static_cast<std::size_t>(m + 1)];
    const double hi = centres[static_cast<std::size_t>(m + 2)];
    for (int k = 0; k < 201; ++k) {
      const double f = 40.0 * k;
      double w = 0;
      if (f > lo && f <= mid) w = (f - lo) / (mid - lo);
      if (f > mid && f < hi) w = (hi - f) / (hi - mid);
      filters[static_cast<std::size_t>(m * 201 + k)] = w * 2 / (hi - lo);
    }
  }
  std::vector<double> cosine(400 * 201);
  std::vector<double> sine(400 * 201);
  for (int i = 0; i < 400; ++i) {
    const double hann = 0.5 * (1 - std::cos(2 * std::numbers::pi * i / 400));
    for (int k = 0; k < 201; ++k) {
      cosine[static_cast<std::size_t>(i * 201 + k)] = hann * std::cos(2 * std::numbers::pi * i * k / 400);
      sine[static_cast<std::size_t>(i * 201 + k)] = hann * std::sin(2 * std::numbers::pi * i * k / 400);
    }
  }
  std::vector<double> out(128 * 3000);
  std::vector<double> re(201);
  std::vector<double> im(201);
  for (int t = 0; t < 3000; ++t) {
    std::fill(re.begin(), re.end(), 0.0);
    std::fill(im.begin(), im.end(), 0.0);
    for (int i = 0; i < 400; ++i) {
      const double x = padded[static_cast<std::size_t>(t * 160 + i)];
      if (x == 0) continue;
      for (int k = 0; k < 201; ++k) {
        re[static_cast<std::size_t>(k)] += x * cosine[static_cast<std::size_t>(i * 201 + k)];
        im[static_cast<std::size_t>(k)] += x * sine[static_cast<std::size_t>(i * 201 + k)];
      }
    }
    for (int m = 0; m < 128; ++m) {
      double energy = 0;
      for (int k = 0; k < 201; ++k) {
        const double power = re[static_cast<std::size_t>(k)] * re[static_cast<std::size_t>(k)] +
                             im[static_cast<std::size_t>(k)] * im[static_cast<std::size_t>(k)];
        energy += filters[static_cast<std::size_t>(m * 201 + k)] * power;
      }
      out[static_cast<std::size_t>(m * 3000 + t)] = std::log10(std::max(energy, 1e-10));
    }
  }
  const double largest = *std::max_element(out.begin(), out.end());
  for (double& v : out) v = (std::max(v, largest - 8) + 4) / 4;
  return out;
}

}  // namespace demomodels
