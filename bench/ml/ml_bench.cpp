// Benchmarks of the model runtime's hot kernels: half-precision conversions (beside a plain
// memory copy of the same bytes), the decoder's last-dimension fill, and a graph matrix product.
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "core/ml_helpers.hpp"
#include "platform/json/json.hpp"
#include "platform/ml/float16.hpp"
#include "platform/ml/model.hpp"

namespace {

using platform::ml::Float16;

constexpr std::size_t kElements = 1 << 20;

std::vector<float> randomFloats(std::size_t count) {
  std::mt19937 random(1);
  std::uniform_real_distribution<float> uniform(-100, 100);
  std::vector<float> values(count);
  for (float& v : values) v = uniform(random);
  return values;
}

// Bytes moved = bytes read + bytes written, for every benchmark of this group.
void BM_Memcpy(benchmark::State& state) {
  const std::vector<float> source = randomFloats(kElements);
  std::vector<float> destination(kElements);
  for (auto _ : state) {
    std::memcpy(destination.data(), source.data(), kElements * sizeof(float));
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kElements * 8));
}
BENCHMARK(BM_Memcpy);

void BM_Float16ToFloat32(benchmark::State& state) {
  const std::vector<float> floats = randomFloats(kElements);
  std::vector<Float16> halves(kElements);
  platform::ml::convertFloat32ToFloat16(floats, halves);
  std::vector<float> destination(kElements);
  for (auto _ : state) {
    platform::ml::convertFloat16ToFloat32(halves, destination);
    benchmark::DoNotOptimize(destination.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kElements * 6));
}
BENCHMARK(BM_Float16ToFloat32);

void BM_Float32ToFloat16(benchmark::State& state) {
  const std::vector<float> floats = randomFloats(kElements);
  std::vector<Float16> halves(kElements);
  for (auto _ : state) {
    platform::ml::convertFloat32ToFloat16(floats, halves);
    benchmark::DoNotOptimize(halves.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kElements * 6));
}
BENCHMARK(BM_Float32ToFloat16);

void BM_FillLastDimension(benchmark::State& state) {
  platform::ml::MultiArray array({1, 1, 51866}, platform::ml::DataType::float32);
  float value = 0;
  for (auto _ : state) {
    noxtal::fillLastDimension(array, 0, 51866, value);
    value += 1;
    benchmark::DoNotOptimize(array.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 51866);
}
BENCHMARK(BM_FillLastDimension);

// A graph model with one matmul node over two 256 x 256 inputs, run through Model::predict.
void BM_GraphMatmul(benchmark::State& state) {
  constexpr std::int64_t n = 256;
  const auto folder =
      std::filesystem::temp_directory_path() / ("ml-bench-" + std::to_string(::getpid())) / "Matmul.mlmodelc";
  std::filesystem::create_directories(folder);
  const platform::json::Json feature = {{"name", "a"}, {"dataType", "float32"}, {"shape", {n, n}}};
  platform::json::Json b = feature;
  b["name"] = "b";
  platform::json::Json c = feature;
  c["name"] = "c";
  const platform::json::Json model = {
      {"formatVersion", 1},
      {"inputs", {feature, b}},
      {"outputs", {c}},
      {"graph", {{"nodes", {{{"op", "matmul"}, {"inputs", {"a", "b"}}, {"output", "c"}}}}}}};
  std::ofstream(folder / "model.json") << platform::json::dump(model);
  const auto loaded = platform::ml::Model::load(folder);
  std::filesystem::remove_all(folder.parent_path());

  const std::vector<float> values = randomFloats(static_cast<std::size_t>(n * n));
  platform::ml::DictionaryFeatureProvider input;
  input.set("a", platform::ml::MultiArray::fromValues<float>({n, n}, values));
  input.set("b", platform::ml::MultiArray::fromValues<float>({n, n}, values));
  for (auto _ : state) {
    auto output = loaded->predict(input);
    benchmark::DoNotOptimize(output);
  }
  state.counters["GFLOP/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * 2.0 * n * n * n / 1e9, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_GraphMatmul)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
