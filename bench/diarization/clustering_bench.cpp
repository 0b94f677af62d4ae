// Clustering of one hour of speaker embeddings: centroid linkage, the flat cut at 0.6 and 20
// VBx iterations, separately and together.
//
// Input: the folder named by DELLOMAR_BENCH_DATA holding shape.txt ("N D P"), embeddings.f32
// (N x D float32) and plda.f32 (N x P float32), as clustering_vs_reference.py writes them;
// without it, synthetic data of the same size (3,600 x 256 from 10 speakers, 3,600 x 128).
// DELLOMAR_BENCH_LABELS, when set, names a file that receives the flat labels (one per line).
// The thread count of the distance fill is the benchmark argument.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <random>

#include "diarization/clustering_numerics.hpp"
#include "diarization/vbx.hpp"

namespace {

using dellomar::VectorList;

struct Data {
  VectorList embeddings;
  VectorList plda;
};

VectorList readRows(const std::string& file, std::size_t rows, std::size_t columns) {
  std::ifstream in(file, std::ios::binary);
  VectorList out(rows, std::vector<float>(columns));
  for (auto& row : out) in.read(reinterpret_cast<char*>(row.data()), static_cast<std::streamsize>(columns * sizeof(float)));
  if (!in) throw std::runtime_error("cannot read " + file);
  return out;
}

Data synthetic() {
  constexpr std::size_t n = 3600, d = 256, speakers = 10;
  std::mt19937 random(7);
  std::normal_distribution<float> normal;
  VectorList centres(speakers, std::vector<float>(d));
  for (auto& c : centres) {
    float norm = 0;
    for (float& v : c) {
      v = normal(random);
      norm += v * v;
    }
    for (float& v : c) v /= std::sqrt(norm);
  }
  Data data;
  for (std::size_t i = 0; i < n; ++i) {
    std::vector<float> e(d);
    float norm = 0;
    for (std::size_t k = 0; k < d; ++k) {
      e[k] = centres[i * speakers / n][k] + 0.02f * normal(random);
      norm += e[k] * e[k];
    }
    for (float& v : e) v /= std::sqrt(norm);
    data.embeddings.push_back(std::move(e));
    std::vector<float> p(dellomar::kPldaDimension);
    for (std::size_t k = 0; k < p.size(); ++k) p[k] = 3 * centres[i * speakers / n][k % d] * 10 + normal(random);
    data.plda.push_back(std::move(p));
  }
  return data;
}

const Data& data() {
  static const Data loaded = [] {
    const char* folder = std::getenv("DELLOMAR_BENCH_DATA");
    if (folder == nullptr) return synthetic();
    std::ifstream shape(std::string(folder) + "/shape.txt");
    std::size_t n = 0, d = 0, p = 0;
    shape >> n >> d >> p;
    return Data{readRows(std::string(folder) + "/embeddings.f32", n, d), readRows(std::string(folder) + "/plda.f32", n, p)};
  }();
  return loaded;
}

constexpr float kThreshold = 0.6f;

void BM_CentroidLinkage(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(dellomar::centroidLinkage(data().embeddings, static_cast<int>(state.range(0))));
}
BENCHMARK(BM_CentroidLinkage)->Arg(1)->Arg(3)->Arg(8)->Unit(benchmark::kMillisecond);

void BM_PairwiseDistances(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(dellomar::pairwiseDistances(data().embeddings, static_cast<int>(state.range(0))));
}
BENCHMARK(BM_PairwiseDistances)->Arg(1)->Arg(3)->Arg(8)->Unit(benchmark::kMillisecond);

void BM_FlatClusters(benchmark::State& state) {
  const VectorList linkage = dellomar::centroidLinkage(data().embeddings, 3);
  for (auto _ : state) benchmark::DoNotOptimize(dellomar::flatClusters(linkage, kThreshold));
}
BENCHMARK(BM_FlatClusters)->Unit(benchmark::kMillisecond);

void BM_VBx20(benchmark::State& state) {
  const std::vector<int> labels = dellomar::flatClusters(dellomar::centroidLinkage(data().embeddings, 3), kThreshold);
  for (auto _ : state) benchmark::DoNotOptimize(dellomar::vbx(labels, data().plda, 20, false, 0.07f, 0.8f, 7.0f));
}
BENCHMARK(BM_VBx20)->Unit(benchmark::kMillisecond);

void BM_LinkageCutAndVBx(benchmark::State& state) {
  std::vector<int> labels;
  for (auto _ : state) {
    labels = dellomar::flatClusters(dellomar::centroidLinkage(data().embeddings, static_cast<int>(state.range(0))),
                                    kThreshold);
    benchmark::DoNotOptimize(dellomar::vbx(labels, data().plda, 20, false, 0.07f, 0.8f, 7.0f));
  }
  if (const char* out = std::getenv("DELLOMAR_BENCH_LABELS")) {
    std::ofstream file(out);
    for (const int label : labels) file << label << '\n';
  }
}
BENCHMARK(BM_LinkageCutAndVBx)->Arg(1)->Arg(3)->Arg(8)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
