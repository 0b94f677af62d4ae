// Model programs: C++ code that a model folder names instead of a graph.
//
// A folder whose "model.json" holds {"program": {"name": N, "parameters": {...}}} runs the
// program registered under N. Tests register scripted programs this way (a decoder that follows
// a token script, a stub encoder); the library registers none. The registry is process-wide and
// thread-safe; a program is bound when a model is loaded, so later registry changes do not
// affect loaded models.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "platform/json/json.hpp"
#include "platform/ml/model.hpp"
#include "platform/sync/mutex.hpp"

namespace platform::ml {

// One loaded program. predict() is called concurrently from several threads and must be
// thread-safe; inputs arrive checked against the description and converted to the declared
// element types. Outputs are checked and converted by Model afterwards.
class ModelProgram {
 public:
  virtual ~ModelProgram() = default;
  // `state` is null for a stateless prediction. Throws PredictionError (or any MLError) on
  // failure, CancellationError when stopped.
  virtual DictionaryFeatureProvider predict(const DictionaryFeatureProvider& inputs, State* state,
                                            std::stop_token stopToken) const = 0;
};

// Makes a program from its parameters and the model's description. May throw any
// std::exception for bad parameters; Model::load reports it as a ModelLoadError.
using ModelProgramFactory = std::function<std::shared_ptr<const ModelProgram>(const platform::json::Json& parameters,
                                                                              const ModelDescription& description)>;

class ModelProgramRegistry {
 public:
  // The process-wide registry (created on first use).
  static ModelProgramRegistry& shared();

  // Registers `factory` under `name`, replacing an earlier one.
  void add(std::string name, ModelProgramFactory factory);
  // Removes `name`; false when it was not registered.
  bool remove(std::string_view name);
  // The factory of `name`, or an empty function.
  ModelProgramFactory find(std::string_view name) const;

 private:
  mutable platform::sync::Mutex mutex_;
  std::map<std::string, ModelProgramFactory, std::less<>> factories_;  // guarded by mutex_
};

}  // namespace platform::ml
