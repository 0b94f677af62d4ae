#include "diarization/dellomar_ml_model.hpp"

#include "core/ml_helpers.hpp"
#include "diarization/dellomar_error.hpp"
#include "platform/ml/ml_error.hpp"

namespace dellomar {

const platform::log::Logger& dellomarSignposter() {
  static const platform::log::Logger logger("Dellomar", "Signposts");
  return logger;
}

DellomarMLModel::DellomarMLModel(std::filesystem::path modelURL, platform::ml::ComputeUnits computeUnits,
                                 std::string unavailableMessage, std::string missingOutputMessage)
    : modelURL_(std::move(modelURL)),
      computeUnits_(computeUnits),
      unavailableMessage_(std::move(unavailableMessage)),
      missingOutputMessage_(std::move(missingOutputMessage)) {}

void DellomarMLModel::load(bool prewarmMode) {
  platform::ml::ModelConfiguration configuration;
  configuration.computeUnits = computeUnits_;
  noxtal::LoadedModel loaded;
  try {
    loaded = platform::ml::Model::load(modelURL_, configuration);
  } catch (const platform::ml::MLError& error) {
    throw DellomarError::modelUnavailable("Cannot load model " + modelURL_.filename().string() + ": " +
                                          error.what());
  }
  validateLoadedModel(*loaded);
  if (prewarmMode) {
    loaded.reset();
    setModel(nullptr);
  } else {
    setModel(std::move(loaded));
  }
}

void DellomarMLModel::validateLoadedModel(const platform::ml::Model&) const {}

platform::ml::Shape DellomarMLModel::inputShape(const platform::ml::Model* model, std::string_view name) {
  if (model == nullptr) return {};
  const platform::ml::FeatureDescription* feature = model->description().input(name);
  if (feature == nullptr || !feature->multiArrayConstraint) return {};
  return feature->multiArrayConstraint->shape;
}

platform::ml::Shape DellomarMLModel::outputShape(const platform::ml::Model* model, std::string_view name) {
  if (model == nullptr) return {};
  const platform::ml::FeatureDescription* feature = model->description().output(name);
  if (feature == nullptr || !feature->multiArrayConstraint) return {};
  return feature->multiArrayConstraint->shape;
}

platform::ml::DictionaryFeatureProvider DellomarMLModel::predictOutputs(
    const platform::ml::FeatureProvider& inputs, std::string_view intervalName,
    std::initializer_list<std::string_view> requiredOutputs, std::stop_token stopToken) const {
  try {
    return predict(inputs, Signpost{dellomarSignposter(), intervalName}, requiredOutputs, std::move(stopToken));
  } catch (const platform::ml::MLError& error) {
    throw DellomarError::invalidModelOutput(error.what());
  }
}

platform::ml::DictionaryFeatureProvider DellomarMLModel::predictWith(const platform::ml::Model& model,
                                                                     const platform::ml::FeatureProvider& inputs,
                                                                     std::stop_token stopToken) {
  try {
    return noxtal::asyncPrediction(model, inputs, platform::ml::PredictionOptions{}, std::move(stopToken));
  } catch (const platform::ml::MLError& error) {
    throw DellomarError::invalidModelOutput(error.what());
  }
}

void DellomarMLModel::throwModelsUnavailable() const { throw DellomarError::modelUnavailable(unavailableMessage_); }

void DellomarMLModel::throwMissingOutput(std::string_view) const {
  throw DellomarError::invalidModelOutput(missingOutputMessage_);
}

}  // namespace dellomar
