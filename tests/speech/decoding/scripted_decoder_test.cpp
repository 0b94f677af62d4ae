#include "support/scripted_decoder/scripted_decoder.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "core/ml_helpers.hpp"
#include "platform/ml/ml_error.hpp"
#include "platform/ml/model.hpp"
#include "platform/sync/cancellation.hpp"
#include "support/temporary_folder.hpp"

namespace testsupport {
namespace {

using platform::ml::DataType;
using platform::ml::MultiArray;

constexpr int kEnd = 50257;

// One set of decoder inputs for cache length p with masks as the decoding loop keeps them.
class StepInputs {
 public:
  StepInputs(const ScriptedDecoderSpec& setup, int windowKey, int p) {
    const std::int64_t e = setup.embedDim, m = setup.maxSequenceLength;
    features_.set("input_ids", noxtal::makeMultiArray({1}, DataType::int32, std::int32_t{0}));
    features_.set("cache_length", noxtal::makeMultiArray({1}, DataType::int32, std::int32_t{p}));
    features_.set("key_cache", MultiArray({1, e, 1, m}, DataType::float16));
    features_.set("value_cache", MultiArray({1, e, 1, m}, DataType::float16));
    MultiArray update({1, m}, DataType::int32);
    update.setFloat(p, 1);
    features_.set("kv_cache_update_mask", update);
    MultiArray encoder({1, setup.embedSize, 1, setup.windowSize}, DataType::float16);
    encoder.setFloat(0, static_cast<float>(windowKey) + 0.2F);
    features_.set("encoder_output_embeds", encoder);
    MultiArray padding({1, m}, DataType::float16);
    for (std::int64_t i = p + 1; i < m; ++i) padding.setFloat(i, -10000);
    features_.set("decoder_key_padding_mask", padding);
  }
  platform::ml::DictionaryFeatureProvider& features() { return features_; }

 private:
  platform::ml::DictionaryFeatureProvider features_;
};

class ScriptedDecoder : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { registerScriptedTextDecoder(); }
  ScriptedDecoder() {
    spec_.vocabularySize = 60000;
    spec_.sequences = {{1, {50258, 50364, 11, 12, 50400}}, {2, {50258, 21}}};
    spec_.extraLogits = {{2, {{13, 20.0F}, {14, 9.5F}}}};
    spec_.alignmentFrame = {{1, 6}};
  }
  std::shared_ptr<const platform::ml::Model> load() {
    return platform::ml::Model::load(writeScriptedDecoder(folder_.path(), spec_));
  }
  static int argmaxOf(const platform::ml::DictionaryFeatureProvider& out) {
    const auto values = out.multiArray("logits")->toFloatVector();
    return static_cast<int>(std::max_element(values.begin(), values.end()) - values.begin());
  }
  TemporaryFolder folder_{"scripted_decoder"};
  ScriptedDecoderSpec spec_;
};

TEST_F(ScriptedDecoder, PredictsTheScriptWithCacheSlicesAndAlignment) {
  const auto model = load();
  EXPECT_EQ(model->description().inputs.size(), 7U);
  EXPECT_TRUE(model->description().output("alignment_heads_weights"));
  const std::vector<int> expected{50364, 11, 13, 50400, kEnd, kEnd};
  for (int p = 0; p < static_cast<int>(expected.size()); ++p) {
    StepInputs inputs(spec_, 1, p);
    const auto out = model->predict(inputs.features());
    EXPECT_EQ(argmaxOf(out), expected[static_cast<std::size_t>(p)]) << "step " << p;
    const auto logits = out.multiArray("logits")->toFloatVector();
    EXPECT_EQ(logits[0], 0.0F);
    EXPECT_EQ(logits[static_cast<std::size_t>(expected[static_cast<std::size_t>(p)])], p == 2 ? 20.0F : 10.0F);
    const MultiArray keys = *out.multiArray("key_cache_updates");
    EXPECT_EQ(keys.shape(), (platform::ml::Shape{1, 4, 1, 1}));
    EXPECT_EQ(keys.toFloatVector(), std::vector<float>(4, static_cast<float>(p + 1)));
    EXPECT_EQ(out.multiArray("value_cache_updates")->toFloatVector(), std::vector<float>(4, -static_cast<float>(p + 1)));
    const auto row = out.multiArray("alignment_heads_weights")->toFloatVector();
    EXPECT_EQ(std::count(row.begin(), row.end(), 1.0F), p == 1 ? 1 : 0);
    if (p == 1) {
      EXPECT_EQ(row[6], 1.0F);
    }
  }
  StepInputs other(spec_, 2, 0);
  EXPECT_EQ(argmaxOf(model->predict(other.features())), 21);
  StepInputs unknown(spec_, 3, 0);
  EXPECT_THROW(model->predict(unknown.features()), platform::ml::PredictionError);
}

TEST_F(ScriptedDecoder, StrictModeNamesTheMaskThatIsWrong) {
  spec_.strict = true;
  spec_.alignment = false;
  const auto model = load();
  EXPECT_FALSE(model->description().output("alignment_heads_weights"));
  StepInputs good(spec_, 1, 3);
  EXPECT_EQ(argmaxOf(model->predict(good.features())), 50400);
  StepInputs staleUpdate(spec_, 1, 3);
  MultiArray update = *staleUpdate.features().multiArray("kv_cache_update_mask");
  update.setFloat(2, 1);
  try {
    model->predict(staleUpdate.features());
    ADD_FAILURE() << "stale update mask accepted";
  } catch (const platform::ml::PredictionError& e) {
    EXPECT_NE(std::string(e.what()).find("kv_cache_update_mask"), std::string::npos) << e.what();
  }
  StepInputs stalePadding(spec_, 1, 3);
  MultiArray padding = *stalePadding.features().multiArray("decoder_key_padding_mask");
  padding.setFloat(5, 0);
  try {
    model->predict(stalePadding.features());
    ADD_FAILURE() << "stale padding mask accepted";
  } catch (const platform::ml::PredictionError& e) {
    EXPECT_NE(std::string(e.what()).find("decoder_key_padding_mask"), std::string::npos) << e.what();
  }
}

TEST_F(ScriptedDecoder, FailsAtItsStepAndHonoursTheStopTokenWhileDelayed) {
  spec_.failAtStep = 2;
  spec_.delayMs = 10000;
  const auto model = load();
  std::stop_source stop;
  stop.request_stop();
  StepInputs first(spec_, 1, 0);
  EXPECT_THROW(model->predict(first.features(), {}, stop.get_token()), platform::sync::CancellationError);
  StepInputs failing(spec_, 1, 2);
  EXPECT_THROW(model->predict(failing.features()), platform::ml::PredictionError);
}

TEST_F(ScriptedDecoder, ConcurrentPredictionsFollowTheirOwnWindows) {
  spec_.strict = true;
  const auto model = load();
  std::vector<int> failures(4, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        const int window = t % 2 + 1;
        for (int p = 0; p < 8; ++p) {
          StepInputs inputs(spec_, window, p);
          const auto& sequence = spec_.sequences.at(window);
          int expected = static_cast<std::size_t>(p) + 1 < sequence.size() ? sequence[static_cast<std::size_t>(p) + 1] : kEnd;
          if (p == 2) expected = 13;  // the extra logits apply to every window
          if (argmaxOf(model->predict(inputs.features())) != expected) ++failures[static_cast<std::size_t>(t)];
        }
      });
    }
  }
  EXPECT_EQ(failures, (std::vector<int>{0, 0, 0, 0}));
}

}  // namespace
}  // namespace testsupport
