// Streams long 16 kHz recordings through the incremental loader (120 s reads, 2 buffered chunks,
// 480,000-sample chunks) with a consumer that releases each chunk when the next arrives, and
// reports the peak resident memory of the streaming alone. The memory must stay flat as the
// recording grows. The recordings are written once under /tmp/long_audio_bench/ and reused.
// The allocator keeps memory of an earlier run resident, so compare sizes in separate runs:
//   long_audio_bench --benchmark_filter='BM_IncrementalStream/30/'   (and /120/)
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/wav_writer.hpp"
#include "speech/audio/incremental_audio_loader.hpp"

namespace {

// kB of a "VmHWM:" / "VmRSS:" line of /proc/self/status.
long statusKiB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size()));
  }
  return -1;
}

// Resets the peak resident size to the current one (Linux clear_refs code 5).
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// A 16-bit PCM WAV of `minutes` of speech-like audio: 2.3 s tones with 0.4 s pauses.
std::string recording(int minutes) {
  const std::filesystem::path dir = "/tmp/long_audio_bench";
  std::filesystem::create_directories(dir);
  const auto path = dir / ("speech_" + std::to_string(minutes) + "min_16k.wav");
  const std::uint32_t frames = std::uint32_t(minutes) * 60u * 16000u;
  std::error_code ec;
  if (std::filesystem::file_size(path, ec) == 44u + std::uintmax_t{frames} * 2u) return path.string();
  testsupport::writeWav(path, 16000, 1, frames, [](int, std::int64_t i) {
    const bool pause = (i % 43'200) >= 36'800;
    return pause ? 0.0f : float(8000.0 / 32768.0 * std::sin(double(i % 16000) * 0.0785));
  });
  return path.string();
}

void BM_IncrementalStream(benchmark::State& state) {
  const int minutes = int(state.range(0));
  const std::string path = recording(minutes);
  double chunks = 0;
  double samples = 0;
  long baseline = 0;
  long peak = 0;
  for (auto _ : state) {
    malloc_trim(0);  // hand memory kept from earlier runs back, so runs do not see each other
    resetPeak();
    baseline = statusKiB("VmRSS:");
    auto stream = vostrane::loadAudioIncrementally(path, vostrane::ChannelMode::sumChannels(), 120.0, 2, 480'000);
    std::deque<vostrane::IncrementalFileChunk> held;
    while (auto chunk = stream->next()) {
      samples += double(chunk->audioChunk.audioSamples.size());
      ++chunks;
      held.push_back(std::move(*chunk));
      while (held.size() >= 2) {
        held.front().completionSignal();
        held.pop_front();
      }
    }
    held.clear();
    peak = statusKiB("VmHWM:");
  }
  state.counters["peak_rss_MiB"] = double(peak) / 1024.0;
  state.counters["rss_before_MiB"] = double(baseline) / 1024.0;
  state.counters["peak_growth_MiB"] = double(peak - baseline) / 1024.0;
  state.counters["chunks"] = chunks / double(state.iterations());
  state.counters["audio_s"] = samples / double(state.iterations()) / 16000.0;
}
BENCHMARK(BM_IncrementalStream)->Arg(30)->Arg(120)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
