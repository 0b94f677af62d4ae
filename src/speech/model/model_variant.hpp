// Speech model size families (ModelVariant) and the compute units of the three speech models
// (ModelComputeOptions). Plain values, thread-safe to read.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "platform/ml/model.hpp"

namespace vostrane {

enum class ModelVariant { tiny, tinyEn, base, baseEn, small, smallEn, medium, mediumEn, large, largev2, largev3 };

inline constexpr std::array<ModelVariant, 11> kAllModelVariants{
    ModelVariant::tiny,  ModelVariant::tinyEn,  ModelVariant::base,   ModelVariant::baseEn,
    ModelVariant::small, ModelVariant::smallEn, ModelVariant::medium, ModelVariant::mediumEn,
    ModelVariant::large, ModelVariant::largev2, ModelVariant::largev3};

// "tiny", "tiny.en", "base", "base.en", "small", "small.en", "medium", "medium.en", "large",
// "large-v2", "large-v3".
std::string_view description(ModelVariant variant);
// False exactly for the four English-only variants (description ending in ".en").
bool isMultilingual(ModelVariant variant);

// Compute units for the mel-spectrogram model, the audio encoder and the text decoder.
struct ModelComputeOptions {
  // The encoder's units default to cpuAndNeuralEngine (this platform has no older-system case).
  explicit ModelComputeOptions(
      platform::ml::ComputeUnits melCompute = platform::ml::ComputeUnits::cpuAndGPU,
      std::optional<platform::ml::ComputeUnits> audioEncoderCompute = std::nullopt,
      platform::ml::ComputeUnits textDecoderCompute = platform::ml::ComputeUnits::cpuAndNeuralEngine)
      : melCompute(melCompute),
        audioEncoderCompute(audioEncoderCompute.value_or(platform::ml::ComputeUnits::cpuAndNeuralEngine)),
        textDecoderCompute(textDecoderCompute) {}

  platform::ml::ComputeUnits melCompute;
  platform::ml::ComputeUnits audioEncoderCompute;
  platform::ml::ComputeUnits textDecoderCompute;

  friend bool operator==(const ModelComputeOptions&, const ModelComputeOptions&) = default;
};

}  // namespace vostrane
