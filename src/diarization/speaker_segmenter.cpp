#include "diarization/speaker_segmenter.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "core/logging.hpp"
#include "diarization/dellomar_error.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sync/task_group.hpp"
#include "platform/sys/checked_cast.hpp"
#include "speech/audio/audio_processing.hpp"

namespace dellomar {

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string decimal(double value) {
  std::string out;
  noxtal::detail::appendFloatingText(out, value);
  return out;
}

struct ChunkBounds {
  std::size_t start;
  std::size_t end;
};

}  // namespace

std::optional<platform::ml::FeatureValue> SpeakerSegmenterInput::featureValue(std::string_view name) const {
  if (name != "waveform") return std::nullopt;
  return platform::ml::FeatureValue(waveform_);
}

SpeakerSegmenterOutput::SpeakerSegmenterOutput()
    : SpeakerSegmenterOutput(std::make_shared<NoOpMLFeatureProvider>(), -1, platform::ml::MultiArray(), 0, 0, 0, 0) {}

SpeakerSegmenterOutput::SpeakerSegmenterOutput(std::shared_ptr<const platform::ml::FeatureProvider> features,
                                               int chunkIndex, platform::ml::MultiArray audioChunk, int chunkStride,
                                               float waveformLength, float modelSampleRate, float audioSampleRate)
    : provider_(features ? std::move(features) : std::make_shared<NoOpMLFeatureProvider>()),
      chunkIndex_(chunkIndex),
      audioChunk_(std::move(audioChunk)),
      chunkStride_(chunkStride),
      waveformLength_(waveformLength),
      modelSampleRate_(modelSampleRate),
      audioSampleRate_(audioSampleRate) {}

std::optional<std::int64_t> SpeakerSegmenterOutput::numberOfWindows() const {
  const auto value = provider_->featureValue("sliding_window_waveform");
  if (!value || value->multiArrayValue().rank() < 1) return std::nullopt;
  return value->multiArrayValue().shape()[0];
}

float SpeakerSegmenterOutput::windowDuration() const {
  const auto value = provider_->featureValue("sliding_window_waveform");
  if (!value || value->multiArrayValue().rank() < 3 || !(audioSampleRate_ > 0)) return 0;
  return static_cast<float>(value->multiArrayValue().shape()[2]) / audioSampleRate_;
}

std::string SpeakerSegmenterOutput::debugDescription() const {
  std::string out = "[SpeakerSegmenterOutput: chunkIndex=" + std::to_string(chunkIndex_) + ", features=";
  bool first = true;
  for (const std::string& name : provider_->featureNames()) {
    const auto value = provider_->featureValue(name);
    if (!value) continue;
    if (!first) out += ", ";
    first = false;
    out += name + ": " + platform::ml::shapeText(value->multiArrayValue().shape());
  }
  out += "]";
  return out;
}

SpeakerSegmenterModel::SpeakerSegmenterModel(std::filesystem::path modelURL, platform::ml::ComputeUnits computeUnits,
                                             int concurrentWorkers, bool useFullRedundancy)
    : DellomarMLModel(std::move(modelURL), computeUnits, "Speaker segmenter model is unavailable",
                      "Missing required segmenter model output"),
      concurrentWorkers_(concurrentWorkers),
      useFullRedundancy_(useFullRedundancy) {
  noxtal::Logging::info("[SpeakerSegmenter] initialized with " + this->modelURL().filename().string() + " model");
}

void SpeakerSegmenterModel::loadModel(bool prewarmMode) {
  load(prewarmMode);
  modelState_ = prewarmMode ? noxtal::ModelState::prewarmed : noxtal::ModelState::loaded;
}

void SpeakerSegmenterModel::unloadModel() {
  setModel(nullptr);
  modelState_ = noxtal::ModelState::unloaded;
}

SpeakerSegmenterModel::Geometry SpeakerSegmenterModel::geometry(const platform::ml::Model* model) const {
  Geometry g;
  if (model == nullptr) return g;
  const platform::ml::Shape input = inputShape(model, "waveform");
  const platform::ml::Shape windows = outputShape(model, "sliding_window_waveform");
  const platform::ml::Shape ids = outputShape(model, "speaker_ids");
  if (windows.size() == 3 && windows[2] > 0) {
    g.windowDuration = static_cast<float>(windows[2]) / static_cast<float>(kDiarizationSampleRate);
  }
  if (input.size() == 1 && input[0] > 0 && windows.size() == 3 && windows[0] >= 2 && windows[2] > 0) {
    const float n = static_cast<float>(input[0]);
    const float k = static_cast<float>(windows[0]);
    const float w = static_cast<float>(windows[2]);
    g.windowOverlap = platform::sys::checkedIntegerCast<int>(w - (n - w) / (k - 1)).value_or(0);
  }
  if (ids.size() == 3 && ids[1] > 0) g.framesPerWindow = static_cast<float>(ids[1]);
  return g;
}

void SpeakerSegmenterModel::validateLoadedModel(const platform::ml::Model& model) const {
  if (!useFullRedundancy_) return;
  const platform::ml::Shape input = inputShape(&model, "waveform");
  const platform::ml::Shape windows = outputShape(&model, "sliding_window_waveform");
  const std::string file = modelURL().filename().string();
  if (windows.size() == 3 && windows[0] >= 0 && windows[0] < 2) {
    throw DellomarError::invalidModelOutput("Model " + file + " feature sliding_window_waveform has shape " +
                                            platform::ml::shapeText(windows) +
                                            ", expected at least 2 windows for full redundancy");
  }
  if (input.size() != 1 || input[0] <= 0 || windows.size() != 3 || windows[2] <= 0 || windows[0] < 2) return;
  const int overlap = geometry(&model).windowOverlap;
  const float n = static_cast<float>(input[0]);
  const float w = static_cast<float>(windows[2]);
  const float exact = w - (n - w) / static_cast<float>(windows[0] - 1);
  const bool wholeSamples = exact == std::trunc(exact);
  if (!wholeSamples || overlap < 0 || overlap >= kSegmenterChunkSamples ||
      (kSegmenterChunkSamples - overlap) % kDiarizationSampleRate != 0) {
    throw DellomarError::invalidModelOutput(
        "Model " + file + " feature sliding_window_waveform has shape " + platform::ml::shapeText(windows) +
        " over waveform " + platform::ml::shapeText(input) + ": window overlap " + decimal(exact) +
        " samples, expected whole samples in [0, 480000) leaving a chunk step of whole seconds");
  }
}

float SpeakerSegmenterModel::windowDuration() const { return geometry(model().get()).windowDuration; }

int SpeakerSegmenterModel::windowOverlap() const { return geometry(model().get()).windowOverlap; }

float SpeakerSegmenterModel::framesPerWindow() const { return geometry(model().get()).framesPerWindow; }

std::int64_t SpeakerSegmenterModel::chunkCount(std::int64_t sampleCount) const {
  // No samples make no chunk, whatever the redundancy (predict() makes none either).
  if (sampleCount <= 0) return 0;
  const double n = static_cast<double>(sampleCount);
  const double chunk = kSegmenterChunkSamples;
  double count = std::ceil(n / chunk);
  if (useFullRedundancy_) {
    const double step = chunk - static_cast<double>(windowOverlap());
    count = 1 + std::max(0.0, std::ceil((n - chunk) / step));
  }
  return platform::sys::checkedIntegerCast<std::int64_t>(count).value_or(0);
}

void SpeakerSegmenterModel::predict(std::span<const float> audioArray,
                                    platform::sync::Channel<SpeakerSegmenterOutput>& output, int windowPadding,
                                    std::stop_token stopToken) {
  const noxtal::LoadedModel snapshot = model();
  if (!snapshot) {
    output.finish();
    throwModelsUnavailable();
  }
  const Clock::time_point start = Clock::now();
  const Geometry shape = geometry(snapshot.get());
  const std::int64_t sampleCount = static_cast<std::int64_t>(audioArray.size());
  const std::int64_t limit = sampleCount - windowPadding;
  const std::int64_t stride = useFullRedundancy_ ? shape.windowOverlap : 0;

  std::vector<ChunkBounds> chunks;
  if (limit >= 1) {
    std::int64_t end = 0;
    do {
      const std::int64_t chunkStart = std::max<std::int64_t>(end - stride, 0);
      end = std::min<std::int64_t>(chunkStart + kSegmenterChunkSamples, sampleCount);
      chunks.push_back({static_cast<std::size_t>(chunkStart), static_cast<std::size_t>(end)});
    } while (end < limit);
  }
  noxtal::Logging::debug("[SpeakerSegmenter] split " + std::to_string(sampleCount) + " into " +
                         std::to_string(chunks.size()) + " chunks with stride offset " + std::to_string(stride));

  const float frameRate = shape.windowDuration > 0 ? shape.framesPerWindow / shape.windowDuration : 0.0f;
  const int chunkStride = platform::sys::checkedIntegerCast<int>(
                              static_cast<float>(kSegmenterChunkSamples - stride) /
                              static_cast<float>(kDiarizationSampleRate))
                              .value_or(0);
  const int workers = std::clamp(concurrentWorkers_, 1, 64);
  std::atomic<std::size_t> nextChunk{0};

  const auto worker = [&](std::size_t w, std::stop_token token) {
    const std::string prefix = "[SpeakerSegmenter][" + std::to_string(w) + "] ";
    for (;;) {
      const std::size_t i = nextChunk.fetch_add(1);
      if (i >= chunks.size() || token.stop_requested()) {
        noxtal::Logging::debug(prefix + "all chunks finished.");
        return;
      }
      // The chunk is read through a view of the caller's samples; only the padded model input
      // is a copy.
      const std::span<const float> samples = audioArray.subspan(chunks[i].start, chunks[i].end - chunks[i].start);
      const int index = static_cast<int>(i);
      const float waveformLength = static_cast<float>(samples.size()) / static_cast<float>(kDiarizationSampleRate);
      noxtal::Logging::debug(prefix + "inferring chunk " + std::to_string(i) + " count: " +
                             std::to_string(samples.size()));
      const Clock::time_point chunkStart = Clock::now();
      try {
        std::optional<platform::ml::MultiArray> input =
            vostrane::AudioProcessing::padOrTrimAudio(samples, 0, kSegmenterChunkSamples);
        if (!input) throw DellomarError::generic("Segmentation Failed: Audio samples are nil");
        const SpeakerSegmenterInput features(*input);
        auto prediction =
            std::make_shared<platform::ml::DictionaryFeatureProvider>(predictWith(*snapshot, features, token));
        output.push(SpeakerSegmenterOutput(std::move(prediction), index, std::move(*input), chunkStride,
                                           waveformLength, frameRate, static_cast<float>(kDiarizationSampleRate)),
                    token);
        noxtal::Logging::debug(prefix + "inference for chunk " + std::to_string(i) + " took " +
                               decimal(millisecondsSince(chunkStart) / 1000.0));
      } catch (const platform::sync::CancellationError&) {
        noxtal::Logging::debug(prefix + "all chunks finished.");
        return;
      } catch (const std::exception& error) {
        output.push(SpeakerSegmenterOutput(std::make_shared<NoOpMLFeatureProvider>(), index,
                                           platform::ml::MultiArray(), chunkStride, waveformLength, frameRate,
                                           static_cast<float>(kDiarizationSampleRate)),
                    token);
        noxtal::Logging::debug(prefix + "inference for chunk " + std::to_string(i) +
                               " encountered an error: " + error.what());
      }
    }
  };
  try {
    try {
      platform::sync::runConcurrently(static_cast<std::size_t>(workers), static_cast<std::size_t>(workers), worker,
                                      stopToken);
    } catch (const platform::sync::ThreadStartError& error) {
      throw DellomarError::generic(error.what());
    }
  } catch (...) {
    output.finish(std::current_exception());
    throw;
  }
  char line[128];
  std::snprintf(line, sizeof line, "[Dellomar] Total segmenter model inference time: %.2f ms", millisecondsSince(start));
  noxtal::Logging::debug(std::string(line));
  output.finish();
  platform::sync::throwIfStopped(stopToken);
}

}  // namespace dellomar
