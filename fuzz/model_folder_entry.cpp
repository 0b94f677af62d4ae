#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz/fuzz_entries.hpp"
#include "fuzz/scratch.hpp"
#include "platform/json/json.hpp"
#include "platform/ml/ml_error.hpp"
#include "platform/ml/model.hpp"
#include "platform/ml/model_program.hpp"

namespace fuzzentries {

namespace {

namespace ml = platform::ml;

// A program that answers every declared output with zeros; its parameters may name a
// "refuse" flag so that factories refusing their parameters are reached as well.
class ZeroProgram final : public ml::ModelProgram {
 public:
  explicit ZeroProgram(ml::ModelDescription description) : description_(std::move(description)) {}
  ml::DictionaryFeatureProvider predict(const ml::DictionaryFeatureProvider&, ml::State*,
                                        std::stop_token) const override {
    ml::DictionaryFeatureProvider outputs;
    for (const auto& output : description_.outputs) {
      if (!output.multiArrayConstraint) continue;
      ml::Shape shape = output.multiArrayConstraint->shape;
      for (auto& d : shape) d = std::max<std::int64_t>(d, 1);
      if (ml::elementCount(shape) > kSmall) continue;
      outputs.set(output.name, ml::MultiArray(shape, output.multiArrayConstraint->dataType));
    }
    return outputs;
  }
  static constexpr std::int64_t kSmall = 1 << 14;

 private:
  ml::ModelDescription description_;
};

void registerProgram() {
  static const bool registered = [] {
    ml::ModelProgramRegistry::shared().add(
        "zeros", [](const platform::json::Json& parameters, const ml::ModelDescription& description) {
          if (parameters.contains("refuse")) throw std::invalid_argument("refused");
          return std::make_shared<const ZeroProgram>(description);
        });
    return true;
  }();
  (void)registered;
}

// Zero inputs of the declared shapes (free dimensions 2), or absent when they would be large.
std::optional<ml::DictionaryFeatureProvider> smallZeroInputs(const ml::ModelDescription& description) {
  ml::DictionaryFeatureProvider inputs;
  std::int64_t total = 0;
  for (const auto& input : description.inputs) {
    if (!input.multiArrayConstraint) return std::nullopt;
    ml::Shape shape = input.multiArrayConstraint->shape;
    for (auto& d : shape) {
      if (d < 0) d = 2;
      if (d > ZeroProgram::kSmall) return std::nullopt;
    }
    total += ml::elementCount(shape);
    if (total > ZeroProgram::kSmall) return std::nullopt;
    inputs.set(input.name, ml::MultiArray(shape, input.multiArrayConstraint->dataType));
  }
  for (const auto& state : description.states) {
    if (!state.multiArrayConstraint) return std::nullopt;
    for (auto d : state.multiArrayConstraint->shape) {
      if (d > ZeroProgram::kSmall) return std::nullopt;
    }
    total += ml::elementCount(state.multiArrayConstraint->shape);
    if (total > ZeroProgram::kSmall) return std::nullopt;
  }
  return inputs;
}

}  // namespace

void modelFolder(std::span<const std::uint8_t> input) {
  registerProgram();
  const auto folder = scratchFolder() / "Fuzzed.mlmodelc";
  const auto separator = std::find(input.begin(), input.end(), std::uint8_t{0});
  const auto jsonSize = static_cast<std::size_t>(separator - input.begin());
  writeScratchFile(folder / "model.json", input.first(jsonSize));
  std::error_code error;
  std::filesystem::remove(folder / "weights.bin", error);
  if (separator != input.end()) writeScratchFile(folder / "weights.bin", input.subspan(jsonSize + 1));

  std::shared_ptr<const ml::Model> model;
  try {
    model = ml::Model::load(folder);
  } catch (const ml::ModelLoadError&) {
    return;
  }
  const auto inputs = smallZeroInputs(model->description());
  if (!inputs) return;
  try {
    if (model->description().states.empty()) {
      (void)model->predict(*inputs);
    } else {
      ml::State state = model->makeState();
      (void)model->predict(*inputs, state);
      (void)model->predict(*inputs, state);
    }
  } catch (const ml::MLError&) {
    // Shapes that do not fit the graph's operations are refused at prediction.
  }
}

}  // namespace fuzzentries
