#include "tools/make-demo-models/diarization_models.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <string>
#include <vector>

#include "diarization/vbx.hpp"
#include "platform/json/json.hpp"
#include "tools/make-demo-models/graph/graph_model.hpp"

namespace demomodels {

namespace {

namespace fs = std::filesystem;
using platform::json::Json;

constexpr int kSampleRate = 16000;
constexpr std::int64_t kChunkSamples = 480000;
constexpr std::int64_t kFrameSamples = 1600;  // 0.1 s
constexpr std::int64_t kChunkFrames = kChunkSamples / kFrameSamples;  // 300
constexpr std::int64_t kWindows = 21;
constexpr std::int64_t kWindowSamples = 160000;  // 10 s
constexpr std::int64_t kWindowHop = 16000;       // 1 s
constexpr std::int64_t kWindowFrames = kWindowSamples / kFrameSamples;  // 100
constexpr std::int64_t kWindowFrameHop = kWindowHop / kFrameSamples;    // 10
constexpr std::int64_t kSpeakers = 2;
constexpr std::int64_t kMaskRows = kWindows * kSpeakers;  // 42
constexpr std::int64_t kEmbeddingSize = 256;
constexpr double kAnalysisSpacing = 5;  // Hz between analysis frequencies

using graph::feature;
using graph::node;
using graph::Weights;
using graph::writeModel;

Json weightNode(const std::string& output, std::vector<std::int64_t> shape, std::int64_t offset) {
  return {{"op", "constant"}, {"output", output}, {"dataType", "float32"}, {"shape", std::move(shape)},
          {"offset", offset}};
}

std::vector<double> bandFrequencies(double lowest, double highest) {
  std::vector<double> out;
  for (double f = lowest; f <= highest + 1e-9; f += kAnalysisSpacing) out.push_back(f);
  return out;
}

// The per-frame band analysis shared by the segmenter and the pre-embedder: a [1600, 2M] matrix
// whose column pairs (2m, 2m + 1) are the Hann-windowed cosine and sine at analysis frequency m
// (low band first, then high band), and a [2M, 2] matrix summing the squared projections of each
// band. The scale makes a sine of amplitude A in a band give band energy A^2 / 2.
struct BandAnalysis {
  std::vector<float> basis;    // [1600, 2M], row-major
  std::vector<float> bandSum;  // [2M, 2], row-major
  std::int64_t columns = 0;    // 2M
};

BandAnalysis bandAnalysis() {
  const std::vector<double> low = bandFrequencies(kLowBandLowest, kLowBandHighest);
  const std::vector<double> high = bandFrequencies(kHighBandLowest, kHighBandHighest);
  std::vector<double> frequencies = low;
  frequencies.insert(frequencies.end(), high.begin(), high.end());
  const std::size_t m = frequencies.size();
  std::vector<double> window(kFrameSamples);
  for (std::int64_t n = 0; n < kFrameSamples; ++n) {
    window[static_cast<std::size_t>(n)] =
        0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(n) / static_cast<double>(kFrameSamples));
  }
  std::vector<double> basis(static_cast<std::size_t>(kFrameSamples) * 2 * m);
  for (std::int64_t n = 0; n < kFrameSamples; ++n) {
    for (std::size_t k = 0; k < m; ++k) {
      const double phase = 2 * std::numbers::pi * frequencies[k] * static_cast<double>(n) / kSampleRate;
      const std::size_t row = static_cast<std::size_t>(n) * 2 * m;
      basis[row + 2 * k] = window[static_cast<std::size_t>(n)] * std::cos(phase);
      basis[row + 2 * k + 1] = window[static_cast<std::size_t>(n)] * std::sin(phase);
    }
  }
  // Calibrate on a unit sine at the low band's centre: its summed squared projections must give
  // 1/2, the mean square of the sine.
  const double centre = (kLowBandLowest + kLowBandHighest) / 2;
  double energy = 0;
  for (std::size_t k = 0; k < low.size(); ++k) {
    double re = 0;
    double im = 0;
    for (std::int64_t n = 0; n < kFrameSamples; ++n) {
      const double x = std::sin(2 * std::numbers::pi * centre * static_cast<double>(n) / kSampleRate);
      re += x * basis[static_cast<std::size_t>(n) * 2 * m + 2 * k];
      im += x * basis[static_cast<std::size_t>(n) * 2 * m + 2 * k + 1];
    }
    energy += re * re + im * im;
  }
  const double scale = std::sqrt(0.5 / energy);
  BandAnalysis out;
  out.columns = static_cast<std::int64_t>(2 * m);
  out.basis.reserve(basis.size());
  for (const double b : basis) out.basis.push_back(static_cast<float>(b * scale));
  out.bandSum.assign(2 * m * 2, 0.0f);
  for (std::size_t k = 0; k < m; ++k) {
    const std::size_t band = k < low.size() ? 0 : 1;
    out.bandSum[(2 * k) * 2 + band] = 1.0f;
    out.bandSum[(2 * k + 1) * 2 + band] = 1.0f;
  }
  return out;
}

// Nodes turning `frames` [300, 1600] into "bandEnergy" [300, 2].
void addBandEnergyNodes(Json& nodes, Weights& weights, const BandAnalysis& analysis, const std::string& frames) {
  nodes.push_back(weightNode("basis", {kFrameSamples, analysis.columns}, weights.add(analysis.basis)));
  nodes.push_back(weightNode("bandSum", {analysis.columns, 2}, weights.add(analysis.bandSum)));
  nodes.push_back(node("matmul", {frames, "basis"}, "projections"));
  nodes.push_back(node("square", {"projections"}, "powers"));
  nodes.push_back(node("matmul", {"powers", "bandSum"}, "bandEnergy"));
}

void writeSegmenter(platform::fs::FileSystem& fileSystem, const fs::path& folder, const BandAnalysis& analysis) {
  Weights weights;
  Json nodes = Json::array();
  Json reshape = node("reshape", {"waveform"}, "frames");
  reshape["shape"] = {kChunkFrames, kFrameSamples};
  nodes.push_back(reshape);
  addBandEnergyNodes(nodes, weights, analysis, "frames");
  Json log = node("log", {"bandEnergy"}, "logEnergy");
  log["epsilon"] = kLogEpsilon;
  nodes.push_back(log);
  Json voiced = node("greater", {"logEnergy"}, "voiced");
  voiced["value"] = std::log(kBandEnergyThreshold);
  nodes.push_back(voiced);
  Json ids = node("frame", {"voiced"}, "speaker_ids");
  ids["axis"] = 0;
  ids["size"] = kWindowFrames;
  ids["hop"] = kWindowFrameHop;
  nodes.push_back(ids);
  Json activity = node("reduce_sum", {"speaker_ids"}, "speaker_activity");
  activity["axes"] = Json::array({1});
  nodes.push_back(activity);
  Json perFrame = node("reduce_sum", {"speaker_ids"}, "speakersPerFrame");
  perFrame["axes"] = Json::array({2});
  nodes.push_back(perFrame);
  Json overlapped = node("greater", {"speakersPerFrame"}, "overlapped_speaker_activity");
  overlapped["value"] = 1.5;
  nodes.push_back(overlapped);
  // The windows are only read for their shape; as in the W8A16 variant they carry 16-bit
  // activations, which halves the largest array a chunk's output holds.
  Json half = node("cast", {"waveform"}, "waveformHalf");
  half["dataType"] = "float16";
  nodes.push_back(half);
  Json windows = node("frame", {"waveformHalf"}, "windows");
  windows["axis"] = 0;
  windows["size"] = kWindowSamples;
  windows["hop"] = kWindowHop;
  nodes.push_back(windows);
  Json sliding = node("reshape", {"windows"}, "sliding_window_waveform");
  sliding["shape"] = {kWindows, 1, kWindowSamples};
  nodes.push_back(sliding);
  writeModel(fileSystem, folder, "SpeakerSegmenter", Json::array({feature("waveform", "float32", {kChunkSamples})}),
             Json::array({feature("sliding_window_waveform", "float16", {kWindows, 1, kWindowSamples}),
                          feature("speaker_ids", "float32", {kWindows, kWindowFrames, kSpeakers}),
                          feature("speaker_activity", "float32", {kWindows, kSpeakers}),
                          feature("overlapped_speaker_activity", "float32", {kWindows, kWindowFrames})}),
             std::move(nodes), &weights);
}

void writePreEmbedder(platform::fs::FileSystem& fileSystem, const fs::path& folder, const BandAnalysis& analysis) {
  Weights weights;
  Json nodes = Json::array();
  Json reshape = node("reshape", {"waveforms"}, "frames");
  reshape["shape"] = {kChunkFrames, kFrameSamples};
  nodes.push_back(reshape);
  addBandEnergyNodes(nodes, weights, analysis, "frames");
  Json total = node("reduce_sum", {"bandEnergy"}, "totalEnergy");
  total["axes"] = Json::array({1});
  total["keepDims"] = true;
  nodes.push_back(total);
  nodes.push_back({{"op", "constant"}, {"output", "epsilon"}, {"dataType", "float32"}, {"shape", Json::array({1})},
                   {"values", Json::array({kLogEpsilon})}});
  nodes.push_back(node("add", {"totalEnergy", "epsilon"}, "safeTotal"));
  nodes.push_back(node("div", {"bandEnergy", "safeTotal"}, "shares"));
  Json out = node("reshape", {"shares"}, "preprocessor_output_1");
  out["shape"] = {1, kChunkFrames, 2};
  nodes.push_back(out);
  writeModel(fileSystem, folder, "SpeakerEmbedderPreprocessor",
             Json::array({feature("waveforms", "float32", {1, kChunkSamples})}),
             Json::array({feature("preprocessor_output_1", "float32", {1, kChunkFrames, 2})}), std::move(nodes),
             &weights);
}

// Two orthonormal directions of the embedding space, from a fixed SplitMix64 sequence.
std::array<std::vector<double>, 2> voiceDirections() {
  std::uint64_t state = 0x6d656c6c6f64ULL;
  const auto next = [&state] {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) / 9007199254740992.0 - 0.5;
  };
  std::array<std::vector<double>, 2> directions;
  for (auto& d : directions) {
    d.resize(kEmbeddingSize);
    for (double& v : d) v = next();
  }
  const auto normalise = [](std::vector<double>& v) {
    double sum = 0;
    for (const double x : v) sum += x * x;
    const double norm = std::sqrt(sum);
    for (double& x : v) x /= norm;
  };
  normalise(directions[0]);
  double dot = 0;
  for (std::size_t i = 0; i < kEmbeddingSize; ++i) dot += directions[0][i] * directions[1][i];
  for (std::size_t i = 0; i < kEmbeddingSize; ++i) directions[1][i] -= dot * directions[0][i];
  normalise(directions[1]);
  return directions;
}

void writeEmbedder(platform::fs::FileSystem& fileSystem, const fs::path& folder,
                   const std::array<std::vector<double>, 2>& directions) {
  Weights weights;
  std::vector<float> map;  // [2, 256]
  for (const auto& d : directions) {
    for (const double v : d) map.push_back(static_cast<float>(v));
  }
  Json nodes = Json::array();
  Json cast = node("cast", {"speaker_masks"}, "masks");
  cast["dataType"] = "float32";
  nodes.push_back(cast);
  nodes.push_back(node("matmul", {"masks", "preprocessor_output_1"}, "weightedShares"));
  Json weight = node("reduce_sum", {"masks"}, "maskWeight");
  weight["axes"] = Json::array({2});
  weight["keepDims"] = true;
  nodes.push_back(weight);
  nodes.push_back({{"op", "constant"}, {"output", "epsilon"}, {"dataType", "float32"}, {"shape", Json::array({1})},
                   {"values", Json::array({1e-6})}});
  nodes.push_back(node("add", {"maskWeight", "epsilon"}, "safeWeight"));
  nodes.push_back(node("div", {"weightedShares", "safeWeight"}, "meanShares"));
  nodes.push_back(weightNode("voiceMap", {2, kEmbeddingSize}, weights.add(map)));
  nodes.push_back(node("matmul", {"meanShares", "voiceMap"}, "raw"));
  Json normalised = node("l2_normalize", {"raw"}, "speaker_embeddings");
  normalised["axis"] = -1;
  normalised["epsilon"] = 1e-12;
  nodes.push_back(normalised);
  writeModel(fileSystem, folder, "SpeakerEmbedder",
             Json::array({feature("preprocessor_output_1", "float32", {1, kChunkFrames, 2}),
                          feature("speaker_masks", "float16", {1, kMaskRows, kChunkFrames})}),
             Json::array({feature("speaker_embeddings", "float32", {1, kMaskRows, kEmbeddingSize})}), std::move(nodes),
             &weights);
}

void writePlda(platform::fs::FileSystem& fileSystem, const fs::path& folder,
               const std::array<std::vector<double>, 2>& directions) {
  const auto& phi = dellomar::pldaPhi();
  const double spread = std::sqrt(static_cast<double>(phi[0]));
  const double common = std::sqrt(static_cast<double>(phi[1]));
  // Column 0: sqrt(phi0) x (e . (d0 - d1)), +-sqrt(phi0) for a pure voice. Column 1:
  // sqrt(phi1) x (e . (d0 + d1) - 1), 0 for a pure voice, negative for a mixture. Others 0.
  std::vector<float> projection(static_cast<std::size_t>(kEmbeddingSize) * dellomar::kPldaDimension, 0.0f);
  for (std::size_t i = 0; i < kEmbeddingSize; ++i) {
    projection[i * dellomar::kPldaDimension + 0] = static_cast<float>(spread * (directions[0][i] - directions[1][i]));
    projection[i * dellomar::kPldaDimension + 1] = static_cast<float>(common * (directions[0][i] + directions[1][i]));
  }
  std::vector<float> bias(dellomar::kPldaDimension, 0.0f);
  bias[1] = static_cast<float>(-common);
  Weights weights;
  Json nodes = Json::array();
  nodes.push_back(
      weightNode("projection", {kEmbeddingSize, static_cast<std::int64_t>(dellomar::kPldaDimension)},
                 weights.add(projection)));
  nodes.push_back(weightNode("centre", {static_cast<std::int64_t>(dellomar::kPldaDimension)}, weights.add(bias)));
  nodes.push_back(node("matmul", {"embeddings", "projection"}, "projected"));
  nodes.push_back(node("add", {"projected", "centre"}, "plda_embeddings"));
  const auto columns = static_cast<std::int64_t>(dellomar::kPldaDimension);
  writeModel(fileSystem, folder, "PldaProjector",
             Json::array({feature("embeddings", "float32", {1, kMaskRows, kEmbeddingSize})}),
             Json::array({feature("plda_embeddings", "float32", {1, kMaskRows, columns})}), std::move(nodes),
             &weights);
}

}  // namespace

void writeDiarizationModels(platform::fs::FileSystem& fileSystem, const fs::path& root) {
  const BandAnalysis analysis = bandAnalysis();
  const auto directions = voiceDirections();
  const fs::path segmenterFolder = root / "speaker_segmenter" / "pyannote-v3" / kDemoVariant;
  const fs::path embedderFolder = root / "speaker_embedder" / "pyannote-v3" / kDemoVariant;
  const fs::path pldaFolder = root / "speaker_clusterer" / "pyannote-v4" / "W32A32";
  writeSegmenter(fileSystem, segmenterFolder, analysis);
  writePreEmbedder(fileSystem, embedderFolder, analysis);
  writeEmbedder(fileSystem, embedderFolder, directions);
  writePlda(fileSystem, pldaFolder, directions);
}

}  // namespace demomodels
