// The model component base over small program models written by the test: the loaded-model
// slot and its load rule, the dimension readers, and the prediction helper's order of checks,
// its signpost interval and the component's own errors.
#include "core/model_component.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/ml/ml_error.hpp"
#include "platform/ml/model_program.hpp"
#include "platform/sync/cancellation.hpp"

namespace noxtal {
namespace {

namespace fs = std::filesystem;
using platform::json::Json;
using platform::ml::DataType;
using platform::ml::MultiArray;

// A library's own error, as the speech and diarization libraries supply theirs.
struct ProbeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A gate a prediction can be held at until the test opens it.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool open = true;
  void enter() {
    std::unique_lock<std::mutex> lock(mutex);
    entered = true;
    changed.notify_all();
    changed.wait(lock, [&] { return open; });
  }
};

struct ProgramLog {
  std::atomic<int> predictions{0};
  Gate gate;
};
ProgramLog& programLog() {
  static ProgramLog log;
  return log;
}

// Copies input "x" to the outputs named in "outputs" (all optional in the description), adds
// one to the state buffer "counter" when the prediction is stateful, throws when "fail" is set.
class EchoProgram final : public platform::ml::ModelProgram {
 public:
  explicit EchoProgram(const Json& p)
      : outputs_(p.at("outputs").get<std::vector<std::string>>()), fail_(p.value("fail", false)) {}

  platform::ml::DictionaryFeatureProvider predict(const platform::ml::DictionaryFeatureProvider& inputs,
                                                  platform::ml::State* state, std::stop_token) const override {
    ProgramLog& log = programLog();
    ++log.predictions;
    log.gate.enter();
    if (fail_) throw platform::ml::PredictionError("echo failure");
    if (state != nullptr) {
      MultiArray counter = *state->multiArray("counter");
      counter.span<float>()[0] += 1.0F;
    }
    platform::ml::DictionaryFeatureProvider out;
    for (const auto& name : outputs_) out.set(name, *inputs.multiArray("x"));
    return out;
  }

 private:
  std::vector<std::string> outputs_;
  bool fail_;
};

class ProbeComponent final : public ModelComponent {
 public:
  // Predicts with "y" required.
  MultiArray run(const MultiArray& x, std::stop_token stopToken = {}, platform::ml::State* state = nullptr) const {
    platform::ml::DictionaryFeatureProvider inputs;
    inputs.set("x", x);
    auto outputs = predict(inputs, {signposter(), "ProbeInterval"}, {"y"}, std::move(stopToken), state);
    return *outputs.multiArray("y");
  }
  // Predicts with "y" and "z" required, the names given as a run-time list.
  void runNeedingBoth(const MultiArray& x) const {
    platform::ml::DictionaryFeatureProvider inputs;
    inputs.set("x", x);
    const std::vector<std::string_view> required = {"y", "z"};
    predict(inputs, {signposter(), "ProbeInterval"}, required);
  }
  static const platform::log::Logger& signposter() {
    static const platform::log::Logger logger("com.velmoria.test", "Probe");
    return logger;
  }

 protected:
  [[noreturn]] void throwModelsUnavailable() const override { throw ProbeError("probe has no model"); }
  [[noreturn]] void throwMissingOutput(std::string_view name) const override {
    throw ProbeError("probe output lacks " + std::string(name));
  }
};

// Keeps its model in a slot of its own: the base's load rule must go through the override.
class SelfStoringComponent final : public ModelComponent {
 public:
  LoadedModel model() const override { return own_.get(); }
  void setModel(LoadedModel model) override {
    ++writes;
    own_.set(std::move(model));
  }
  int writes = 0;

 protected:
  [[noreturn]] void throwModelsUnavailable() const override { throw ProbeError("none"); }
  [[noreturn]] void throwMissingOutput(std::string_view) const override { throw ProbeError("missing"); }

 private:
  Protected<LoadedModel> own_;
};

class ModelComponentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    platform::ml::ModelProgramRegistry::shared().add("model_component_test.echo",
                                                     [](const Json& parameters, const platform::ml::ModelDescription&) {
                                                       return std::make_shared<const EchoProgram>(parameters);
                                                     });
  }

  void SetUp() override {
    std::random_device random;
    root_ = fs::temp_directory_path() / ("noxtal_model_component_" + std::to_string(random()));
    fs::create_directories(root_);
    programLog().predictions = 0;
    previousMinimum_ = platform::log::minimumLevel();
    platform::log::setMinimumLevel(platform::log::Level::debug);
    platform::log::setSink([this](const platform::log::Record& r) {
      if (r.category != "Probe") return;
      std::lock_guard<std::mutex> guard(mutex_);
      signposts_.emplace_back(r.message);
    });
  }
  void TearDown() override {
    platform::log::setSink(nullptr);
    platform::log::setMinimumLevel(previousMinimum_);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // A model with input "x" of `inputShape`, optional outputs "y" and "z" of `outputShape`,
  // producing the outputs named in `produced`; stateful (a one-float "counter") when asked.
  fs::path writeModel(const std::string& name, platform::ml::Shape inputShape, platform::ml::Shape outputShape,
                      std::vector<std::string> produced = {"y"}, bool fail = false, bool stateful = false) {
    const fs::path folder = root_ / (name + ".mlmodelc");
    fs::create_directories(folder);
    Json outputs = Json::array();
    for (const char* output : {"y", "z"}) {
      outputs.push_back({{"name", output}, {"dataType", "float32"}, {"shape", outputShape}, {"optional", true}});
    }
    Json model = {
        {"formatVersion", 1},
        {"inputs", Json::array({{{"name", "x"}, {"dataType", "float32"}, {"shape", inputShape}}})},
        {"outputs", outputs},
        {"program", {{"name", "model_component_test.echo"}, {"parameters", {{"outputs", produced}, {"fail", fail}}}}}};
    if (stateful) {
      model["states"] = Json::array({{{"name", "counter"}, {"dataType", "float32"}, {"shape", {1}}}});
    }
    std::ofstream(folder / "model.json") << model.dump();
    return folder;
  }
  fs::path echoModel() { return writeModel("Echo", {2}, {2}); }

  std::vector<std::string> signposts() {
    std::lock_guard<std::mutex> guard(mutex_);
    return signposts_;
  }

  fs::path root_;
  std::mutex mutex_;
  std::vector<std::string> signposts_;
  platform::log::Level previousMinimum_ = platform::log::Level::info;
};

MultiArray pair() { return MultiArray::fromValues<float>({2}, std::vector<float>{1.5F, -2.0F}); }

TEST_F(ModelComponentTest, LoadKeepsPrewarmDropsUnloadDrops) {
  ProbeComponent probe;
  EXPECT_EQ(probe.modelState(), ModelState::unloaded);
  probe.loadModel(echoModel(), platform::ml::ComputeUnits::cpuAndGPU, false);
  ASSERT_NE(probe.model(), nullptr);
  EXPECT_EQ(probe.model()->configuration().computeUnits, platform::ml::ComputeUnits::cpuAndGPU);
  EXPECT_EQ(probe.modelState(), ModelState::loaded);

  probe.loadModel(echoModel(), platform::ml::ComputeUnits::all, true);
  EXPECT_EQ(probe.model(), nullptr);

  probe.loadModel(echoModel(), platform::ml::ComputeUnits::all, false);
  EXPECT_THROW(probe.loadModel(root_ / "Missing.mlmodelc", platform::ml::ComputeUnits::all, true),
               platform::ml::ModelLoadError);
  EXPECT_NE(probe.model(), nullptr) << "a failed prewarm keeps the model";
  probe.unloadModel();
  EXPECT_EQ(probe.modelState(), ModelState::unloaded);
}

TEST_F(ModelComponentTest, LoadRuleGoesThroughAnOverriddenSlot) {
  SelfStoringComponent component;
  component.loadModel(echoModel(), platform::ml::ComputeUnits::all, false);
  EXPECT_EQ(component.writes, 1);
  EXPECT_EQ(component.modelState(), ModelState::loaded);
  EXPECT_EQ(component.inputDimension("x", 0), 2);
  component.unloadModel();
  EXPECT_EQ(component.writes, 2);
  EXPECT_EQ(component.modelState(), ModelState::unloaded);
}

TEST_F(ModelComponentTest, DimensionReadersAnswerOnlyDeclaredFixedDimensions) {
  ProbeComponent probe;
  EXPECT_FALSE(probe.inputDimension("x", 0)) << "no model";
  probe.loadModel(writeModel("Shapes", {3, -1}, {1, 4294967296, 7}), platform::ml::ComputeUnits::all, false);
  EXPECT_EQ(probe.inputDimension("x", 0), 3);
  EXPECT_FALSE(probe.inputDimension("x", 1)) << "free dimension";
  EXPECT_FALSE(probe.inputDimension("x", 2)) << "past the shape";
  EXPECT_FALSE(probe.inputDimension("y", 0)) << "an output is not an input";
  EXPECT_EQ(probe.outputDimension("y", 2), 7);
  EXPECT_FALSE(probe.outputDimension("y", 1)) << "does not fit an int";
  EXPECT_FALSE(probe.outputDimension("missing", 0));
  EXPECT_FALSE(probe.outputDimension("y", static_cast<std::size_t>(-1)));
}

TEST_F(ModelComponentTest, PredictionReturnsTheOutputsInsideOneSignpostInterval) {
  ProbeComponent probe;
  probe.loadModel(echoModel(), platform::ml::ComputeUnits::all, false);
  const MultiArray x = pair();
  const MultiArray y = probe.run(x);
  EXPECT_EQ(y.shape(), x.shape());
  EXPECT_EQ(y.span<float>()[0], 1.5F);
  EXPECT_EQ(programLog().predictions.load(), 1);
  const auto lines = signposts();
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[0], "begin ProbeInterval");
  EXPECT_EQ(lines[1].rfind("end ProbeInterval", 0), 0U);
}

TEST_F(ModelComponentTest, ChecksComeInOrderWithTheComponentsErrors) {
  ProbeComponent probe;
  std::stop_source stopped;
  stopped.request_stop();
  // No model wins over cancellation.
  try {
    probe.run(pair(), stopped.get_token());
    FAIL() << "expected the component's error";
  } catch (const ProbeError& e) {
    EXPECT_STREQ(e.what(), "probe has no model");
  }

  probe.loadModel(echoModel(), platform::ml::ComputeUnits::all, false);
  EXPECT_THROW(probe.run(pair(), stopped.get_token()), platform::sync::CancellationError);
  EXPECT_EQ(programLog().predictions.load(), 0);
  EXPECT_TRUE(signposts().empty()) << "no interval begins for a cancelled call";

  try {
    probe.runNeedingBoth(pair());
    FAIL() << "expected the component's error";
  } catch (const ProbeError& e) {
    EXPECT_STREQ(e.what(), "probe output lacks z");
  }
  EXPECT_EQ(programLog().predictions.load(), 1);
}

TEST_F(ModelComponentTest, PredictionErrorPassesUnchangedAndEndsTheInterval) {
  ProbeComponent probe;
  probe.loadModel(writeModel("Failing", {2}, {2}, {"y"}, true), platform::ml::ComputeUnits::all, false);
  EXPECT_THROW(probe.run(pair()), platform::ml::PredictionError);
  const auto lines = signposts();
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(lines[1].rfind("end ProbeInterval", 0), 0U);
}

TEST_F(ModelComponentTest, StatefulPredictionUsesTheCallersState) {
  ProbeComponent probe;
  probe.loadModel(writeModel("Stateful", {2}, {2}, {"y"}, false, true), platform::ml::ComputeUnits::all, false);
  platform::ml::State state = probe.model()->makeState();
  probe.run(pair(), {}, &state);
  probe.run(pair(), {}, &state);
  EXPECT_EQ(state.multiArray("counter")->span<float>()[0], 2.0F);
}

TEST_F(ModelComponentTest, UnloadDuringAPredictionLetsItFinishOnItsModel) {
  ProbeComponent probe;
  probe.loadModel(echoModel(), platform::ml::ComputeUnits::all, false);
  Gate& gate = programLog().gate;
  {
    std::lock_guard<std::mutex> guard(gate.mutex);
    gate.entered = false;
    gate.open = false;
  }
  std::optional<MultiArray> result;
  std::jthread running([&] { result = probe.run(pair()); });
  {
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.changed.wait(lock, [&] { return gate.entered; });
  }
  probe.unloadModel();
  EXPECT_EQ(probe.modelState(), ModelState::unloaded);
  {
    std::lock_guard<std::mutex> guard(gate.mutex);
    gate.open = true;
  }
  gate.changed.notify_all();
  running.join();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->span<float>()[1], -2.0F);
  EXPECT_THROW(probe.run(pair()), ProbeError);
}

}  // namespace
}  // namespace noxtal
