// Plain double-precision versions of the clustering numerics, written straight from their
// definitions (full rescans, explicit centroids, no heap), for comparing the fast routines with.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace dellomar::reference {

using Rows = std::vector<std::vector<double>>;

inline double squaredDistance(const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
  return sum;
}

inline Rows toDouble(const std::vector<std::vector<float>>& rows) {
  Rows out;
  for (const auto& row : rows) out.emplace_back(row.begin(), row.end());
  return out;
}

// Centroid linkage by brute force: every step merges the pair of live clusters whose centroids
// are closest (ties to the smallest ids), keeping explicit centroids.
struct LinkageRow {
  std::size_t a, b;
  double distance;
  std::size_t size;
};
inline std::vector<LinkageRow> centroidLinkage(const Rows& points) {
  struct Cluster {
    std::size_t id;
    std::vector<double> centroid;
    std::size_t size;
  };
  std::vector<Cluster> live;
  for (std::size_t i = 0; i < points.size(); ++i) live.push_back({i, points[i], 1});
  std::vector<LinkageRow> rows;
  std::size_t next = points.size();
  while (live.size() > 1) {
    std::size_t bi = 0, bj = 1;
    double best = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < live.size(); ++i) {
      for (std::size_t j = i + 1; j < live.size(); ++j) {
        const double d = squaredDistance(live[i].centroid, live[j].centroid);
        if (d < best) {
          best = d;
          bi = i;
          bj = j;
        }
      }
    }
    Cluster& x = live[bi];
    Cluster& y = live[bj];
    Cluster merged{next++, std::vector<double>(x.centroid.size()), x.size + y.size};
    for (std::size_t d = 0; d < merged.centroid.size(); ++d) {
      merged.centroid[d] = (x.centroid[d] * double(x.size) + y.centroid[d] * double(y.size)) / double(merged.size);
    }
    rows.push_back({std::min(x.id, y.id), std::max(x.id, y.id), std::sqrt(best), merged.size});
    live.erase(live.begin() + static_cast<std::ptrdiff_t>(bj));
    live.erase(live.begin() + static_cast<std::ptrdiff_t>(bi));
    live.push_back(std::move(merged));
  }
  return rows;
}

// Flat cut by member sets: merge rows in order until the first above the threshold, then label
// the inputs by the order in which their sets first appear.
inline std::vector<int> flatClusters(const std::vector<LinkageRow>& rows, std::size_t n, double threshold) {
  std::vector<std::vector<std::size_t>> members(2 * n);
  std::vector<bool> alive(2 * n, false);
  for (std::size_t i = 0; i < n; ++i) {
    members[i] = {i};
    alive[i] = true;
  }
  for (std::size_t k = 0; k < rows.size(); ++k) {
    if (rows[k].distance > threshold) break;
    auto& m = members[n + k];
    m = members[rows[k].a];
    m.insert(m.end(), members[rows[k].b].begin(), members[rows[k].b].end());
    alive[rows[k].a] = alive[rows[k].b] = false;
    alive[n + k] = true;
  }
  std::vector<int> owner(n, -1);
  for (std::size_t c = 0; c < 2 * n; ++c) {
    if (!alive[c]) continue;
    for (std::size_t i : members[c]) owner[i] = static_cast<int>(c);
  }
  std::vector<int> labels(n);
  std::vector<int> seen;
  for (std::size_t i = 0; i < n; ++i) {
    auto it = std::find(seen.begin(), seen.end(), owner[i]);
    if (it == seen.end()) {
      seen.push_back(owner[i]);
      labels[i] = static_cast<int>(seen.size() - 1);
    } else {
      labels[i] = static_cast<int>(it - seen.begin());
    }
  }
  return labels;
}

inline double cosineDistance(const std::vector<double>& a, const std::vector<double>& b) {
  double dot = 0, na = 0, nb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    dot += a[i] * b[i];
    na += a[i] * a[i];
    nb += b[i] * b[i];
  }
  if (na <= 0 || nb <= 0) return 1;
  return std::clamp(1 - dot / std::sqrt(na * nb), 0.0, 2.0);
}

// VBx in double precision, step for step.
struct VBx {
  Rows gamma;
  std::vector<double> pi;
};
inline VBx vbx(const std::vector<int>& labels, const Rows& x, int maxIterations, double fa, double fb,
               double smoothing, const std::vector<double>& phi) {
  const std::size_t t = x.size(), d = phi.size();
  int largest = 0;
  for (int l : labels) largest = std::max(largest, l);
  const std::size_t s = static_cast<std::size_t>(largest) + 1;
  VBx out;
  out.gamma.assign(t, std::vector<double>(s, 0.0));
  for (std::size_t i = 0; i < t; ++i) out.gamma[i][static_cast<std::size_t>(labels[i])] = 1;
  if (smoothing >= 0) {
    for (auto& row : out.gamma) {
      double m = -1e300, sum = 0;
      for (double v : row) m = std::max(m, v * smoothing);
      for (double& v : row) sum += (v = std::exp(v * smoothing - m));
      for (double& v : row) v /= sum;
    }
  }
  out.pi.assign(s, 1.0 / double(s));
  std::vector<double> g(t);
  Rows rho(t, std::vector<double>(d));
  for (std::size_t i = 0; i < t; ++i) {
    double sq = 0;
    for (std::size_t k = 0; k < d; ++k) {
      sq += x[i][k] * x[i][k];
      rho[i][k] = x[i][k] * std::sqrt(phi[k]);
    }
    g[i] = -0.5 * (sq + double(d) * std::log(2 * M_PI));
  }
  double previous = 0;
  for (int it = 0; it < maxIterations; ++it) {
    const double r = fa / fb;
    Rows invL(s, std::vector<double>(d)), alpha(s, std::vector<double>(d, 0.0));
    for (std::size_t c = 0; c < s; ++c) {
      double n = 0;
      for (std::size_t i = 0; i < t; ++i) n += out.gamma[i][c];
      for (std::size_t k = 0; k < d; ++k) {
        invL[c][k] = 1 / (phi[k] * n * r + 1);
        double p = 0;
        for (std::size_t i = 0; i < t; ++i) p += out.gamma[i][c] * rho[i][k];
        alpha[c][k] = invL[c][k] * r * p;
      }
    }
    double evidence = 0;
    Rows next(t, std::vector<double>(s));
    for (std::size_t i = 0; i < t; ++i) {
      std::vector<double> a(s);
      double m = -1e300;
      for (std::size_t c = 0; c < s; ++c) {
        double dotp = 0, q = 0;
        for (std::size_t k = 0; k < d; ++k) {
          dotp += rho[i][k] * alpha[c][k];
          q += (invL[c][k] + alpha[c][k] * alpha[c][k]) * phi[k];
        }
        a[c] = fa * (dotp - 0.5 * q + g[i]) + std::log(out.pi[c] + 1e-8);
        m = std::max(m, a[c]);
      }
      double sum = 0;
      for (double v : a) sum += std::exp(v - m);
      const double lpx = std::log(sum) + m;
      evidence += lpx;
      for (std::size_t c = 0; c < s; ++c) next[i][c] = std::exp(a[c] - lpx);
    }
    out.gamma = next;
    double total = 0;
    for (std::size_t c = 0; c < s; ++c) {
      out.pi[c] = 0;
      for (std::size_t i = 0; i < t; ++i) out.pi[c] += out.gamma[i][c];
      total += out.pi[c];
    }
    for (double& p : out.pi) p /= total;
    double reg = 0;
    for (std::size_t c = 0; c < s; ++c) {
      for (std::size_t k = 0; k < d; ++k) reg += std::log(invL[c][k]) - invL[c][k] - alpha[c][k] * alpha[c][k] + 1;
    }
    const double elbo = evidence + fb * 0.5 * reg;
    if (it > 0 && elbo - previous < 1e-4) break;
    previous = elbo;
  }
  return out;
}

// Points around `centres` well-separated speakers, deterministic for a seed.
inline std::vector<std::vector<float>> gaussianClusters(std::size_t n, std::size_t dimension, std::size_t centres,
                                                        float spread, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<std::vector<float>> centre(centres, std::vector<float>(dimension));
  for (auto& c : centre) {
    for (float& v : c) v = normal(random) * 3.0f;
  }
  std::vector<std::vector<float>> points(n, std::vector<float>(dimension));
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t k = 0; k < dimension; ++k) points[i][k] = centre[i % centres][k] + spread * normal(random);
  }
  return points;
}

}  // namespace dellomar::reference
