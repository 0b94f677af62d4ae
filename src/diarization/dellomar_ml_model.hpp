// DellomarMLModel: the model component of the diarization library (segmenter, pre-embedder,
// embedder, PLDA projector). The core model component with the library's errors:
//   - a model that cannot be loaded becomes DellomarError::modelUnavailable naming the model
//     file and the runtime's reason;
//   - a prediction without a model throws modelUnavailable with the component's own message;
//   - a prediction the runtime refuses becomes invalidModelOutput with the runtime's text;
//   - missing required outputs throw invalidModelOutput with the component's own message.
// A component may check a freshly loaded model (validateLoadedModel) before it is kept; a
// failed check leaves the slot as it was. Every member is thread-safe.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/model_component.hpp"
#include "platform/ml/model.hpp"

namespace dellomar {

class DellomarMLModel : public noxtal::ModelComponent {
 public:
  DellomarMLModel(std::filesystem::path modelURL, platform::ml::ComputeUnits computeUnits,
                  std::string unavailableMessage, std::string missingOutputMessage);

  const std::filesystem::path& modelURL() const { return modelURL_; }
  platform::ml::ComputeUnits computeUnits() const { return computeUnits_; }

  // Loads modelURL() with computeUnits(); checks it; keeps it unless prewarmMode (then the slot
  // is emptied). Throws DellomarError (modelUnavailable for a load failure, whatever the check
  // throws) and leaves the slot unchanged on failure.
  void load(bool prewarmMode);

  // Declared shape of an input / output of `model`; empty when missing or without constraint.
  static platform::ml::Shape inputShape(const platform::ml::Model* model, std::string_view name);
  static platform::ml::Shape outputShape(const platform::ml::Model* model, std::string_view name);

 protected:
  // Checks a freshly loaded model; throws DellomarError to refuse it. Default: accepts.
  virtual void validateLoadedModel(const platform::ml::Model& model) const;

  // ModelComponent::predict with runtime prediction errors turned into invalidModelOutput.
  platform::ml::DictionaryFeatureProvider predictOutputs(const platform::ml::FeatureProvider& inputs,
                                                         std::string_view intervalName,
                                                         std::initializer_list<std::string_view> requiredOutputs,
                                                         std::stop_token stopToken = {}) const;
  // One prediction on a model snapshot the caller holds, with the same error mapping.
  static platform::ml::DictionaryFeatureProvider predictWith(const platform::ml::Model& model,
                                                             const platform::ml::FeatureProvider& inputs,
                                                             std::stop_token stopToken = {});

  [[noreturn]] void throwModelsUnavailable() const override;
  [[noreturn]] void throwMissingOutput(std::string_view name) const override;

 private:
  std::filesystem::path modelURL_;
  platform::ml::ComputeUnits computeUnits_;
  std::string unavailableMessage_;
  std::string missingOutputMessage_;
};

// The signpost log of the library's predictions.
const platform::log::Logger& dellomarSignposter();

}  // namespace dellomar
