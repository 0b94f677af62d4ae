#include "platform/ml/model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stop_token>

#include "support/model_folder_writer.hpp"
#include "platform/ml/model_program.hpp"
#include "platform/sync/cancellation.hpp"

namespace platform::ml {
namespace {

using platform::json::Json;
using testsupport::feature;

const std::vector<float> kWeights = {0.5f, -1.0f, 0.25f, 1.0f, 0.0f, -0.5f, 2.0f, 1.0f, 1.0f, -2.0f, 0.5f, 0.0f};
const std::vector<float> kBias = {0.1f, 0.2f, -0.3f};

// y = softmax(relu(x W + b)) over the last axis; W is 4 x 3 in weights.bin, b inline.
Json classifierModel(std::int64_t weightsOffset) {
  return {
      {"formatVersion", 1},
      {"inputs", {feature("x", "float32", {-1, 4})}},
      {"outputs",
       {feature("probabilities", "float16", {-1, 3}), feature("best", "int32", {-1}), feature("total", "float32", {})}},
      {"graph",
       {{"nodes",
         {{{"op", "constant"}, {"output", "w"}, {"dataType", "float32"}, {"shape", {4, 3}}, {"offset", weightsOffset}},
          {{"op", "constant"}, {"output", "b"}, {"dataType", "float32"}, {"shape", {3}}, {"values", {0.1, 0.2, -0.3}}},
          {{"op", "matmul"}, {"inputs", {"x", "w"}}, {"output", "xw"}},
          {{"op", "add"}, {"inputs", {"xw", "b"}}, {"output", "h"}},
          {{"op", "relu"}, {"inputs", {"h"}}, {"output", "r"}},
          {{"op", "softmax"}, {"inputs", {"r"}}, {"output", "probabilities"}, {"axis", -1}},
          {{"op", "argmax"}, {"inputs", {"r"}}, {"output", "best"}, {"axis", -1}},
          {{"op", "reduce_sum"}, {"inputs", {"r"}}, {"output", "total"}}}}}}};
}

std::vector<float> referenceHidden(const std::vector<float>& x, std::size_t rows) {
  std::vector<float> r(rows * 3);
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < 3; ++j) {
      float sum = 0;
      for (std::size_t p = 0; p < 4; ++p) sum += x[i * 4 + p] * kWeights[p * 3 + j];
      r[i * 3 + j] = std::max(0.0f, sum + kBias[j]);
    }
  }
  return r;
}

class ModelTest : public ::testing::Test {
 protected:
  std::filesystem::path writeClassifier() {
    std::string weights(8, '\0');  // padding before the tensor, so the offset matters
    const std::int64_t offset = testsupport::appendFloats(weights, kWeights);
    return testsupport::writeModelFolder(folder_.path(), "Classifier", classifierModel(offset), weights);
  }
  testsupport::TemporaryFolder folder_;
};

TEST_F(ModelTest, GraphModelFromFolder) {
  const auto model = Model::load(writeClassifier(), ModelConfiguration{ComputeUnits::cpuOnly});
  EXPECT_EQ(model->configuration().computeUnits, ComputeUnits::cpuOnly);
  ASSERT_NE(model->description().output("probabilities"), nullptr);
  EXPECT_EQ(model->description().input("x")->multiArrayConstraint->shape, (Shape{-1, 4}));

  const std::vector<float> x = {1, 2, 3, 4, -1, 0.5f, 2, 0, 0, 0, 0, 0};
  DictionaryFeatureProvider input;
  input.set("x", MultiArray::fromValues<float>({3, 4}, x));
  const DictionaryFeatureProvider output = model->predict(input);
  EXPECT_EQ(output.featureNames(), (std::vector<std::string>{"best", "probabilities", "total"}));

  const std::vector<float> r = referenceHidden(x, 3);
  const MultiArray probabilities = *output.multiArray("probabilities");
  EXPECT_EQ(probabilities.dataType(), DataType::float16);
  EXPECT_EQ(probabilities.shape(), (Shape{3, 3}));
  const MultiArray best = *output.multiArray("best");
  EXPECT_EQ(best.dataType(), DataType::int32);
  double total = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const float* row = &r[i * 3];
    const float denominator = std::exp(row[0]) + std::exp(row[1]) + std::exp(row[2]);
    for (std::size_t j = 0; j < 3; ++j) {
      EXPECT_NEAR(probabilities.floatAt(static_cast<std::int64_t>(i * 3 + j)), std::exp(row[j]) / denominator, 1e-3);
      total += row[j];
    }
    EXPECT_EQ(best.span<std::int32_t>()[i], std::max_element(row, row + 3) - row);
  }
  EXPECT_NEAR(output.multiArray("total")->floatAt(0), total, 1e-4);

  // Bit-identical from run to run.
  const DictionaryFeatureProvider again = model->predict(input);
  EXPECT_EQ(again.multiArray("total")->floatAt(0), output.multiArray("total")->floatAt(0));
}

TEST_F(ModelTest, InputsAreValidatedAndConverted) {
  const auto model = Model::load(writeClassifier());
  struct Case {
    const char* label;
    DictionaryFeatureProvider input;
    const char* message;
  };
  DictionaryFeatureProvider missing;
  missing.set("y", MultiArray({1, 4}, DataType::float32));
  DictionaryFeatureProvider wrongRank;
  wrongRank.set("x", MultiArray({4}, DataType::float32));
  DictionaryFeatureProvider wrongShape;
  wrongShape.set("x", MultiArray({2, 5}, DataType::float32));
  const Case cases[] = {
      {"missing", missing, "Missing input feature \"x\""},
      {"rank", wrongRank, "Input feature \"x\": expected rank 2 (shape [-1, 4]), got rank 1 (shape [4])"},
      {"shape", wrongShape, "Input feature \"x\": expected shape [-1, 4], got [2, 5]"},
  };
  for (const Case& c : cases) {
    try {
      (void)model->predict(c.input);
      ADD_FAILURE() << c.label << ": no error";
    } catch (const PredictionError& e) {
      EXPECT_STREQ(e.what(), c.message) << c.label;
    }
  }
  // Another element type is converted to the declared one.
  DictionaryFeatureProvider asIntegers;
  asIntegers.set("x", MultiArray::fromValues<std::int32_t>({1, 4}, std::vector<std::int32_t>{1, 2, 3, 4}));
  DictionaryFeatureProvider asFloats;
  asFloats.set("x", MultiArray::fromValues<float>({1, 4}, std::vector<float>{1, 2, 3, 4}));
  EXPECT_EQ(model->predict(asIntegers).multiArray("total")->floatAt(0),
            model->predict(asFloats).multiArray("total")->floatAt(0));
}

TEST_F(ModelTest, CancelledPredictionThrows) {
  const auto model = Model::load(writeClassifier());
  DictionaryFeatureProvider input;
  input.set("x", MultiArray({1, 4}, DataType::float32));
  std::stop_source source;
  source.request_stop();
  EXPECT_THROW((void)model->predict(input, {}, source.get_token()), platform::sync::CancellationError);
}

// A program that multiplies "in" by its "factor" parameter and, when stateful, counts calls.
class ScaleProgram final : public ModelProgram {
 public:
  explicit ScaleProgram(double factor, bool wrongShape) : factor_(factor), wrongShape_(wrongShape) {}
  DictionaryFeatureProvider predict(const DictionaryFeatureProvider& inputs, State* state,
                                    std::stop_token) const override {
    const MultiArray in = *inputs.multiArray("in");
    EXPECT_EQ(in.dataType(), DataType::int32);  // converted from what the caller gave
    MultiArray out(wrongShape_ ? Shape{3} : in.shape(), DataType::float64);
    for (std::int64_t i = 0; i < in.count(); ++i) out.setDouble(i, in.doubleAt(i) * factor_);
    if (state != nullptr) {
      MultiArray count = *state->multiArray("calls");
      count.setDouble(0, count.doubleAt(0) + 1);
    }
    DictionaryFeatureProvider outputs;
    outputs.set("out", out);
    return outputs;
  }

 private:
  double factor_;
  bool wrongShape_;
};

Json scaleModel(double factor, bool wrongShape = false) {
  return {{"formatVersion", 1},
          {"inputs", {feature("in", "int32", {2})}},
          {"outputs", {feature("out", "float32", {2}), feature("extra", "float32", {1}, true)}},
          {"states", {feature("calls", "int32", {1})}},
          {"program", {{"name", "test.scale"}, {"parameters", {{"factor", factor}, {"wrongShape", wrongShape}}}}}};
}

class ProgramModelTest : public ModelTest {
 protected:
  void SetUp() override {
    ModelProgramRegistry::shared().add("test.scale", [](const Json& parameters, const ModelDescription& description) {
      EXPECT_NE(description.input("in"), nullptr);
      return std::make_shared<ScaleProgram>(platform::json::requireAs<double>(parameters, "factor"),
                                            platform::json::requireAs<bool>(parameters, "wrongShape"));
    });
  }
  void TearDown() override { ModelProgramRegistry::shared().remove("test.scale"); }
};

TEST_F(ProgramModelTest, RunsRegisteredProgramWithState) {
  const auto model = Model::load(testsupport::writeModelFolder(folder_.path(), "Scale", scaleModel(2.5)));
  DictionaryFeatureProvider input;
  input.set("in", MultiArray::fromValues<float>({2}, std::vector<float>{3, -4}));
  const DictionaryFeatureProvider output = model->predict(input);
  EXPECT_EQ(output.featureNames(), std::vector<std::string>{"out"});  // optional output left out
  EXPECT_EQ(output.multiArray("out")->dataType(), DataType::float32);
  EXPECT_EQ(output.multiArray("out")->toFloatVector(), (std::vector<float>{7.5f, -10.0f}));

  State state = model->makeState();
  (void)model->predict(input, state);
  (void)model->predict(input, state);
  EXPECT_EQ(state.multiArray("calls")->doubleAt(0), 2.0);
  EXPECT_EQ(model->makeState().multiArray("calls")->doubleAt(0), 0.0);

  const auto other = Model::load(testsupport::writeModelFolder(folder_.path(), "Other", scaleModel(1)));
  EXPECT_THROW((void)other->predict(input, state), PredictionError);
}

TEST_F(ProgramModelTest, OutputNotMatchingTheDescriptionIsAnError) {
  const auto model = Model::load(testsupport::writeModelFolder(folder_.path(), "Bad", scaleModel(1, true)));
  DictionaryFeatureProvider input;
  input.set("in", MultiArray({2}, DataType::int32));
  try {
    (void)model->predict(input);
    FAIL() << "no error";
  } catch (const PredictionError& e) {
    EXPECT_STREQ(e.what(), "Output feature \"out\": expected shape [2], got [3]");
  }
}

TEST_F(ModelTest, StatefulGraphAccumulates) {
  const Json model = {{"formatVersion", 1},
                      {"inputs", {feature("x", "float32", {1, 2})}},
                      {"outputs", {feature("sum", "float32", {1, 2})}},
                      {"states", {feature("total", "float16", {1, 2})}},
                      {"graph",
                       {{"nodes", {{{"op", "add"}, {"inputs", {"total", "x"}}, {"output", "sum"}}}},
                        {"stateUpdates", {{"total", "sum"}}}}}};
  const auto loaded = Model::load(testsupport::writeModelFolder(folder_.path(), "Accumulator", model));
  DictionaryFeatureProvider input;
  input.set("x", MultiArray::fromValues<float>({1, 2}, std::vector<float>{1.5f, -2}));
  State first = loaded->makeState();
  State second = loaded->makeState();
  (void)loaded->predict(input, first);
  const auto sum = loaded->predict(input, first);
  EXPECT_EQ(sum.multiArray("sum")->toFloatVector(), (std::vector<float>{3, -4}));
  EXPECT_EQ(first.multiArray("total")->toFloatVector(), (std::vector<float>{3, -4}));
  EXPECT_EQ(loaded->predict(input, second).multiArray("sum")->toFloatVector(), (std::vector<float>{1.5f, -2}));
  EXPECT_THROW((void)loaded->predict(input), PredictionError);
}

TEST_F(ModelTest, StateUpdatesAndOutputsDoNotSeeEachOthersWrites) {
  // "a" and "b" swap on every prediction; "before" is the state read, "view" a reshaped view of
  // it, "echo" a view of the input.
  const Json model = {
      {"formatVersion", 1},
      {"inputs", {feature("x", "float32", {2})}},
      {"outputs",
       {feature("before", "float32", {2}), feature("view", "float32", {1, 2}), feature("echo", "float32", {1, 2})}},
      {"states", {feature("a", "float32", {2}), feature("b", "float32", {2})}},
      {"graph",
       {{"nodes",
         {{{"op", "add"}, {"inputs", {"a", "x"}}, {"output", "before"}},
          {{"op", "reshape"}, {"inputs", {"a"}}, {"output", "view"}, {"shape", {1, 2}}},
          {{"op", "reshape"}, {"inputs", {"x"}}, {"output", "echo"}, {"shape", {1, 2}}}}},
        {"stateUpdates", {{"a", "b"}, {"b", "a"}}}}}};
  const auto loaded = Model::load(testsupport::writeModelFolder(folder_.path(), "Swap", model));
  State state = loaded->makeState();
  state.setMultiArray("a", MultiArray::fromValues<float>({2}, std::vector<float>{1, 2}));
  state.setMultiArray("b", MultiArray::fromValues<float>({2}, std::vector<float>{3, 4}));
  DictionaryFeatureProvider input;
  MultiArray x = MultiArray::fromValues<float>({2}, std::vector<float>{0, 0});
  input.set("x", x);

  const DictionaryFeatureProvider first = loaded->predict(input, state);
  EXPECT_EQ(state.multiArray("a")->toFloatVector(), (std::vector<float>{3, 4}));
  EXPECT_EQ(state.multiArray("b")->toFloatVector(), (std::vector<float>{1, 2}));
  EXPECT_EQ(first.multiArray("view")->toFloatVector(), (std::vector<float>{1, 2}));  // the value it read

  (void)loaded->predict(input, state);
  EXPECT_EQ(state.multiArray("a")->toFloatVector(), (std::vector<float>{1, 2}));
  EXPECT_EQ(first.multiArray("view")->toFloatVector(), (std::vector<float>{1, 2}));  // not changed later

  x.setFloat(0, 9);  // the caller changes its input in place
  EXPECT_EQ(first.multiArray("echo")->toFloatVector(), (std::vector<float>{0, 0}));

  State moved = std::move(state);
  EXPECT_THROW((void)loaded->predict(input, state), PredictionError);  // NOLINT(bugprone-use-after-move)
  EXPECT_NO_THROW((void)loaded->predict(input, moved));
}

TEST_F(ModelTest, LoadErrorsNameTheProblem) {
  const Json valid = classifierModel(0);
  std::string weights;
  testsupport::appendFloats(weights, kWeights);

  auto withNode = [&](Json node) {
    Json model = valid;
    model["graph"]["nodes"].push_back(std::move(node));
    return model;
  };
  Json both = valid;
  both["program"] = {{"name", "x"}};
  Json unknownTensor = withNode({{"op", "relu"}, {"inputs", {"nowhere"}}, {"output", "z"}});
  Json outsideWeights = valid;
  outsideWeights["graph"]["nodes"][0]["offset"] = 8;
  Json badVersion = valid;
  badVersion["formatVersion"] = 2;
  Json badType = valid;
  badType["inputs"][0]["dataType"] = "bfloat16";
  // An attribute beyond the float range would be an undefined conversion, not a huge epsilon.
  Json hugeEpsilon = withNode({{"op", "l2_normalize"}, {"inputs", {"x"}}, {"output", "z"}, {"epsilon", 1e300}});

  struct Case {
    const char* name;
    std::string json;  // empty: no model.json at all
    std::string weights;
    const char* expected;
  };
  const Case cases[] = {
      {"NoDescription", "", weights, "no model.json"},
      {"BadJson", "{\"formatVersion\": 1, \"inputs\": [", weights, "Malformed model.json"},
      {"UnknownOp", platform::json::dump(withNode({{"op", "fft"}, {"inputs", {"x"}}, {"output", "z"}})), weights,
       "Unknown operation \"fft\" in node \"z\""},
      {"MissingWeights", platform::json::dump(valid), "", "Missing weights file"},
      {"OutsideWeights", platform::json::dump(outsideWeights), weights, "lies outside weights.bin"},
      {"UnknownProgram", platform::json::dump(scaleModel(1)), "", "Unknown model program \"test.scale\""},
      {"BothKinds", platform::json::dump(both), weights, "exactly one of \"program\" and \"graph\""},
      {"UnknownTensor", platform::json::dump(unknownTensor), weights, "Unknown tensor \"nowhere\" used by Node \"z\""},
      {"Version", platform::json::dump(badVersion), weights, "format version 2"},
      {"DataType", platform::json::dump(badType), weights, "unknown data type \"bfloat16\""},
      {"HugeEpsilon", platform::json::dump(hugeEpsilon), weights, "\"epsilon\" must be a finite 32-bit float"},
  };
  for (const Case& c : cases) {
    const auto model = folder_.path() / (std::string(c.name) + ".mlmodelc");
    std::filesystem::create_directories(model);
    if (!c.json.empty()) testsupport::writeFile(model / "model.json", c.json);
    if (!c.weights.empty()) testsupport::writeFile(model / "weights.bin", c.weights);
    try {
      (void)Model::load(model);
      ADD_FAILURE() << c.name << ": loaded";
    } catch (const ModelLoadError& e) {
      EXPECT_NE(std::string(e.what()).find(c.expected), std::string::npos) << c.name << ": " << e.what();
    }
  }
  try {
    (void)Model::load(folder_.path() / "Missing.mlmodelc");
    ADD_FAILURE() << "missing folder loaded";
  } catch (const ModelLoadError& e) {
    EXPECT_NE(std::string(e.what()).find("Model folder not found"), std::string::npos);
  }
}

}  // namespace
}  // namespace platform::ml
