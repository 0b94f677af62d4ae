// Errors of the model runtime, and the always-on check for programming errors.
//
// Input that a caller cannot be trusted with (model folders, feature providers) fails with one
// of the exceptions below; a broken precondition that only a programming error can reach (a
// typed view of the wrong element type, an index outside an array) stops the process through
// requireThat, in every build type, instead of corrupting memory.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/log/check.hpp"

namespace platform::ml {

// Base of every error this layer throws.
class MLError : public std::runtime_error {
 public:
  explicit MLError(const std::string& message) : std::runtime_error(message) {}
};

// A model folder that cannot be loaded: missing folder or file, malformed description,
// unknown program or operation, missing weight. The message names the culprit.
class ModelLoadError : public MLError {
 public:
  explicit ModelLoadError(const std::string& message) : MLError(message) {}
};

// A prediction that cannot run: a missing or mis-shaped input feature, an output that does not
// match the description, a failure inside the model. The message names the feature.
class PredictionError : public MLError {
 public:
  explicit PredictionError(const std::string& message) : MLError(message) {}
};

// A multi-array that cannot be made or reshaped (negative dimension, size overflow, element
// count mismatch).
class MultiArrayError : public MLError {
 public:
  explicit MultiArrayError(const std::string& message) : MLError(message) {}
};

// Broken preconditions go through the project's one check (logs, then aborts).
using platform::log::requireThat;

}  // namespace platform::ml
