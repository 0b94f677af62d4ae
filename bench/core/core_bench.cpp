// Benchmarks of the core foundation: configuration values from a large tokenizer-shaped JSON
// file, compared with the JSON parser alone, and a logging call that the level drops.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "core/config.hpp"
#include "core/logging.hpp"
#include "platform/json/json.hpp"

namespace {

using platform::json::Json;

// About 2.5 MB in the shape of a byte-level BPE "tokenizer.json": a vocabulary object of 50,000
// entries (some keys with the U+0120 space marker or other non-ASCII letters), 120,000 merges,
// added tokens and the pipeline stages.
const std::string& tokenizerJson() {
  static const std::string text = [] {
    std::mt19937 rng(42);
    const std::string letters = "abcdefghijklmnopqrstuvwxyz";
    auto word = [&](int minLength, int maxLength) {
      std::string w;
      const int n = std::uniform_int_distribution<int>(minLength, maxLength)(rng);
      for (int i = 0; i < n; ++i) w.push_back(letters[rng() % letters.size()]);
      return w;
    };
    std::string s = R"({"version":"1.0","truncation":null,"padding":null,"added_tokens":[)";
    for (int i = 0; i < 12; ++i) {
      if (i) s += ',';
      s += R"({"id":)" + std::to_string(50000 + i) + R"(,"content":"<|special_)" + std::to_string(i) +
           R"(|>","single_word":false,"lstrip":false,"rstrip":false,"normalized":false,"special":true})";
    }
    s += R"(],"normalizer":{"type":"Sequence","normalizers":[{"type":"NFC"},{"type":"Lowercase"}]},)";
    s += R"("pre_tokenizer":{"type":"ByteLevel","add_prefix_space":false,"trim_offsets":true,"use_regex":true},)";
    s += R"("post_processor":{"type":"TemplateProcessing","single":[{"SpecialToken":{"id":"<s>","type_id":0}},)"
         R"({"Sequence":{"id":"A","type_id":0}}],"special_tokens":{"<s>":{"id":"<s>","ids":[1],"tokens":["<s>"]}}},)";
    s += R"("decoder":{"type":"ByteLevel","add_prefix_space":true,"trim_offsets":true,"use_regex":true},)";
    s += R"("model":{"type":"BPE","dropout":null,"unk_token":null,"continuing_subword_prefix":"",)"
         R"("end_of_word_suffix":"","fuse_unk":false,"byte_fallback":false,"vocab":{)";
    for (int i = 0; i < 50000; ++i) {
      if (i) s += ',';
      std::string key = word(3, 12) + std::to_string(i);
      if (i % 3 == 0) key = "\xC4\xA0" + key;      // U+0120, the byte-level space marker
      if (i % 17 == 0) key += "\xC3\xA9\xC5\x82";  // é and ł
      s += '"' + key + "\":" + std::to_string(i);
    }
    s += R"(},"merges":[)";
    for (int i = 0; i < 120000; ++i) {
      if (i) s += ',';
      s += '"' + word(1, 7) + ' ' + word(1, 7) + '"';
    }
    s += "]}}";
    return s;
  }();
  return text;
}

// nlohmann's parse of the text into its std::map-backed tree.
void BM_JsonParseOnly(benchmark::State& state) {
  const std::string& text = tokenizerJson();
  for (auto _ : state) {
    auto tree = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(tree);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["json_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_JsonParseOnly)->Unit(benchmark::kMillisecond);

// The project's ordered tree (platform::json::parse): insertion-ordered objects look each key
// up linearly, so a 50,000-key object costs quadratic time.
void BM_JsonParseOrdered(benchmark::State& state) {
  const std::string& text = tokenizerJson();
  for (auto _ : state) {
    auto tree = platform::json::parse(text);
    benchmark::DoNotOptimize(tree);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_JsonParseOrdered)->Unit(benchmark::kMillisecond);

// An ordered tree built without the linear key search (keys are unique in a std::map tree).
Json toOrdered(const nlohmann::json& j) {
  if (j.is_object()) {
    Json out = Json::object();
    auto& entries = out.get_ref<Json::object_t&>();
    entries.reserve(j.size());
    for (const auto& [key, value] : j.items()) entries.Json::object_t::Container::emplace_back(key, toOrdered(value));
    return out;
  }
  if (j.is_array()) {
    Json out = Json::array();
    for (const auto& value : j) out.push_back(toOrdered(value));
    return out;
  }
  return Json(j);
}

// Conversion of an already parsed tree into a Config.
void BM_ConfigFromLargeJson(benchmark::State& state) {
  const Json tree = toOrdered(nlohmann::json::parse(tokenizerJson()));
  for (auto _ : state) {
    auto config = noxtal::Config::fromJson(tree);
    benchmark::DoNotOptimize(config);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * tokenizerJson().size()));
}
BENCHMARK(BM_ConfigFromLargeJson)->Unit(benchmark::kMillisecond);

// Text straight into a Config (no intermediate tree).
void BM_ConfigParse(benchmark::State& state) {
  const std::string& text = tokenizerJson();
  for (auto _ : state) {
    auto config = noxtal::Config::parse(text);
    benchmark::DoNotOptimize(config);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ConfigParse)->Unit(benchmark::kMillisecond);

// A debug message while the level is error: must cost no more than the level check.
void BM_LoggingDroppedCall(benchmark::State& state) {
  noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::error);
  const std::string name = "segment";
  for (auto _ : state) {
    noxtal::Logging::debug("[Bench] decoded", name, 42, 3.25, "tokens");
  }
  noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::none);
}
BENCHMARK(BM_LoggingDroppedCall);

}  // namespace

BENCHMARK_MAIN();
