#include "diarization/speaker_embedder.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "core/logging.hpp"
#include "diarization/dellomar_error.hpp"
#include "diarization/vbx.hpp"
#include "platform/ml/ml_error.hpp"
#include "platform/sys/checked_cast.hpp"

namespace dellomar {

namespace {

using Clock = std::chrono::steady_clock;
using platform::ml::MultiArray;
using platform::ml::shapeText;

constexpr float kSecondsPerChunk = 30.0f;

std::string describeFeatures(const char* type, std::initializer_list<std::pair<const char*, const MultiArray*>> items) {
  std::string out = std::string("[Dellomar.") + type + ": features=";
  bool first = true;
  for (const auto& [name, array] : items) {
    if (!first) out += ", ";
    first = false;
    out += std::string(name) + ": " + shapeText(array->shape());
  }
  return out + "]";
}

// The array `name` of `provider` when it exists with `rank` dimensions.
std::optional<MultiArray> arrayOfRank(const platform::ml::FeatureProvider& provider, std::string_view name,
                                      std::size_t rank) {
  const auto value = provider.featureValue(name);
  if (!value || value->multiArrayValue().rank() != rank) return std::nullopt;
  return value->multiArrayValue();
}

// Rows of a [1, R, D] array, or none when it has another layout.
std::vector<std::vector<float>> rowsOf(const MultiArray& array) {
  std::vector<std::vector<float>> rows;
  if (array.rank() != 3 || array.shape()[0] != 1) return rows;
  const auto count = static_cast<std::size_t>(array.shape()[1]);
  const auto dimension = static_cast<std::size_t>(array.shape()[2]);
  const std::vector<float> values = array.toFloatVector();
  rows.reserve(count);
  for (std::size_t r = 0; r < count; ++r) {
    rows.emplace_back(values.begin() + static_cast<std::ptrdiff_t>(r * dimension),
                      values.begin() + static_cast<std::ptrdiff_t>((r + 1) * dimension));
  }
  return rows;
}

DellomarError inconsistent(const std::string& feature, const platform::ml::Shape& found, const std::string& expected) {
  return DellomarError::invalidModelOutput("Segmenter output " + feature + " has shape " + shapeText(found) +
                                           ", expected " + expected);
}

// Logs the chunk's embedding time when the call ends, whichever way.
class EmbedTimer {
 public:
  explicit EmbedTimer(int chunkIndex) : chunkIndex_(chunkIndex), start_(Clock::now()) {}
  ~EmbedTimer() {
    char line[96];
    std::snprintf(line, sizeof line, " time: %.2f ms",
                  std::chrono::duration<double, std::milli>(Clock::now() - start_).count());
    noxtal::Logging::debug("[Dellomar] Embedder model inference for chunk " + std::to_string(chunkIndex_) + line);
  }
  EmbedTimer(const EmbedTimer&) = delete;
  EmbedTimer& operator=(const EmbedTimer&) = delete;

 private:
  int chunkIndex_;
  Clock::time_point start_;
};

}  // namespace

std::optional<platform::ml::FeatureValue> SpeakerEmbedderPreprocessorInput::featureValue(std::string_view name) const {
  if (name != "waveforms") return std::nullopt;
  return platform::ml::FeatureValue(waveforms_);
}

std::optional<platform::ml::FeatureValue> SpeakerEmbedderInput::featureValue(std::string_view name) const {
  if (name == "speaker_masks") return platform::ml::FeatureValue(speakerMasks_);
  if (name == "preprocessor_output_1") return platform::ml::FeatureValue(preprocessorOutput_);
  return std::nullopt;
}

std::string SpeakerEmbedderInput::debugDescription() const {
  return describeFeatures("SpeakerEmbedderInput",
                          {{"speaker_masks", &speakerMasks_}, {"preprocessor_output_1", &preprocessorOutput_}});
}

std::optional<platform::ml::FeatureValue> SpeakerPLDAEmbedderInput::featureValue(std::string_view name) const {
  if (name != "embeddings") return std::nullopt;
  return platform::ml::FeatureValue(embedderOutput_);
}

std::string SpeakerPLDAEmbedderInput::debugDescription() const {
  return describeFeatures("SpeakerPLDAEmbedderInput", {{"embeddings", &embedderOutput_}});
}

SpeakerPreEmbedderModel::SpeakerPreEmbedderModel(std::filesystem::path modelURL,
                                                 platform::ml::ComputeUnits computeUnits)
    : DellomarMLModel(std::move(modelURL), computeUnits, "SpeakerPreEmbedderModel not loaded. Call loadModel() first.",
                      "Missing required pre embedder model output") {}

MultiArray SpeakerPreEmbedderModel::run(const MultiArray& waveforms, std::stop_token stopToken) const {
  const SpeakerEmbedderPreprocessorInput input(waveforms);
  const platform::ml::DictionaryFeatureProvider outputs =
      predictOutputs(input, "SpeakerPreEmbedder", {"preprocessor_output_1"}, std::move(stopToken));
  return *outputs.multiArray("preprocessor_output_1");
}

PLDAEmbedderModel::PLDAEmbedderModel(std::filesystem::path modelURL, platform::ml::ComputeUnits computeUnits)
    : DellomarMLModel(std::move(modelURL), computeUnits, "PLDAEmbedderModel not loaded. Call loadModel() first.",
                      "Missing required PLDA model output") {}

std::optional<MultiArray> PLDAEmbedderModel::run(const MultiArray& embeddings, std::stop_token stopToken) const {
  const SpeakerPLDAEmbedderInput input(embeddings);
  return predictOutputs(input, "PLDAEmbedder", {}, std::move(stopToken)).multiArray("plda_embeddings");
}

SpeakerEmbedderModel::SpeakerEmbedderModel(std::filesystem::path modelURL, platform::ml::ComputeUnits computeUnits,
                                           std::unique_ptr<SpeakerPreEmbedderModel> preprocessorModel,
                                           std::unique_ptr<PLDAEmbedderModel> pldaModel)
    : DellomarMLModel(std::move(modelURL), computeUnits, "SpeakerEmbedderModel not loaded. Call loadModel() first.",
                      "Missing required embedder model output"),
      preprocessorModel_(std::move(preprocessorModel)),
      pldaModel_(std::move(pldaModel)) {
  platform::log::requireThat(preprocessorModel_ != nullptr, "the embedder needs its pre-embedder");
}

void SpeakerEmbedderModel::loadModel(bool prewarmMode) {
  if (pldaModel_) pldaModel_->load(prewarmMode);
  preprocessorModel_->load(prewarmMode);
  load(prewarmMode);
  modelState_ = prewarmMode ? noxtal::ModelState::prewarmed : noxtal::ModelState::loaded;
}

void SpeakerEmbedderModel::unloadModel() {
  if (pldaModel_) pldaModel_->unloadModel();
  preprocessorModel_->unloadModel();
  setModel(nullptr);
  modelState_ = noxtal::ModelState::unloaded;
}

int SpeakerEmbedderModel::expectedWaveformSize() const {
  const std::optional<int> size = preprocessorModel_->inputDimension("waveforms", 1);
  if (!size) {
    noxtal::Logging::error("Failed to get waveform shape for PreEmbedderModel");
    return 0;
  }
  return *size;
}

int SpeakerEmbedderModel::speakerMaskRowCount() const {
  const std::optional<int> rows = inputDimension("speaker_masks", 1);
  if (!rows) {
    noxtal::Logging::error("Failed to get speaker_masks shape for EmbedderModel");
    return 0;
  }
  return *rows;
}

std::vector<SpeakerEmbedding> SpeakerEmbedderModel::embed(const SpeakerSegmenterOutput& segmenterOutput,
                                                          std::stop_token stopToken) const {
  noxtal::Logging::debug("[SpeakerEmbedder] segmenterOutput: " + segmenterOutput.debugDescription());
  // One snapshot of both models for the shape checks: an unload while this call runs must end it
  // as an unavailable model (which stops the pipeline), never as a 0-sized shape.
  const noxtal::LoadedModel embedderSnapshot = model();
  const noxtal::LoadedModel preprocessorSnapshot = preprocessorModel_->model();
  if (!embedderSnapshot || !preprocessorSnapshot) {
    throw DellomarError::modelUnavailable("Speaker embedder model is unavailable");
  }
  const auto declaredDimension = [](const platform::ml::Model* snapshot, std::string_view input,
                                    const char* failure) -> std::int64_t {
    const platform::ml::Shape shape = inputShape(snapshot, input);
    if (shape.size() < 2) {
      noxtal::Logging::error(failure);
      return 0;
    }
    return shape[1];
  };
  const int chunkIndex = segmenterOutput.chunkIndex();
  const EmbedTimer timer(chunkIndex);

  const platform::ml::FeatureProvider& provider = segmenterOutput.provider();
  const std::optional<MultiArray> sliding = arrayOfRank(provider, "sliding_window_waveform", 3);
  const std::optional<MultiArray> activity = arrayOfRank(provider, "speaker_activity", 2);
  const std::optional<MultiArray> ids = arrayOfRank(provider, "speaker_ids", 3);
  const std::optional<MultiArray> overlapped = arrayOfRank(provider, "overlapped_speaker_activity", 2);
  if (!sliding || !activity || !ids || !overlapped) {
    throw DellomarError::invalidModelOutput("Missing required segmenter model output");
  }

  const std::int64_t expectedWaveform = declaredDimension(preprocessorSnapshot.get(), "waveforms",
                                                         "Failed to get waveform shape for PreEmbedderModel");
  const std::int64_t windowSamples = sliding->shape()[2];
  if (!(windowSamples < expectedWaveform)) {
    throw DellomarError::invalidModelOutput(
        "SpeakerEmbedderModel requires a per-chunk preprocessor (expected waveform size " +
        std::to_string(expectedWaveform) + " must exceed sliding window size " + std::to_string(windowSamples) + ")");
  }

  // The four arrays must agree: K windows, Fw frames per window, S local speakers.
  const std::int64_t windows = sliding->shape()[0];
  const std::int64_t speakers = activity->shape()[1];
  const std::int64_t framesPerWindow = ids->shape()[1];
  if (activity->shape()[0] != windows) {
    throw inconsistent("speaker_activity", activity->shape(), "[" + std::to_string(windows) + ", S]");
  }
  if (ids->shape()[0] != windows || ids->shape()[2] != speakers) {
    throw inconsistent("speaker_ids", ids->shape(),
                       "[" + std::to_string(windows) + ", F, " + std::to_string(speakers) + "]");
  }
  if (overlapped->shape()[0] != windows || overlapped->shape()[1] != framesPerWindow) {
    throw inconsistent("overlapped_speaker_activity", overlapped->shape(),
                       "[" + std::to_string(windows) + ", " + std::to_string(framesPerWindow) + "]");
  }
  const float secondsPerWindow = segmenterOutput.windowDuration();
  if (framesPerWindow < 1 || !(secondsPerWindow > 0) || windows < 1) {
    throw inconsistent("speaker_ids", ids->shape(), "at least one window of at least one frame and one sample");
  }
  const std::optional<std::int64_t> chunkFrames = platform::sys::checkedIntegerCast<std::int64_t>(
      static_cast<float>(framesPerWindow) * kSecondsPerChunk / secondsPerWindow);
  if (!chunkFrames || *chunkFrames < framesPerWindow) {
    throw inconsistent("sliding_window_waveform", sliding->shape(), "windows no longer than the 30-second chunk");
  }
  const std::int64_t maskRows = declaredDimension(embedderSnapshot.get(), "speaker_masks",
                                                 "Failed to get speaker_masks shape for EmbedderModel");
  if (maskRows != windows * speakers) {
    throw DellomarError::invalidModelOutput("Embedder input speaker_masks has " + std::to_string(maskRows) +
                                            " rows, expected " + std::to_string(windows * speakers) + " (" +
                                            std::to_string(windows) + " windows x " + std::to_string(speakers) +
                                            " speakers)");
  }

  const auto k = static_cast<std::size_t>(windows);
  const auto s = static_cast<std::size_t>(speakers);
  const auto fw = static_cast<std::size_t>(framesPerWindow);
  const auto fc = static_cast<std::size_t>(*chunkFrames);
  const float step = windows >= 2 ? (kSecondsPerChunk - secondsPerWindow) / static_cast<float>(windows - 1) : 0.0f;
  const int chunkStride = segmenterOutput.chunkStride();
  noxtal::Logging::debug("Processing chunk " + std::to_string(chunkIndex * chunkStride));
  noxtal::Logging::debug("[SpeakerEmbedder] Processing single chunk " + std::to_string(chunkIndex) + " with " +
                         std::to_string(k) + " windows, " + std::to_string(fc) + " frames per chunk");

  // Window w covers chunk frames start[w] ... start[w] + Fw - 1. One window starts at frame 0.
  std::vector<std::size_t> start(k, 0);
  if (k >= 2) {
    const float framesStep = (static_cast<float>(fw) / secondsPerWindow) * step;
    const float listCount = (static_cast<float>(fc) - static_cast<float>(fw)) / framesStep + 1;
    for (std::size_t w = 0; w < k; ++w) {
      const std::optional<std::int64_t> first =
          platform::sys::checkedIntegerCast<std::int64_t>(static_cast<float>(w) * framesStep);
      if (!(static_cast<float>(w) < listCount) || !first || *first < 0 ||
          static_cast<std::size_t>(*first) + fw > fc) {
        throw inconsistent("sliding_window_waveform", sliding->shape(),
                           "windows whose frames lie inside the chunk's " + std::to_string(fc) + " frames");
      }
      start[w] = static_cast<std::size_t>(*first);
    }
  }

  const std::vector<float> activityValues = activity->toFloatVector();
  const std::vector<float> idValues = ids->toFloatVector();
  const std::vector<float> overlapValues = overlapped->toFloatVector();
  const float frameSeconds = secondsPerWindow / static_cast<float>(fw);
  const auto isActive = [&](std::size_t w, std::size_t speaker) {
    return activityValues[w * s + speaker] * frameSeconds > frameSeconds * 2;
  };

  // Masks: [1, V, Fc] float16, row = window x S + speaker, zero outside the active rows.
  MultiArray masks({1, windows * speakers, static_cast<std::int64_t>(fc)}, platform::ml::DataType::float16);
  for (std::size_t w = 0; w < k; ++w) {
    bool any = false;
    for (std::size_t speaker = 0; speaker < s; ++speaker) {
      if (!isActive(w, speaker)) continue;
      any = true;
      const std::size_t row = w * s + speaker;
      for (std::size_t f = 0; f < fw; ++f) {
        const float value = (1 - overlapValues[w * fw + f]) * idValues[(w * fw + f) * s + speaker];
        masks.setFloat(static_cast<std::int64_t>(row * fc + start[w] + f), value);
      }
    }
    if (!any) {
      noxtal::Logging::debug("[SpeakerEmbedder] No active speakers for chunk " + std::to_string(chunkIndex) +
                             " in window " + std::to_string(w) + ", leaving its masks empty");
    }
  }

  MultiArray waveforms;
  const MultiArray& audio = segmenterOutput.audioChunk();
  const platform::ml::Shape viewShape = {1, audio.rank() >= 1 ? audio.shape()[0] : 0};
  try {
    waveforms = audio.reshaped(viewShape);
  } catch (const platform::ml::MultiArrayError&) {
    throw DellomarError::invalidModelOutput("Cannot reshape " + shapeText(audio.shape()) + " to " +
                                            shapeText(viewShape));
  }
  const MultiArray features = preprocessorModel_->run(waveforms, stopToken);

  const SpeakerEmbedderInput embedderInput(masks, features);
  const platform::ml::DictionaryFeatureProvider embedderOutputs =
      predictOutputs(embedderInput, "SpeakerEmbedder", {}, stopToken);
  const std::optional<MultiArray> embeddingArray = embedderOutputs.multiArray("speaker_embeddings");
  std::vector<std::vector<float>> embeddingRows;
  if (embeddingArray) {
    embeddingRows = rowsOf(*embeddingArray);
  } else {
    noxtal::Logging::error("[SpeakerEmbedder] No embeddings to convert to float arrays");
  }
  if (embeddingRows.size() < k * s) {
    throw DellomarError::invalidModelOutput(
        "Embedder output speaker_embeddings has shape " +
        (embeddingArray ? shapeText(embeddingArray->shape()) : std::string("(missing)")) + ", expected [1, " +
        std::to_string(k * s) + ", D]");
  }

  std::vector<std::vector<float>> pldaRows;
  if (pldaModel_ && embeddingArray) {
    if (const std::optional<MultiArray> projected = pldaModel_->run(*embeddingArray, stopToken)) {
      pldaRows = rowsOf(*projected);
      // VBx works on projections of its own dimension, one per mask row.
      if (pldaRows.size() < k * s || (!pldaRows.empty() && pldaRows.front().size() != kPldaDimension)) {
        throw DellomarError::invalidModelOutput("PLDA output plda_embeddings has shape " +
                                                shapeText(projected->shape()) + ", expected [1, " +
                                                std::to_string(k * s) + ", " + std::to_string(kPldaDimension) + "]");
      }
    }
  }

  std::vector<SpeakerEmbedding> records;
  const float waveformLength = segmenterOutput.waveformLength();
  for (std::size_t w = 0; w < k; ++w) {
    const float offset = static_cast<float>(w) * step;
    if (w >= 1 && !(step + waveformLength > offset + secondsPerWindow)) continue;
    for (std::size_t speaker = 0; speaker < s; ++speaker) {
      if (!isActive(w, speaker)) continue;
      const std::size_t row = w * s + speaker;
      SpeakerEmbedding record;
      record.embedding = embeddingRows[row];
      if (row < pldaRows.size()) record.pldaEmbedding = pldaRows[row];
      record.activeFrames.resize(fw);
      std::size_t clean = 0;
      for (std::size_t f = 0; f < fw; ++f) {
        const float value = idValues[(w * fw + f) * s + speaker];
        record.activeFrames[f] = value;
        if (value != 0 && overlapValues[w * fw + f] == 0) ++clean;
      }
      record.windowIndex = chunkIndex * chunkStride + platform::sys::checkedIntegerCast<int>(std::round(offset)).value_or(0);
      record.speakerIndex = static_cast<int>(speaker);
      record.nonOverlappedFrameRatio = static_cast<float>(clean) / static_cast<float>(fw);
      records.push_back(std::move(record));
    }
  }
  noxtal::Logging::debug("[SpeakerEmbedder] Single chunk " + std::to_string(chunkIndex) + " created " +
                         std::to_string(records.size()) + " embeddings");
  noxtal::Logging::debug("[SpeakerEmbedder] Chunk " + std::to_string(chunkIndex) + " created " +
                         std::to_string(records.size()) + " embeddings");
  return records;
}

}  // namespace dellomar
