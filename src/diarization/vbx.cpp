#include "diarization/vbx.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/logging.hpp"
#include "diarization/vector_ops.hpp"

namespace dellomar {

namespace {

constexpr float kLogTwoPi = 1.837877f;

// Values at dimensions 0-3, 60 and 125-127 are those of the projection's covariance; the
// others follow a smooth decay between them in the log domain, scaled so that the table sums to
// 225.59.
constexpr std::array<float, kPldaDimension> kPldaPhi = {
    25.8823795f, 10.6465502f, 7.09749699f, 5.70842123f, 4.82283878f, 4.45686054f,
    4.18753576f, 3.96926928f, 3.78395486f, 3.62215829f, 3.47821212f, 3.34839153f,
    3.230093f, 3.12141085f, 3.02090144f, 2.92743945f, 2.84012842f, 2.75823998f,
    2.6811738f, 2.60842729f, 2.53957582f, 2.47425604f, 2.41215539f, 2.35300136f,
    2.29655576f, 2.24260879f, 2.19097447f, 2.14148736f, 2.09399867f, 2.04837561f,
    2.00449753f, 1.96225548f, 1.92155063f, 1.88229227f, 1.8443979f, 1.80779171f,
    1.77240384f, 1.73816991f, 1.7050308f, 1.67293119f, 1.64182007f, 1.61165011f,
    1.58237708f, 1.55395949f, 1.52635908f, 1.49953973f, 1.47346735f, 1.44811058f,
    1.42343926f, 1.39942539f, 1.3760426f, 1.353266f, 1.33107173f, 1.30943775f,
    1.28834283f, 1.26776695f, 1.24769139f, 1.22809792f, 1.20896959f, 1.19029009f,
    1.17204404f, 1.0971278f, 1.06372154f, 1.03805661f, 1.01651073f, 0.997644603f,
    0.980707765f, 0.965248346f, 0.950968623f, 0.937660098f, 0.925169528f, 0.913380623f,
    0.902202308f, 0.891561806f, 0.88139981f, 0.871667266f, 0.862322927f, 0.853331745f,
    0.84466368f, 0.836292744f, 0.828196228f, 0.820354164f, 0.812748909f, 0.805364788f,
    0.798187673f, 0.791204929f, 0.784405231f, 0.777778149f, 0.771314323f, 0.765005112f,
    0.758842647f, 0.752819657f, 0.746929526f, 0.741166115f, 0.735523641f, 0.7299968f,
    0.724580765f, 0.719270825f, 0.71406275f, 0.708952546f, 0.703936338f, 0.69901073f,
    0.694172263f, 0.689417958f, 0.684744716f, 0.680149853f, 0.675630629f, 0.671184659f,
    0.666809499f, 0.662502944f, 0.658262849f, 0.654087245f, 0.649974108f, 0.645921588f,
    0.641928017f, 0.637991726f, 0.634111047f, 0.630284429f, 0.626510501f, 0.622787833f,
    0.619115055f, 0.615490913f, 0.611914158f, 0.608383596f, 0.604898095f, 0.601456583f,
    0.584011018f, 0.56960541f};

}  // namespace

const std::array<float, kPldaDimension>& pldaPhi() { return kPldaPhi; }

FlatMatrix vbxFrameLogLikelihoods(const FlatMatrix& rho, const FlatMatrix& invL, const FlatMatrix& alpha,
                                  std::span<const float> g, std::span<const float> phi, float fa) {
  const std::size_t frames = rho.rows;
  const std::size_t speakers = alpha.rows;
  const std::size_t dims = rho.columns;
  // q = (invL + alpha^2) . phi, one value per speaker.
  std::vector<float> spread(speakers * dims);
  for (std::size_t i = 0; i < spread.size(); ++i) spread[i] = invL.values[i] + alpha.values[i] * alpha.values[i];
  std::vector<float> q(speakers);
  vec::matrixMultiply(spread.data(), phi.data(), q.data(), speakers, dims, 1);
  // rho . alpha^T, frames x speakers.
  std::vector<float> alphaT(dims * speakers);
  vec::transpose(alpha.values.data(), alphaT.data(), speakers, dims);
  FlatMatrix l;
  l.rows = frames;
  l.columns = speakers;
  l.values.resize(frames * speakers);
  vec::matrixMultiply(rho.values.data(), alphaT.data(), l.values.data(), frames, dims, speakers);
  for (std::size_t t = 0; t < frames; ++t) {
    for (std::size_t s = 0; s < speakers; ++s) {
      float& value = l.values[t * speakers + s];
      value = fa * (value - 0.5f * q[s] + g[t]);
    }
  }
  return l;
}

VBxResult vbx(std::span<const int> labels, const VectorList& features, int maxIterations, bool warnOnDecrease,
              float fa, float fb, float initSmoothing, std::span<const float> phi) {
  const std::size_t frames = features.size();
  if (frames == 0 || labels.size() != frames || phi.size() != kPldaDimension) return {};
  for (const Vector& row : features) {
    if (row.size() != kPldaDimension) return {};
    for (const float value : row) {
      if (!std::isfinite(value)) return {};
    }
  }
  const int largest = *std::max_element(labels.begin(), labels.end());
  if (largest < 0) return {};
  const std::size_t speakers = static_cast<std::size_t>(largest) + 1;
  constexpr std::size_t dims = kPldaDimension;

  std::vector<float> gamma(frames * speakers, 0.0f);
  for (std::size_t t = 0; t < frames; ++t) {
    if (labels[t] >= 0) gamma[t * speakers + static_cast<std::size_t>(labels[t])] = 1.0f;
  }
  if (initSmoothing >= 0) {
    std::vector<float> row(speakers);
    for (std::size_t t = 0; t < frames; ++t) {
      for (std::size_t s = 0; s < speakers; ++s) row[s] = gamma[t * speakers + s] * initSmoothing;
      const Vector smoothed = softmax(row);
      std::copy(smoothed.begin(), smoothed.end(), gamma.begin() + static_cast<std::ptrdiff_t>(t * speakers));
    }
  }
  Vector pi(speakers, 1.0f / static_cast<float>(speakers));

  std::vector<float> g(frames);
  FlatMatrix rho;
  rho.rows = frames;
  rho.columns = dims;
  rho.values.resize(frames * dims);
  std::array<float, dims> v{};
  for (std::size_t d = 0; d < dims; ++d) v[d] = std::sqrt(phi[d]);
  for (std::size_t t = 0; t < frames; ++t) {
    g[t] = -0.5f * (vec::sumOfSquares(features[t]) + static_cast<float>(dims) * kLogTwoPi);
    vec::multiply(features[t], v, std::span<float>(rho.values.data() + t * dims, dims));
  }

  const auto result = [&] {
    VBxResult out;
    out.gamma = reshaped(gamma, frames, speakers);
    out.pi = pi;
    return out;
  };
  if (maxIterations <= 0) return result();

  const float r = fa / fb;
  FlatMatrix invL{std::vector<float>(speakers * dims), speakers, dims};
  FlatMatrix alpha{std::vector<float>(speakers * dims), speakers, dims};
  std::vector<float> gammaT(speakers * frames);
  std::vector<float> counts(speakers);
  std::vector<float> lpi(speakers);
  std::vector<float> lpx(frames);
  std::vector<float> a(speakers);
  std::vector<float> objective;
  objective.reserve(static_cast<std::size_t>(maxIterations));

  for (int iteration = 0; iteration < maxIterations; ++iteration) {
    std::fill(counts.begin(), counts.end(), 0.0f);
    for (std::size_t t = 0; t < frames; ++t) {
      for (std::size_t s = 0; s < speakers; ++s) counts[s] += gamma[t * speakers + s];
    }
    for (std::size_t s = 0; s < speakers; ++s) {
      for (std::size_t d = 0; d < dims; ++d) invL.values[s * dims + d] = 1.0f / (phi[d] * (counts[s] * r) + 1.0f);
    }
    vec::transpose(gamma.data(), gammaT.data(), frames, speakers);
    vec::matrixMultiply(gammaT.data(), rho.values.data(), alpha.values.data(), speakers, frames, dims);
    for (std::size_t i = 0; i < alpha.values.size(); ++i) alpha.values[i] = (invL.values[i] * r) * alpha.values[i];

    const FlatMatrix l = vbxFrameLogLikelihoods(rho, invL, alpha, g, phi, fa);
    for (std::size_t s = 0; s < speakers; ++s) {
      lpi[s] = pi[s] > -1e-8f ? std::log(pi[s] + 1e-8f) : -std::numeric_limits<float>::infinity();
    }
    for (std::size_t t = 0; t < frames; ++t) {
      for (std::size_t s = 0; s < speakers; ++s) a[s] = l.values[t * speakers + s] + lpi[s];
      lpx[t] = logSumExp(a);
      float m = -std::numeric_limits<float>::infinity();
      for (std::size_t s = 0; s < speakers; ++s) {
        a[s] -= lpx[t];
        m = std::max(m, a[s]);
      }
      float total = 0;
      for (std::size_t s = 0; s < speakers; ++s) {
        a[s] = std::exp(a[s] - m);
        total += a[s];
      }
      float* row = gamma.data() + t * speakers;
      if (total == 0) {
        std::fill(row, row + speakers, 1.0f / static_cast<float>(speakers));
      } else {
        for (std::size_t s = 0; s < speakers; ++s) row[s] = a[s] / total;
      }
    }
    std::fill(counts.begin(), counts.end(), 0.0f);
    for (std::size_t t = 0; t < frames; ++t) {
      for (std::size_t s = 0; s < speakers; ++s) counts[s] += gamma[t * speakers + s];
    }
    float countTotal = 0;
    for (const float c : counts) countTotal += c;
    for (std::size_t s = 0; s < speakers; ++s) pi[s] = counts[s] / countTotal;

    float evidence = 0;
    for (const float value : lpx) evidence += value;
    float regulariser = 0;
    for (std::size_t i = 0; i < invL.values.size(); ++i) {
      const float il = invL.values[i];
      if (il > 0) regulariser += std::log(il) - il - alpha.values[i] * alpha.values[i] + 1.0f;
    }
    const float elbo = evidence + (fb * 0.5f) * regulariser;
    objective.push_back(elbo);
    if (iteration > 0) {
      const float delta = elbo - objective[objective.size() - 2];
      if (delta < 1e-4f) {
        if (delta < 0 && warnOnDecrease) noxtal::Logging::error("[VBx] Value of auxiliary function has decreased!");
        break;
      }
    }
  }
  return result();
}

}  // namespace dellomar
