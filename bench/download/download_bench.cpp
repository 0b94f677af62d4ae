// Benchmarks of the resumable-download road: SHA-256 of a cached file (the digest proof and the
// offline verification read whole model files).
//
// BM_Sha256File hashes a file of NOXTAL_BENCH_SHA256_BYTES bytes (default 1 MiB, so that the CI
// smoke run stays tiny) made under the temporary folder and removed afterwards. Compare a full run
// (NOXTAL_BENCH_SHA256_BYTES=1073741824) with `sha256sum` on the same file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/crypto/sha256.hpp"

namespace {

std::uint64_t benchFileSize() {
  if (const char* text = std::getenv("NOXTAL_BENCH_SHA256_BYTES")) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end != text && *end == '\0' && value > 0) return value;
  }
  return 1 << 20;
}

// A file of `size` pseudo-random bytes, deleted on destruction.
class BenchFile {
 public:
  explicit BenchFile(std::uint64_t size)
      : path_(std::filesystem::temp_directory_path() / ("noxtal_sha256_bench_" + std::to_string(::getpid()))) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    std::vector<char> block(1 << 20);
    std::uint64_t x = 88172645463325252ull;
    for (auto& c : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      c = static_cast<char>(x);
    }
    for (std::uint64_t left = size; left > 0;) {
      const auto n = static_cast<std::streamsize>(std::min<std::uint64_t>(left, block.size()));
      out.write(block.data(), n);
      left -= static_cast<std::uint64_t>(n);
    }
  }
  ~BenchFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void BM_Sha256File(benchmark::State& state) {
  const std::uint64_t size = benchFileSize();
  BenchFile file(size);
  for (auto _ : state) {
    benchmark::DoNotOptimize(platform::crypto::sha256File(file.path()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(size) * state.iterations());
  state.counters["file_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_Sha256File)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Sha256Memory(benchmark::State& state) {
  const std::string data(static_cast<std::size_t>(state.range(0)), 'x');
  for (auto _ : state) benchmark::DoNotOptimize(platform::crypto::sha256Hex(data));
  state.SetBytesProcessed(state.range(0) * state.iterations());
}
BENCHMARK(BM_Sha256Memory)->Arg(64)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
