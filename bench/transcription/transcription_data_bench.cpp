// The per-request data steps of the worker: mixing two recordings of 60 s (with and without
// the peak scaling) and encoding a transcript of 60 s of speech as the reply's JSON.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "transcription/audio_merger.hpp"
#include "transcription/transcript_records.hpp"

namespace {

std::vector<float> tone(std::size_t n, float amplitude, float step) {
  std::vector<float> samples(n);
  for (std::size_t i = 0; i < n; ++i) samples[i] = amplitude * std::sin(step * float(i));
  return samples;
}

void BM_AudioMergerMerge60s(benchmark::State& state) {
  const float amplitude = state.range(0) ? 0.8f : 0.4f;  // 1: sums above 1, scaled
  const std::vector<float> mic = tone(60 * 16000, amplitude, 0.05f);
  const std::vector<float> system = tone(55 * 16000, amplitude, 0.031f);
  for (auto _ : state) {
    velmoria::MergeResult r = velmoria::AudioMerger::merge(mic, system);
    benchmark::DoNotOptimize(r.samples.data());
  }
  state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(mic.size() * sizeof(float)));
}
BENCHMARK(BM_AudioMergerMerge60s)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_EncodeTranscript60s(benchmark::State& state) {
  velmoria::TranscriptResult result;
  result.id = platform::sync::Uuid::random();
  result.createdAt = velmoria::Date::now();
  result.transcriptionMethodId = "v2";
  result.language = "en";
  result.speakerCount = 2;
  for (int s = 0; s < 20; ++s) {  // 20 segments of 3 s with 8 words each
    velmoria::TranscriptSegment segment;
    segment.id = platform::sync::Uuid::random();
    segment.speakerID = s % 2;
    segment.speakerLabel = s % 2 ? "Speaker 1" : "Speaker 0";
    segment.startTime = 3.0 * s;
    segment.endTime = 3.0 * s + 2.9;
    segment.text = " a few words spoken in this segment of speech";
    segment.confidence = -0.21f;
    segment.words = std::vector<velmoria::TranscriptWord>{};
    for (int w = 0; w < 8; ++w) segment.words->push_back({" word", 3.0 * s + 0.3 * w, 3.0 * s + 0.3 * w + 0.25, 0.87f, s % 2});
    result.segments.push_back(std::move(segment));
  }
  result.embeddingSets = {velmoria::SpeakerEmbeddingSet{
      velmoria::EmbeddingKind::raw, "pyannote-v3/W8A16", {{0, tone(256, 0.1f, 0.3f)}, {1, tone(256, 0.1f, 0.7f)}}}};
  result.speakerSpeechDurations = {{0, 29.0}, {1, 29.0}};
  result.processingDuration = 4.2;
  for (auto _ : state) {
    std::string text = velmoria::encodeText(result);
    benchmark::DoNotOptimize(text.data());
  }
}
BENCHMARK(BM_EncodeTranscript60s)->Unit(benchmark::kMicrosecond);

}  // namespace
BENCHMARK_MAIN();
