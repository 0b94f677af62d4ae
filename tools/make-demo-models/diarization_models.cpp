#include "tools/make-demo-models/diarization_models.hpp"

#include <algorithm>
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
constexpr double kBinSpacing = 10;     // Hz between spectrum bins: the resolution of a 0.1 s frame
constexpr double kCandidateStep = 5;   // Hz between candidate pitches
constexpr double kMinimumGapHz = 20;   // an inter-harmonic bin lies at least this far from a harmonic
constexpr std::int64_t kGapFrames = 2;  // half the longest gap a speaker's activity bridges
constexpr std::int64_t kDecimation = 2;  // samples summed before the spectrum (8 kHz suffices below 1.2 kHz)

using graph::feature;
using graph::node;
using graph::Weights;
using graph::writeModel;

Json weightNode(const std::string& output, std::vector<std::int64_t> shape, std::int64_t offset) {
  return {{"op", "constant"}, {"output", output}, {"dataType", "float32"}, {"shape", std::move(shape)},
          {"offset", offset}};
}

// A small float32 constant whose values stand in model.json itself.
Json valuesNode(const std::string& output, std::vector<std::int64_t> shape, std::vector<double> values) {
  return {{"op", "constant"}, {"output", output}, {"dataType", "float32"}, {"shape", std::move(shape)},
          {"values", std::move(values)}};
}

// The per-frame analysis shared by the segmenter and the pre-embedder.
//   basis    [800, 2K]: columns k and K + k are the Hann-windowed cosine and sine at spectrum
//            bin k (bins kBinSpacing apart, up to the last candidate's last harmonic); their
//            squares summed give the power of bin k, scaled so that a sine of amplitude A inside
//            a band gives a band energy (the sum of its bins' powers) of A^2 / 2.
//   bandSum  [K, 2]: sums the bin powers of the low band (column 0) and of the high band.
//   comb     [K, C]: the pitch score of candidate c (kLowestPitch, + kCandidateStep, ...,
//            kHighestPitch) from the bins' log powers: the mean log power at its first
//            kPitchHarmonics harmonics (harmonic h weighing 1/h, its log power interpolated
//            between the two nearest bins) minus the mean log power of the bins between its
//            harmonics. A multiple of the true pitch loses by the true pitch's harmonics between
//            its own; a fraction of it by its missing fundamental.
//   candidateBands [C, 2]: row c is (1, 0) for a candidate in the low band, (0, 1) in the high
//            band and (0, 0) between the bands.
struct PitchAnalysis {
  std::vector<float> basis;
  std::vector<float> bandSum;
  std::vector<float> comb;
  std::vector<float> candidateBands;
  std::int64_t bins = 0;        // K
  std::int64_t candidates = 0;  // C
};

PitchAnalysis pitchAnalysis() {
  std::vector<double> pitches;
  for (int j = 0; kLowestPitch + j * kCandidateStep <= kHighestPitch + 1e-9; ++j) {
    pitches.push_back(kLowestPitch + j * kCandidateStep);
  }
  const double firstBin = std::floor(kLowestPitch / 2 / kBinSpacing) * kBinSpacing;
  const double lastBin = std::ceil(kPitchHarmonics * kHighestPitch / kBinSpacing) * kBinSpacing;
  std::vector<double> bins;
  for (int b = 0; firstBin + b * kBinSpacing <= lastBin + 1e-9; ++b) bins.push_back(firstBin + b * kBinSpacing);
  const std::size_t k = bins.size();
  const std::size_t c = pitches.size();

  // The basis reads each frame's kFrameSamples / kDecimation sums of kDecimation neighbouring
  // samples (a low-pass filter whose first zero lies at the Nyquist frequency); sum m holds
  // samples kDecimation x m and after, centred (kDecimation - 1) / 2 samples later.
  const std::int64_t rows = kFrameSamples / kDecimation;
  std::vector<double> basis(static_cast<std::size_t>(rows) * 2 * k);
  for (std::int64_t m = 0; m < rows; ++m) {
    const double window = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(m) / static_cast<double>(rows));
    const double t = (static_cast<double>(kDecimation * m) + (kDecimation - 1) / 2.0) / kSampleRate;
    const std::size_t row = static_cast<std::size_t>(m) * 2 * k;
    for (std::size_t b = 0; b < k; ++b) {
      basis[row + b] = window * std::cos(2 * std::numbers::pi * bins[b] * t);
      basis[row + k + b] = window * std::sin(2 * std::numbers::pi * bins[b] * t);
    }
  }
  const auto inBand = [&](std::size_t b, int band) {
    return band == 0 ? bins[b] >= kLowBandLowest - 1e-9 && bins[b] <= kLowBandHighest + 1e-9
                     : bins[b] >= kHighBandLowest - 1e-9 && bins[b] <= kHighBandHighest + 1e-9;
  };
  // Calibrate on a unit sine at the low band's centre: its band energy must be 1/2, the mean
  // square of the sine.
  const double centre = (kLowBandLowest + kLowBandHighest) / 2;
  std::vector<double> sums(static_cast<std::size_t>(rows), 0.0);
  for (std::int64_t n = 0; n < kFrameSamples; ++n) {
    sums[static_cast<std::size_t>(n / kDecimation)] +=
        std::sin(2 * std::numbers::pi * centre * static_cast<double>(n) / kSampleRate);
  }
  double energy = 0;
  for (std::size_t b = 0; b < k; ++b) {
    if (!inBand(b, 0)) continue;
    double re = 0;
    double im = 0;
    for (std::int64_t m = 0; m < rows; ++m) {
      re += sums[static_cast<std::size_t>(m)] * basis[static_cast<std::size_t>(m) * 2 * k + b];
      im += sums[static_cast<std::size_t>(m)] * basis[static_cast<std::size_t>(m) * 2 * k + k + b];
    }
    energy += re * re + im * im;
  }
  const double scale = std::sqrt(0.5 / energy);

  PitchAnalysis out;
  out.bins = static_cast<std::int64_t>(k);
  out.candidates = static_cast<std::int64_t>(c);
  out.basis.reserve(basis.size());
  for (const double v : basis) out.basis.push_back(static_cast<float>(v * scale));
  out.bandSum.assign(k * 2, 0.0f);
  for (std::size_t b = 0; b < k; ++b) {
    for (int band = 0; band < 2; ++band) {
      if (inBand(b, band)) out.bandSum[b * 2 + static_cast<std::size_t>(band)] = 1.0f;
    }
  }
  std::vector<double> comb(k * c, 0.0);
  double harmonicWeights = 0;
  for (int h = 1; h <= kPitchHarmonics; ++h) harmonicWeights += 1.0 / h;
  for (std::size_t j = 0; j < c; ++j) {
    const double pitch = pitches[j];
    for (int h = 1; h <= kPitchHarmonics; ++h) {
      const double weight = 1.0 / h / harmonicWeights;
      const double position = (h * pitch - firstBin) / kBinSpacing;
      const auto below = std::min(static_cast<std::size_t>(std::floor(position)), k - 1);
      const double above = std::clamp(position - static_cast<double>(below), 0.0, 1.0);
      comb[below * c + j] += (1 - above) * weight;
      if (above > 0) comb[std::min(below + 1, k - 1) * c + j] += above * weight;
    }
    const double gap = std::max(kMinimumGapHz, pitch / 4);
    std::vector<std::size_t> between;
    for (std::size_t b = 0; b < k; ++b) {
      const double f = bins[b];
      if (f <= pitch / 2 || f >= kPitchHarmonics * pitch) continue;
      if (std::fabs(f - pitch * std::round(f / pitch)) >= gap) between.push_back(b);
    }
    for (const std::size_t b : between) comb[b * c + j] -= 1.0 / static_cast<double>(between.size());
  }
  out.comb.reserve(comb.size());
  for (const double v : comb) out.comb.push_back(static_cast<float>(v));
  out.candidateBands.assign(c * 2, 0.0f);
  for (std::size_t j = 0; j < c; ++j) {
    if (pitches[j] <= kLowBandHighest + 1e-9) out.candidateBands[j * 2] = 1.0f;
    if (pitches[j] >= kHighBandLowest - 1e-9) out.candidateBands[j * 2 + 1] = 1.0f;
  }
  return out;
}

// Nodes turning the chunk's `waveform` (480000 samples, any leading dimensions of 1) into
// "activity" [300, 2]: column s is 1 on a frame whose strongest candidate pitch lies in band s
// and whose energy in that band passes kBandEnergyThreshold, and on gaps of up to
// 2 x kGapFrames frames between such frames; else 0.
void addPitchActivityNodes(Json& nodes, Weights& weights, const PitchAnalysis& analysis, const std::string& waveform) {
  // The sums of neighbouring samples as one matrix product [300 x 800, 2] x [2, 1].
  Json pairs = node("reshape", {waveform}, "samplePairs");
  pairs["shape"] = {kChunkFrames * kFrameSamples / kDecimation, kDecimation};
  nodes.push_back(pairs);
  nodes.push_back(valuesNode("pairSum", {kDecimation, 1}, std::vector<double>(kDecimation, 1.0)));
  nodes.push_back(node("matmul", {"samplePairs", "pairSum"}, "sampleSums"));
  Json frames = node("reshape", {"sampleSums"}, "frames");
  frames["shape"] = {kChunkFrames, kFrameSamples / kDecimation};
  nodes.push_back(frames);
  nodes.push_back(weightNode("basis", {kFrameSamples / kDecimation, 2 * analysis.bins}, weights.add(analysis.basis)));
  nodes.push_back(node("matmul", {"frames", "basis"}, "projections"));
  nodes.push_back(node("square", {"projections"}, "squares"));
  Json cosines = node("slice", {"squares"}, "cosineSquares");
  cosines["axis"] = 1;
  cosines["end"] = analysis.bins;
  nodes.push_back(cosines);
  Json sines = node("slice", {"squares"}, "sineSquares");
  sines["axis"] = 1;
  sines["begin"] = analysis.bins;
  nodes.push_back(sines);
  nodes.push_back(node("add", {"cosineSquares", "sineSquares"}, "power"));

  nodes.push_back(weightNode("bandSum", {analysis.bins, 2}, weights.add(analysis.bandSum)));
  nodes.push_back(node("matmul", {"power", "bandSum"}, "bandEnergy"));
  Json logEnergy = node("log", {"bandEnergy"}, "logBandEnergy");
  logEnergy["epsilon"] = kLogEpsilon;
  nodes.push_back(logEnergy);
  Json voiced = node("greater", {"logBandEnergy"}, "voiced");
  voiced["value"] = std::log(kBandEnergyThreshold);
  nodes.push_back(voiced);

  Json logPower = node("log", {"power"}, "logPower");
  logPower["epsilon"] = kLogEpsilon;
  nodes.push_back(logPower);
  nodes.push_back(weightNode("comb", {analysis.bins, analysis.candidates}, weights.add(analysis.comb)));
  nodes.push_back(node("matmul", {"logPower", "comb"}, "pitchScores"));
  Json strongest = node("argmax", {"pitchScores"}, "strongestCandidate");
  strongest["axis"] = 1;
  nodes.push_back(strongest);
  nodes.push_back(weightNode("candidateBands", {analysis.candidates, 2}, weights.add(analysis.candidateBands)));
  Json band = node("gather", {"candidateBands", "strongestCandidate"}, "pitchBand");
  band["axis"] = 0;
  nodes.push_back(band);
  nodes.push_back(node("mul", {"pitchBand", "voiced"}, "pitchedActivity"));
  // Closing along the frames: a dilation by kGapFrames on either side, then an erosion by as
  // much, so a speaker stays active through gaps of up to 2 x kGapFrames frames (stops,
  // unvoiced sounds, short pauses) and nothing else changes.
  // Frames outside the chunk count as inactive when dilating and as no gap when eroding.
  const auto dilate = [&](const std::string& input, const std::string& output) {
    Json padded = node("pad", {input}, output + "Padded");
    padded["pads"] = Json::array({Json::array({kGapFrames, kGapFrames}), Json::array({0, 0})});
    nodes.push_back(padded);
    Json windows = node("frame", {output + "Padded"}, output + "Windows");
    windows["axis"] = 0;
    windows["size"] = 2 * kGapFrames + 1;
    windows["hop"] = 1;
    nodes.push_back(windows);
    Json widest = node("reduce_max", {output + "Windows"}, output);
    widest["axes"] = Json::array({1});
    nodes.push_back(widest);
  };
  nodes.push_back(valuesNode("one", {1}, {1}));
  dilate("pitchedActivity", "dilated");
  nodes.push_back(node("sub", {"one", "dilated"}, "dilatedGaps"));
  dilate("dilatedGaps", "remainingGaps");
  nodes.push_back(node("sub", {"one", "remainingGaps"}, "activity"));
}

void writeSegmenter(platform::fs::FileSystem& fileSystem, const fs::path& folder, const PitchAnalysis& analysis) {
  Weights weights;
  Json nodes = Json::array();
  addPitchActivityNodes(nodes, weights, analysis, "waveform");
  Json ids = node("frame", {"activity"}, "speaker_ids");
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

void writePreEmbedder(platform::fs::FileSystem& fileSystem, const fs::path& folder, const PitchAnalysis& analysis) {
  Weights weights;
  Json nodes = Json::array();
  addPitchActivityNodes(nodes, weights, analysis, "waveforms");
  Json out = node("reshape", {"activity"}, "preprocessor_output_1");
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
  nodes.push_back(valuesNode("epsilon", {1}, {1e-6}));
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
  const PitchAnalysis analysis = pitchAnalysis();
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
