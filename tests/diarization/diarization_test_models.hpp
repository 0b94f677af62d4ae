// Small scripted diarization models for the tests: program models registered under
// "dellomar_test.*" and written as model folders ("<Name>.mlmodelc/model.json") with the
// feature names, element types and shapes of the real models.
//
//   segmenter  "waveform" [N] -> "sliding_window_waveform" [K, 1, W], "speaker_ids" [K, F, S],
//              "speaker_activity" [K, S], "overlapped_speaker_activity" [K, F]. Speaker 0 is
//              active on a frame whose first sample exceeds 0.1, speaker 1 where it exceeds 0.6
//              (both: overlap). A waveform starting with the value `failMarker` fails.
//   pre-embedder "waveforms" [1, N] -> "preprocessor_output_1" [1, 1] (the waveform's sum).
//   embedder   "preprocessor_output_1" + float16 "speaker_masks" [1, V, Fc] ->
//              "speaker_embeddings" [1, rows, 4], row r = (mask row sum, r, first non-zero
//              column or -1, the feature); the last masks are kept in embedderLog().
//   PLDA       "embeddings" [1, -1, 4] -> "plda_embeddings" [1, rows, columns], row r = `scale`
//              (2 by default) x embedding row r padded with zeros.
//
// The "voice" set tells two speakers apart by the signal level, for pipeline tests:
//   segmenter  "dellomar_test.voice_segmenter": on a frame whose first sample v is in (0.1, 0.5]
//              speaker slot 0 is active, above 0.5 slot 1, above 0.9 both (overlap).
//   pre-embedder "dellomar_test.frame_levels": "preprocessor_output_1" [1, P], the first sample
//              of each of P equal frames of the waveform.
//   embedder   "dellomar_test.voice_embedder": per mask row the masked mean level m; voice B
//              ([0.05, 1, 0, 0]) for m > 0.5, voice A ([1, 0.05, 0, 0]) otherwise, zeros for an
//              empty mask; a level of exactly 0.77 gives NaN values (a broken window). With
//              "widths" [w0, w1, ...] prediction n gives rows of width w(n mod count), zero
//              padded (a malformed model whose output width changes between chunks).
//   writeVoiceRepository() writes the whole repository layout (variant W8A16).
#pragma once

#include <atomic>
#include <cmath>
#include <limits>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/json/json.hpp"
#include "platform/ml/ml_error.hpp"
#include "platform/ml/model_program.hpp"

namespace dellomar::testmodels {

using platform::json::Json;
using platform::ml::DataType;
using platform::ml::DictionaryFeatureProvider;
using platform::ml::MultiArray;

struct EmbedderLog {
  std::mutex mutex;
  std::optional<MultiArray> lastMasks;
  std::atomic<int> predictions{0};
};
inline EmbedderLog& embedderLog() {
  static EmbedderLog log;
  return log;
}
inline std::atomic<int>& segmenterPredictions() {
  static std::atomic<int> count{0};
  return count;
}

class SegmenterProgram final : public platform::ml::ModelProgram {
 public:
  explicit SegmenterProgram(const Json& p)
      : k_(p.at("K").get<std::int64_t>()),
        w_(p.at("W").get<std::int64_t>()),
        f_(p.at("F").get<std::int64_t>()),
        s_(p.at("S").get<std::int64_t>()),
        failMarker_(p.value("failMarker", -1000.0)) {}

  DictionaryFeatureProvider predict(const DictionaryFeatureProvider& inputs, platform::ml::State*,
                                    std::stop_token) const override {
    ++segmenterPredictions();
    const MultiArray waveform = *inputs.multiArray("waveform");
    const auto samples = waveform.span<float>();
    if (!samples.empty() && samples[0] == static_cast<float>(failMarker_)) {
      throw platform::ml::PredictionError("scripted segmenter failure");
    }
    const std::int64_t n = waveform.count();
    const std::int64_t hop = k_ > 1 ? (n - w_) / (k_ - 1) : 0;
    const std::int64_t frameHop = f_ > 0 ? w_ / f_ : 0;
    MultiArray sliding({k_, 1, w_}, DataType::float32);
    MultiArray ids({k_, f_, s_}, DataType::float32);
    MultiArray activity({k_, s_}, DataType::float32);
    MultiArray overlapped({k_, f_}, DataType::float32);
    for (std::int64_t w = 0; w < k_; ++w) {
      for (std::int64_t f = 0; f < f_; ++f) {
        const std::int64_t at = std::min(hop * w + frameHop * f, n - 1);
        const float value = samples[static_cast<std::size_t>(at)];
        int active = 0;
        for (std::int64_t s = 0; s < s_; ++s) {
          const bool on = (s == 0 && value > 0.1f) || (s == 1 && value > 0.6f);
          ids.setFloat((w * f_ + f) * s_ + s, on ? 1.0f : 0.0f);
          if (on) {
            ++active;
            activity.setFloat(w * s_ + s, activity.floatAt(w * s_ + s) + 1);
          }
        }
        overlapped.setFloat(w * f_ + f, active > 1 ? 1.0f : 0.0f);
      }
    }
    DictionaryFeatureProvider out;
    out.set("sliding_window_waveform", sliding);
    out.set("speaker_ids", ids);
    out.set("speaker_activity", activity);
    out.set("overlapped_speaker_activity", overlapped);
    return out;
  }

 private:
  std::int64_t k_, w_, f_, s_;
  double failMarker_;
};

class PreEmbedderProgram final : public platform::ml::ModelProgram {
 public:
  DictionaryFeatureProvider predict(const DictionaryFeatureProvider& inputs, platform::ml::State*,
                                    std::stop_token) const override {
    float sum = 0;
    for (const float v : inputs.multiArray("waveforms")->span<float>()) sum += v;
    DictionaryFeatureProvider out;
    const float values[] = {sum};
    out.set("preprocessor_output_1", MultiArray::fromValues<float>({1, 1}, values));
    return out;
  }
};

class EmbedderProgram final : public platform::ml::ModelProgram {
 public:
  explicit EmbedderProgram(const Json& p) : rows_(p.value("rows", std::int64_t{-1})), produce_(p.value("produce", true)) {}

  DictionaryFeatureProvider predict(const DictionaryFeatureProvider& inputs, platform::ml::State*,
                                    std::stop_token) const override {
    ++embedderLog().predictions;
    const MultiArray masks = *inputs.multiArray("speaker_masks");
    const float feature = inputs.multiArray("preprocessor_output_1")->floatAt(0);
    {
      const std::lock_guard lock(embedderLog().mutex);
      embedderLog().lastMasks = masks.copy();
    }
    DictionaryFeatureProvider out;
    if (!produce_) return out;
    const std::int64_t v = masks.shape()[1];
    const std::int64_t fc = masks.shape()[2];
    const std::int64_t rows = rows_ >= 0 ? rows_ : v;
    MultiArray embeddings({1, rows, 4}, DataType::float32);
    for (std::int64_t r = 0; r < rows && r < v; ++r) {
      float sum = 0;
      float first = -1;
      for (std::int64_t c = 0; c < fc; ++c) {
        const float m = masks.floatAt(r * fc + c);
        sum += m;
        if (m != 0 && first < 0) first = static_cast<float>(c);
      }
      embeddings.setFloat(r * 4 + 0, sum);
      embeddings.setFloat(r * 4 + 1, static_cast<float>(r));
      embeddings.setFloat(r * 4 + 2, first);
      embeddings.setFloat(r * 4 + 3, feature);
    }
    out.set("speaker_embeddings", embeddings);
    return out;
  }

 private:
  std::int64_t rows_;
  bool produce_;
};

class PldaProgram final : public platform::ml::ModelProgram {
 public:
  explicit PldaProgram(const Json& p)
      : columns_(p.value("columns", std::int64_t{128})), scale_(p.value("scale", 2.0f)) {}

  DictionaryFeatureProvider predict(const DictionaryFeatureProvider& inputs, platform::ml::State*,
                                    std::stop_token) const override {
    const MultiArray embeddings = *inputs.multiArray("embeddings");
    const std::int64_t rows = embeddings.shape()[1];
    const std::int64_t d = embeddings.shape()[2];
    MultiArray projected({1, rows, columns_}, DataType::float32);
    for (std::int64_t r = 0; r < rows; ++r) {
      for (std::int64_t c = 0; c < d && c < columns_; ++c) projected.setFloat(r * columns_ + c, scale_ * embeddings.floatAt(r * d + c));
    }
    DictionaryFeatureProvider out;
    out.set("plda_embeddings", projected);
    return out;
  }

 private:
  std::int64_t columns_;
  float scale_;
};

class VoiceSegmenterProgram final : public platform::ml::ModelProgram {
 public:
  explicit VoiceSegmenterProgram(const Json& p)
      : k_(p.at("K").get<std::int64_t>()),
        w_(p.at("W").get<std::int64_t>()),
        f_(p.at("F").get<std::int64_t>()),
        failMarker_(p.value("failMarker", -1000.0)) {}

  DictionaryFeatureProvider predict(const DictionaryFeatureProvider& inputs, platform::ml::State*,
                                    std::stop_token) const override {
    ++segmenterPredictions();
    const MultiArray waveform = *inputs.multiArray("waveform");
    const auto samples = waveform.span<float>();
    if (!samples.empty() && samples[0] == static_cast<float>(failMarker_)) {
      throw platform::ml::PredictionError("scripted segmenter failure");
    }
    const std::int64_t n = waveform.count();
    const std::int64_t hop = k_ > 1 ? (n - w_) / (k_ - 1) : 0;
    const std::int64_t frameHop = w_ / f_;
    MultiArray sliding({k_, 1, w_}, DataType::float32);
    MultiArray ids({k_, f_, 2}, DataType::float32);
    MultiArray activity({k_, 2}, DataType::float32);
    MultiArray overlapped({k_, f_}, DataType::float32);
    for (std::int64_t w = 0; w < k_; ++w) {
      for (std::int64_t f = 0; f < f_; ++f) {
        const float v = samples[static_cast<std::size_t>(std::min(hop * w + frameHop * f, n - 1))];
        const bool a = (v > 0.1f && v <= 0.5f) || v > 0.9f;
        const bool b = v > 0.5f;
        ids.setFloat((w * f_ + f) * 2 + 0, a ? 1.0f : 0.0f);
        ids.setFloat((w * f_ + f) * 2 + 1, b ? 1.0f : 0.0f);
        if (a) activity.setFloat(w * 2, activity.floatAt(w * 2) + 1);
        if (b) activity.setFloat(w * 2 + 1, activity.floatAt(w * 2 + 1) + 1);
        overlapped.setFloat(w * f_ + f, a && b ? 1.0f : 0.0f);
      }
    }
    DictionaryFeatureProvider out;
    out.set("sliding_window_waveform", sliding);
    out.set("speaker_ids", ids);
    out.set("speaker_activity", activity);
    out.set("overlapped_speaker_activity", overlapped);
    return out;
  }

 private:
  std::int64_t k_, w_, f_;
  double failMarker_;
};

class FrameLevelProgram final : public platform::ml::ModelProgram {
 public:
  explicit FrameLevelProgram(const Json& p) : frames_(p.at("P").get<std::int64_t>()) {}
  DictionaryFeatureProvider predict(const DictionaryFeatureProvider& inputs, platform::ml::State*,
                                    std::stop_token) const override {
    const auto samples = inputs.multiArray("waveforms")->span<float>();
    const auto n = static_cast<std::int64_t>(samples.size());
    MultiArray levels({1, frames_}, DataType::float32);
    for (std::int64_t p = 0; p < frames_; ++p) levels.setFloat(p, samples[static_cast<std::size_t>(p * n / frames_)]);
    DictionaryFeatureProvider out;
    out.set("preprocessor_output_1", levels);
    return out;
  }

 private:
  std::int64_t frames_;
};

class VoiceEmbedderProgram final : public platform::ml::ModelProgram {
 public:
  explicit VoiceEmbedderProgram(const Json& p)
      : widths_(p.value("widths", std::vector<std::int64_t>{4})) {}

  DictionaryFeatureProvider predict(const DictionaryFeatureProvider& inputs, platform::ml::State*,
                                    std::stop_token) const override {
    ++embedderLog().predictions;
    const MultiArray masks = *inputs.multiArray("speaker_masks");
    const MultiArray levels = *inputs.multiArray("preprocessor_output_1");
    const std::int64_t v = masks.shape()[1];
    const std::int64_t fc = masks.shape()[2];
    const std::int64_t d = widths_[calls_++ % widths_.size()];
    MultiArray embeddings({1, v, d}, DataType::float32);
    for (std::int64_t r = 0; r < v; ++r) {
      float weight = 0;
      float level = 0;
      for (std::int64_t c = 0; c < fc && c < levels.count(); ++c) {
        const float m = masks.floatAt(r * fc + c);
        weight += m;
        level += m * levels.floatAt(c);
      }
      if (weight == 0) continue;
      level /= weight;
      const bool broken = std::fabs(level - 0.77f) < 1e-4f;
      const float nan = std::numeric_limits<float>::quiet_NaN();
      const bool voiceB = level > 0.5f;
      embeddings.setFloat(r * d + 0, broken ? nan : (voiceB ? 0.05f : 1.0f));
      embeddings.setFloat(r * d + 1, broken ? nan : (voiceB ? 1.0f : 0.05f));
    }
    DictionaryFeatureProvider out;
    out.set("speaker_embeddings", embeddings);
    return out;
  }

 private:
  std::vector<std::int64_t> widths_;
  mutable std::atomic<std::size_t> calls_{0};
};

inline void registerPrograms() {
  auto& registry = platform::ml::ModelProgramRegistry::shared();
  registry.add("dellomar_test.segmenter", [](const Json& p, const platform::ml::ModelDescription&) {
    return std::make_shared<const SegmenterProgram>(p);
  });
  registry.add("dellomar_test.preembedder", [](const Json&, const platform::ml::ModelDescription&) {
    return std::make_shared<const PreEmbedderProgram>();
  });
  registry.add("dellomar_test.embedder", [](const Json& p, const platform::ml::ModelDescription&) {
    return std::make_shared<const EmbedderProgram>(p);
  });
  registry.add("dellomar_test.plda", [](const Json& p, const platform::ml::ModelDescription&) {
    return std::make_shared<const PldaProgram>(p);
  });
  registry.add("dellomar_test.voice_segmenter", [](const Json& p, const platform::ml::ModelDescription&) {
    return std::make_shared<const VoiceSegmenterProgram>(p);
  });
  registry.add("dellomar_test.frame_levels", [](const Json& p, const platform::ml::ModelDescription&) {
    return std::make_shared<const FrameLevelProgram>(p);
  });
  registry.add("dellomar_test.voice_embedder", [](const Json& p, const platform::ml::ModelDescription&) {
    return std::make_shared<const VoiceEmbedderProgram>(p);
  });
}

inline Json featureJson(const std::string& name, const std::string& type, const platform::ml::Shape& shape,
                        bool optional = false) {
  Json f = {{"name", name}, {"dataType", type}, {"shape", shape}};
  if (optional) f["optional"] = true;
  return f;
}

inline std::filesystem::path writeProgramModel(const std::filesystem::path& parent, const std::string& name,
                                               Json inputs, Json outputs, const std::string& program,
                                               Json parameters = Json::object()) {
  const std::filesystem::path folder = parent / (name + ".mlmodelc");
  std::filesystem::create_directories(folder);
  const Json model = {{"formatVersion", 1},
                      {"inputs", std::move(inputs)},
                      {"outputs", std::move(outputs)},
                      {"program", {{"name", program}, {"parameters", std::move(parameters)}}}};
  std::ofstream(folder / "model.json") << model.dump();
  return folder;
}

// Geometry of a scripted model set.
struct Geometry {
  std::int64_t n = 480000;  // segmenter input samples
  std::int64_t k = 3;       // windows per chunk
  std::int64_t w = 160000;  // samples per window
  std::int64_t f = 10;      // frames per window
  std::int64_t s = 2;       // local speakers
  std::int64_t maskRows = -2;    // declared V (-2: k x s)
  std::int64_t maskFrames = -2;  // declared Fc (-2: f x 30 / (w / 16000))
  std::int64_t preWaveform = 480000;
  std::int64_t embedderRows = -1;  // rows the embedder gives (-1: V)
  bool embedderProduces = true;
  std::int64_t pldaColumns = 128;
  std::int64_t embeddingWidth = 4;  // declared width of the embedder's output
  std::int64_t pldaInputWidth = 4;  // declared width of the PLDA model's input
  double failMarker = -1000;

  std::int64_t v() const { return maskRows == -2 ? k * s : maskRows; }
  std::int64_t fc() const { return maskFrames == -2 ? f * 30 * 16000 / w : maskFrames; }
};

inline std::filesystem::path writeSegmenter(const std::filesystem::path& folder, const Geometry& g) {
  return writeProgramModel(
      folder, "SpeakerSegmenter", Json::array({featureJson("waveform", "float32", {g.n})}),
      Json::array({featureJson("sliding_window_waveform", "float32", {g.k, 1, g.w}),
                   featureJson("speaker_ids", "float32", {g.k, g.f, g.s}),
                   featureJson("speaker_activity", "float32", {g.k, g.s}),
                   featureJson("overlapped_speaker_activity", "float32", {g.k, g.f})}),
      "dellomar_test.segmenter", {{"K", g.k}, {"W", g.w}, {"F", g.f}, {"S", g.s}, {"failMarker", g.failMarker}});
}

// Writes the pre-embedder and embedder into `embedderFolder` and the PLDA model into `pldaFolder`.
inline void writeEmbedders(const std::filesystem::path& embedderFolder, const std::filesystem::path& pldaFolder,
                           const Geometry& g) {
  writeProgramModel(embedderFolder, "SpeakerEmbedderPreprocessor",
                    Json::array({featureJson("waveforms", "float32", {1, g.preWaveform})}),
                    Json::array({featureJson("preprocessor_output_1", "float32", {1, 1})}), "dellomar_test.preembedder");
  writeProgramModel(embedderFolder, "SpeakerEmbedder",
                    Json::array({featureJson("preprocessor_output_1", "float32", {1, 1}),
                                 featureJson("speaker_masks", "float16", {1, g.v(), g.fc()})}),
                    Json::array({featureJson("speaker_embeddings", "float32", {1, -1, g.embeddingWidth}, true)}),
                    "dellomar_test.embedder", {{"rows", g.embedderRows}, {"produce", g.embedderProduces}});
  writeProgramModel(pldaFolder, "PldaProjector",
                    Json::array({featureJson("embeddings", "float32", {1, -1, g.pldaInputWidth})}),
                    Json::array({featureJson("plda_embeddings", "float32", {1, -1, g.pldaColumns})}),
                    "dellomar_test.plda", {{"columns", g.pldaColumns}});
}

// Geometry of the voice set: 21 windows of 10 s per 30-second chunk (1 s apart), 20 frames per
// window (2 frames per second), two speaker slots.
struct VoiceGeometry {
  std::int64_t k = 21;
  std::int64_t w = 160000;
  std::int64_t f = 20;
  std::int64_t maskRows = -1;  // declared V (-1: k x 2)
  float pldaScale = 10;
  double failMarker = -1000;
  // Output widths of the embedder's predictions in turn; more than one declares a free width.
  std::vector<std::int64_t> embeddingWidths = {4};
  std::int64_t fc() const { return f * 30 * 16000 / w; }
};

// Writes <root>/speaker_segmenter/pyannote-v3/W8A16, speaker_embedder/pyannote-v3/W8A16 and
// speaker_clusterer/pyannote-v4/W32A32 with the voice programs.
inline void writeVoiceRepository(const std::filesystem::path& root, const VoiceGeometry& g = {}) {
  const auto segmenter = root / "speaker_segmenter" / "pyannote-v3" / "W8A16";
  const auto embedder = root / "speaker_embedder" / "pyannote-v3" / "W8A16";
  const auto plda = root / "speaker_clusterer" / "pyannote-v4" / "W32A32";
  writeProgramModel(segmenter, "SpeakerSegmenter", Json::array({featureJson("waveform", "float32", {480000})}),
                    Json::array({featureJson("sliding_window_waveform", "float32", {g.k, 1, g.w}),
                                 featureJson("speaker_ids", "float32", {g.k, g.f, 2}),
                                 featureJson("speaker_activity", "float32", {g.k, 2}),
                                 featureJson("overlapped_speaker_activity", "float32", {g.k, g.f})}),
                    "dellomar_test.voice_segmenter",
                    {{"K", g.k}, {"W", g.w}, {"F", g.f}, {"failMarker", g.failMarker}});
  writeProgramModel(embedder, "SpeakerEmbedderPreprocessor",
                    Json::array({featureJson("waveforms", "float32", {1, 480000})}),
                    Json::array({featureJson("preprocessor_output_1", "float32", {1, g.fc()})}),
                    "dellomar_test.frame_levels", {{"P", g.fc()}});
  const std::int64_t rows = g.maskRows == -1 ? g.k * 2 : g.maskRows;
  const std::int64_t width = g.embeddingWidths.size() == 1 ? g.embeddingWidths.front() : -1;
  writeProgramModel(embedder, "SpeakerEmbedder",
                    Json::array({featureJson("preprocessor_output_1", "float32", {1, g.fc()}),
                                 featureJson("speaker_masks", "float16", {1, rows, g.fc()})}),
                    Json::array({featureJson("speaker_embeddings", "float32", {1, -1, width})}),
                    "dellomar_test.voice_embedder", {{"widths", g.embeddingWidths}});
  writeProgramModel(plda, "PldaProjector", Json::array({featureJson("embeddings", "float32", {1, -1, width})}),
                    Json::array({featureJson("plda_embeddings", "float32", {1, -1, 128})}), "dellomar_test.plda",
                    {{"columns", 128}, {"scale", g.pldaScale}});
}

}  // namespace dellomar::testmodels
