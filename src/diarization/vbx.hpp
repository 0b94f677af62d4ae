// VBx: variational-Bayes refinement of a hard clustering of speaker embeddings into soft
// responsibilities (gamma, frames x speakers) and speaker priors (pi), over a PLDA model with a
// diagonal across-class covariance and no transitions between frames.
//
// The features are PLDA-projected embeddings of exactly 128 values; the clustering step starts
// from the flat labels of the agglomerative clustering and reads pi to count the speakers that
// remain. Pure function over single-precision arrays; thread-safe.
#pragma once

#include <array>
#include <span>
#include <vector>

#include "diarization/clustering_numerics.hpp"

namespace dellomar {

inline constexpr std::size_t kPldaDimension = 128;

// Diagonal of the across-class covariance of the library's PLDA projection: 128 positive,
// strictly decreasing values.
const std::array<float, kPldaDimension>& pldaPhi();

struct VBxResult {
  VectorList gamma;  // frames x speakers, each row a distribution
  Vector pi;         // speaker priors
};

// Refines `labels` (one per feature row, clusters numbered from 0; S = largest label + 1) over
// `features` (rows of 128 values); a negative label leaves its row unlabelled (uniform start).
// Two empty arrays when the features are empty, any row does not hold exactly 128 values, the
// counts differ, no label is 0 or more, `phi` does not hold 128 values, or any feature is not
// finite. maxIterations below 0 counts as 0 (the smoothed start is returned). With
// warnOnDecrease an objective that decreases logs "[VBx] Value of auxiliary function has
// decreased!" at error level.
VBxResult vbx(std::span<const int> labels, const VectorList& features, int maxIterations, bool warnOnDecrease,
              float fa, float fb, float initSmoothing, std::span<const float> phi = pldaPhi());

// The per-frame, per-speaker log-likelihoods: L[t][s] = fa * ((rho . alpha^T)[t][s] - 0.5 q[s] +
// g[t]), q[s] = sum_d (invL[s][d] + alpha[s][d]^2) phi[d]. rho is T x 128, invL and alpha are
// S x 128 (flat, row-major), g has T entries.
FlatMatrix vbxFrameLogLikelihoods(const FlatMatrix& rho, const FlatMatrix& invL, const FlatMatrix& alpha,
                                  std::span<const float> g, std::span<const float> phi, float fa);

}  // namespace dellomar
