// Model: a loaded model folder that turns named input arrays into named output arrays.
//
// The stand-in for the original platform's model runtime. Model::load reads a folder
// "<Name>.mlmodelc" and picks a backend by what the folder holds (see docs/model-folders.md):
// today a registered C++ program or a small graph of tensor operations, both described by
// "model.json". Loaded models are immutable and shared (std::shared_ptr<const Model>);
// predict() is const and safe to call from several threads at once on one model. Each caller
// owns its inputs, outputs and State.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/ml/feature.hpp"
#include "platform/ml/model_description.hpp"

namespace platform::ml {

// Where a model may run. Stored and reported; the CPU backends of this layer ignore it.
enum class ComputeUnits { cpuOnly = 0, cpuAndGPU = 1, all = 2, cpuAndNeuralEngine = 3 };

struct ModelConfiguration {
  ComputeUnits computeUnits = ComputeUnits::all;
};

// Options of one prediction. None are needed by the CPU backends yet.
struct PredictionOptions {};

// The mutable state of a stateful model (for example a key/value cache) for one sequence of
// predictions. Made by Model::makeState() with every buffer the description declares, zeroed.
// Owned by one caller; not thread-safe.
class State {
 public:
  State(State&&) = default;
  State& operator=(State&&) = default;
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  // The buffer of that name (a handle sharing its storage), or absent.
  std::optional<MultiArray> multiArray(std::string_view name) const;
  // Replaces the buffer `name`; `array` must have the buffer's shape and type (else aborts).
  void setMultiArray(std::string_view name, MultiArray array);
  // Buffer names in sorted order.
  std::vector<std::string> names() const;

 private:
  friend class Model;
  explicit State(const void* owner) : owner_(owner) {}
  const void* owner_;
  std::map<std::string, MultiArray, std::less<>> buffers_;
};

// A backend's prediction, called by Model after the inputs were checked and converted to the
// declared element types. Implementations are immutable after loading and thread-safe.
class ModelBackend {
 public:
  virtual ~ModelBackend() = default;
  // `state` is null for a stateless prediction. Throws PredictionError or CancellationError.
  virtual DictionaryFeatureProvider predict(const DictionaryFeatureProvider& inputs, State* state,
                                            std::stop_token stopToken) const = 0;
};

class Model {
 public:
  // Loads the model folder. Throws ModelLoadError naming the problem: a missing folder, a
  // missing or malformed "model.json", an unknown program or operation, a missing weight.
  static std::shared_ptr<const Model> load(const std::filesystem::path& folder,
                                           const ModelConfiguration& configuration = {});

  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  const ModelDescription& description() const { return description_; }
  const ModelConfiguration& configuration() const { return configuration_; }
  const std::filesystem::path& folder() const { return folder_; }

  // Runs the model on `input`. Every declared input must be present (unless optional) as a
  // multi-array of the declared rank and shape (free dimensions accept any size); inputs are
  // converted to the declared element types; names not declared are ignored. Outputs come
  // back converted to their declared types and never share storage with an input or a state
  // buffer (such an output is copied). Throws PredictionError naming the feature on a
  // violation, CancellationError when `stopToken` is stopped. Thread-safe.
  DictionaryFeatureProvider predict(const FeatureProvider& input, const PredictionOptions& options = {},
                                    std::stop_token stopToken = {}) const;
  // The stateful form: `state` must come from this model's makeState() and still hold its
  // buffers (not moved from), else PredictionError; it may be changed by the prediction. One State must not be used by
  // two calls at once.
  DictionaryFeatureProvider predict(const FeatureProvider& input, State& state, const PredictionOptions& options = {},
                                    std::stop_token stopToken = {}) const;

  // A fresh state with every declared state buffer zeroed. Thread-safe.
  State makeState() const;

 private:
  Model(std::filesystem::path folder, ModelConfiguration configuration, ModelDescription description,
        std::unique_ptr<const ModelBackend> backend);
  DictionaryFeatureProvider run(const FeatureProvider& input, State* state, std::stop_token stopToken) const;

  std::filesystem::path folder_;
  ModelConfiguration configuration_;
  ModelDescription description_;
  std::unique_ptr<const ModelBackend> backend_;
};

}  // namespace platform::ml
