#include "support/scripted_decoder/scripted_decoder.hpp"

#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <thread>

#include "platform/json/json.hpp"
#include "platform/ml/ml_error.hpp"
#include "platform/ml/model_program.hpp"
#include "platform/sync/cancellation.hpp"
#include "platform/sys/checked_cast.hpp"

namespace testsupport {

namespace {

using platform::json::Json;
using platform::ml::DataType;
using platform::ml::MultiArray;
using platform::ml::PredictionError;

constexpr const char* kProgram = "scripted_text_decoder";
constexpr float kMasked = -10000.0F;

[[noreturn]] void fail(const std::string& message) { throw PredictionError(std::string(kProgram) + ": " + message); }

std::map<int, Json> integerKeyed(const Json& parameters, const char* key) {
  std::map<int, Json> out;
  auto it = parameters.find(key);
  if (it == parameters.end()) return out;
  for (auto entry = it->begin(); entry != it->end(); ++entry) out.emplace(std::stoi(entry.key()), entry.value());
  return out;
}

class ScriptedTextDecoder final : public platform::ml::ModelProgram {
 public:
  ScriptedTextDecoder(const Json& parameters, const platform::ml::ModelDescription& description) {
    const auto* logits = description.output("logits");
    const auto* keys = description.input("key_cache");
    if (logits == nullptr || keys == nullptr) throw std::invalid_argument("needs \"logits\" and \"key_cache\"");
    vocabulary_ = logits->multiArrayConstraint->shape.at(2);
    embedDim_ = keys->multiArrayConstraint->shape.at(1);
    const auto* alignment = description.output("alignment_heads_weights");
    if (alignment != nullptr) width_ = alignment->multiArrayConstraint->shape.at(1);
    endToken_ = platform::json::requireAs<int>(parameters, "endToken");
    peak_ = platform::json::optionalAs<float>(parameters, "peak").value_or(10.0F);
    base_ = platform::json::optionalAs<float>(parameters, "base").value_or(0.0F);
    failAtStep_ = platform::json::optionalAs<int>(parameters, "failAtStep");
    delayMs_ = platform::json::optionalAs<int>(parameters, "delayMs").value_or(0);
    strict_ = platform::json::optionalAs<bool>(parameters, "strict").value_or(false);
    for (const auto& [key, value] : integerKeyed(parameters, "sequences")) sequences_[key] = value.get<std::vector<int>>();
    for (const auto& [step, value] : integerKeyed(parameters, "extraLogits")) {
      for (auto entry = value.begin(); entry != value.end(); ++entry) {
        extraLogits_[step][std::stoi(entry.key())] = entry.value().get<float>();
      }
    }
    for (const auto& [step, value] : integerKeyed(parameters, "alignmentFrame")) alignmentFrame_[step] = value.get<int>();
  }

  platform::ml::DictionaryFeatureProvider predict(const platform::ml::DictionaryFeatureProvider& inputs,
                                                  platform::ml::State*, std::stop_token stopToken) const override {
    const MultiArray ids = input(inputs, "input_ids");
    const MultiArray length = input(inputs, "cache_length");
    if (ids.count() < 1 || length.count() < 1) fail("empty input_ids or cache_length");
    const int p = length.span<std::int32_t>()[0];
    if (failAtStep_ && *failAtStep_ == p) fail("scripted failure at step " + std::to_string(p));
    sleep(stopToken);
    if (strict_) checkMasks(inputs, p);

    const MultiArray encoder = input(inputs, "encoder_output_embeds");
    if (encoder.count() < 1) fail("empty encoder_output_embeds");
    const std::optional<int> key = platform::sys::checkedIntegerCast<int>(std::round(encoder.floatAt(0)));
    const auto script = key ? sequences_.find(*key) : sequences_.end();
    if (script == sequences_.end()) fail("no sequence for window key " + (key ? std::to_string(*key) : "NaN"));
    const std::vector<int>& sequence = script->second;
    const int next = p >= 0 && static_cast<std::size_t>(p) + 1 < sequence.size() ? sequence[static_cast<std::size_t>(p) + 1]
                                                                                 : endToken_;

    MultiArray logits({1, 1, vocabulary_}, DataType::float32);
    auto values = logits.span<float>();
    std::fill(values.begin(), values.end(), base_);
    setLogit(values, next, peak_);
    if (auto extra = extraLogits_.find(p); extra != extraLogits_.end()) {
      for (const auto& [token, logit] : extra->second) setLogit(values, token, logit);
    }

    MultiArray keys({1, embedDim_, 1, 1}, DataType::float16);
    keys.fill(p + 1);
    MultiArray valuesUpdate({1, embedDim_, 1, 1}, DataType::float16);
    valuesUpdate.fill(-(p + 1));

    platform::ml::DictionaryFeatureProvider out;
    out.set("logits", logits);
    out.set("key_cache_updates", keys);
    out.set("value_cache_updates", valuesUpdate);
    if (width_) {
      MultiArray row({1, *width_}, DataType::float16);
      if (auto frame = alignmentFrame_.find(p); frame != alignmentFrame_.end() && frame->second >= 0 &&
                                                frame->second < *width_) {
        row.setFloat(frame->second, 1);
      }
      out.set("alignment_heads_weights", row);
    }
    return out;
  }

 private:
  static MultiArray input(const platform::ml::DictionaryFeatureProvider& inputs, const char* name) {
    std::optional<MultiArray> array = inputs.multiArray(name);
    if (!array) fail(std::string("missing input ") + name);
    return *array;
  }

  static void setLogit(std::span<float> values, int token, float logit) {
    if (token >= 0 && static_cast<std::size_t>(token) < values.size()) values[static_cast<std::size_t>(token)] = logit;
  }

  void sleep(const std::stop_token& stopToken) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs_);
    while (std::chrono::steady_clock::now() < until) {
      platform::sync::throwIfStopped(stopToken);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    platform::sync::throwIfStopped(stopToken);
  }

  static void checkMasks(const platform::ml::DictionaryFeatureProvider& inputs, int p) {
    const MultiArray update = input(inputs, "kv_cache_update_mask");
    const MultiArray padding = input(inputs, "decoder_key_padding_mask");
    if (p < 0 || p >= update.count()) fail("cache_length " + std::to_string(p) + " outside the cache");
    for (std::int64_t i = 0; i < update.count(); ++i) {
      if (update.floatAt(i) != (i == p ? 1.0F : 0.0F)) {
        fail("kv_cache_update_mask is not one-hot at cache length " + std::to_string(p));
      }
    }
    for (std::int64_t i = 0; i < padding.count(); ++i) {
      if (padding.floatAt(i) != (i <= p ? 0.0F : kMasked)) {
        fail("decoder_key_padding_mask is not 0 up to cache length " + std::to_string(p) + " and -10000 after");
      }
    }
  }

  std::int64_t vocabulary_ = 0;
  std::int64_t embedDim_ = 0;
  std::optional<std::int64_t> width_;
  int endToken_ = 0;
  float peak_ = 10;
  float base_ = 0;
  std::optional<int> failAtStep_;
  int delayMs_ = 0;
  bool strict_ = false;
  std::map<int, std::vector<int>> sequences_;
  std::map<int, std::map<int, float>> extraLogits_;
  std::map<int, int> alignmentFrame_;
};

Json featureJson(const std::string& name, const std::string& dataType, std::vector<std::int64_t> shape) {
  return {{"name", name}, {"dataType", dataType}, {"shape", std::move(shape)}};
}

}  // namespace

void registerScriptedTextDecoder() {
  platform::ml::ModelProgramRegistry::shared().add(
      kProgram, [](const Json& parameters, const platform::ml::ModelDescription& description) {
        return std::make_shared<const ScriptedTextDecoder>(parameters, description);
      });
}

std::filesystem::path writeScriptedDecoder(const std::filesystem::path& folder, const ScriptedDecoderSpec& setup) {
  const std::int64_t e = setup.embedDim;
  const std::int64_t m = setup.maxSequenceLength;
  const std::int64_t w = setup.windowSize;
  const std::int64_t d = setup.embedSize;
  Json inputs = Json::array({featureJson("input_ids", "int32", {1}), featureJson("cache_length", "int32", {1}),
                             featureJson("key_cache", "float16", {1, e, 1, m}),
                             featureJson("value_cache", "float16", {1, e, 1, m}),
                             featureJson("kv_cache_update_mask", "int32", {1, m}),
                             featureJson("encoder_output_embeds", "float16", {1, d, 1, w}),
                             featureJson("decoder_key_padding_mask", "float16", {1, m})});
  Json outputs = Json::array({featureJson("logits", "float32", {1, 1, setup.vocabularySize}),
                              featureJson("key_cache_updates", "float16", {1, e, 1, 1}),
                              featureJson("value_cache_updates", "float16", {1, e, 1, 1})});
  if (setup.alignment) outputs.push_back(featureJson("alignment_heads_weights", "float16", {1, w}));

  Json sequences = Json::object();
  for (const auto& [key, sequence] : setup.sequences) sequences[std::to_string(key)] = sequence;
  Json extra = Json::object();
  for (const auto& [step, logits] : setup.extraLogits) {
    Json entry = Json::object();
    for (const auto& [token, logit] : logits) entry[std::to_string(token)] = logit;
    extra[std::to_string(step)] = entry;
  }
  Json frames = Json::object();
  for (const auto& [step, frame] : setup.alignmentFrame) frames[std::to_string(step)] = frame;
  Json parameters = {{"endToken", setup.endToken}, {"sequences", sequences}, {"peak", setup.peak},
                     {"base", setup.base},         {"extraLogits", extra},  {"alignmentFrame", frames},
                     {"delayMs", setup.delayMs},   {"strict", setup.strict}};
  if (setup.failAtStep) parameters["failAtStep"] = *setup.failAtStep;

  const Json model = {{"formatVersion", 1},
                      {"inputs", inputs},
                      {"outputs", outputs},
                      {"program", {{"name", kProgram}, {"parameters", parameters}}}};
  const std::filesystem::path modelFolder = folder / "TextDecoder.mlmodelc";
  std::filesystem::create_directories(modelFolder);
  std::ofstream(modelFolder / "model.json") << platform::json::dump(model, 2);
  return modelFolder;
}

}  // namespace testsupport
