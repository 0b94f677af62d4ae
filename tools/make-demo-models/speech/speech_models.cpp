#include "tools/make-demo-models/speech/speech_models.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <numbers>
#include <optional>

#include "core/tokenizers/auto_tokenizer.hpp"
#include "platform/json/json.hpp"
#include "speech/model/model_support.hpp"
#include "tools/make-demo-models/graph/graph_model.hpp"
#include "support/tokenizer_fixture/tokenizer_fixture.hpp"

namespace demomodels {

namespace {

namespace fs = std::filesystem;
using platform::json::Json;

constexpr std::int64_t kPadding = kFftSize / 2;  // reflect padding on each side
constexpr std::int64_t kPaddedSamples = kWindowSamples + 2 * kPadding;
constexpr double kMelFloor = 1e-10;
constexpr double kDynamicRange = 8;  // log10 units kept below the window's largest value

using graph::feature;
using graph::node;
using graph::Weights;
using graph::writeModel;

Json withAttribute(Json n, const std::string& key, Json value) {
  n[key] = std::move(value);
  return n;
}

Json weightNode(Weights& weights, const std::string& output, std::vector<std::int64_t> shape,
                const std::vector<float>& values) {
  return {{"op", "constant"}, {"output", output}, {"dataType", "float32"}, {"shape", std::move(shape)},
          {"offset", weights.add(values)}};
}

Json valuesNode(const std::string& output, const std::string& type, std::vector<std::int64_t> shape, Json values) {
  return {{"op", "constant"}, {"output", output}, {"dataType", type}, {"shape", std::move(shape)},
          {"values", std::move(values)}};
}

// The Slaney mel scale: linear below 1 kHz, logarithmic above.
constexpr double kLinearStep = 200.0 / 3;
constexpr double kLogBreakHz = 1000;
constexpr double kLogBreakMel = kLogBreakHz / kLinearStep;  // 15

double hzToMel(double hz) {
  static const double logStep = std::log(6.4) / 27;
  return hz < kLogBreakHz ? hz / kLinearStep : kLogBreakMel + std::log(hz / kLogBreakHz) / logStep;
}

double melToHz(double mel) {
  static const double logStep = std::log(6.4) / 27;
  return mel < kLogBreakMel ? mel * kLinearStep : kLogBreakHz * std::exp(logStep * (mel - kLogBreakMel));
}

bool isPunctuationOnly(std::string_view text) {
  bool any = false;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isspace(u) != 0) continue;
    if (u >= 0x80 || std::ispunct(u) == 0) return false;
    any = true;
  }
  return any;
}

bool isPlainFolderName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// The mel model. Tensor layout: the padded audio is one line of 480,400 samples, framed into
// [3001, 400] and cut to [3000, 400] (the last frame is dropped); the DFT matrix [400, 402]
// holds, per bin k, the Hann-windowed cosine in column 2k and sine in column 2k + 1, so the
// squared projections summed by the mel matrix [402, 128] (bin k's filter weights in rows 2k
// and 2k + 1) are the filtered power spectrum [3000, 128], transposed at the end.
void writeMelSpectrogram(platform::fs::FileSystem& fileSystem, const fs::path& folder) {
  Weights weights;
  Json nodes = Json::array();
  Json leftIndices = Json::array();
  Json rightIndices = Json::array();
  for (std::int64_t i = 0; i < kPadding; ++i) {
    leftIndices.push_back(kPadding - i);           // padded[i] = audio[200 - i]
    rightIndices.push_back(kWindowSamples - 2 - i);  // padded[N + 200 + i] = audio[N - 2 - i]
  }
  nodes.push_back(valuesNode("leftIndices", "int32", {kPadding}, std::move(leftIndices)));
  nodes.push_back(valuesNode("rightIndices", "int32", {kPadding}, std::move(rightIndices)));
  nodes.push_back(node("gather", {"audio", "leftIndices"}, "leftPad"));
  nodes.push_back(node("gather", {"audio", "rightIndices"}, "rightPad"));
  nodes.push_back(withAttribute(node("concat", {"leftPad", "audio", "rightPad"}, "padded"), "axis", 0));
  Json frames = node("frame", {"padded"}, "allFrames");
  frames["axis"] = 0;
  frames["size"] = kFftSize;
  frames["hop"] = kHopLength;
  nodes.push_back(frames);
  Json cut = node("slice", {"allFrames"}, "frames");
  cut["axis"] = 0;
  cut["begin"] = 0;
  cut["end"] = kMelFrames;
  nodes.push_back(cut);

  std::vector<float> dft(static_cast<std::size_t>(kFftSize * 2 * kFrequencyBins));
  for (std::int64_t n = 0; n < kFftSize; ++n) {
    const double window = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(n) / kFftSize);
    for (std::int64_t k = 0; k < kFrequencyBins; ++k) {
      // The angle reduced modulo the period keeps the basis exact for large n * k.
      const double angle = 2 * std::numbers::pi * static_cast<double>((n * k) % kFftSize) / kFftSize;
      const auto row = static_cast<std::size_t>(n * 2 * kFrequencyBins);
      dft[row + static_cast<std::size_t>(2 * k)] = static_cast<float>(window * std::cos(angle));
      dft[row + static_cast<std::size_t>(2 * k + 1)] = static_cast<float>(-window * std::sin(angle));
    }
  }
  const std::vector<double> filters = melFilterBank();
  std::vector<float> mel(static_cast<std::size_t>(2 * kFrequencyBins * kMelBins));
  for (std::int64_t k = 0; k < kFrequencyBins; ++k) {
    for (std::int64_t m = 0; m < kMelBins; ++m) {
      const auto value = static_cast<float>(filters[static_cast<std::size_t>(k * kMelBins + m)]);
      mel[static_cast<std::size_t>((2 * k) * kMelBins + m)] = value;
      mel[static_cast<std::size_t>((2 * k + 1) * kMelBins + m)] = value;
    }
  }
  nodes.push_back(weightNode(weights, "dft", {kFftSize, 2 * kFrequencyBins}, dft));
  nodes.push_back(weightNode(weights, "melFilters", {2 * kFrequencyBins, kMelBins}, mel));
  nodes.push_back(node("matmul", {"frames", "dft"}, "spectrum"));
  nodes.push_back(node("square", {"spectrum"}, "power"));
  nodes.push_back(node("matmul", {"power", "melFilters"}, "melPower"));
  nodes.push_back(valuesNode("melFloor", "float32", {1}, Json::array({kMelFloor})));
  nodes.push_back(node("maximum", {"melPower", "melFloor"}, "flooredPower"));
  nodes.push_back(node("log", {"flooredPower"}, "naturalLog"));
  nodes.push_back(valuesNode("log10Scale", "float32", {1}, Json::array({1 / std::numbers::ln10})));
  nodes.push_back(node("mul", {"naturalLog", "log10Scale"}, "logMel"));
  nodes.push_back(node("reduce_max", {"logMel"}, "largest"));
  nodes.push_back(valuesNode("dynamicRange", "float32", {1}, Json::array({kDynamicRange})));
  nodes.push_back(node("sub", {"largest", "dynamicRange"}, "lowest"));
  nodes.push_back(node("maximum", {"logMel", "lowest"}, "clampedLogMel"));
  nodes.push_back(valuesNode("four", "float32", {1}, Json::array({4})));
  nodes.push_back(node("add", {"clampedLogMel", "four"}, "shiftedLogMel"));
  nodes.push_back(node("div", {"shiftedLogMel", "four"}, "scaledLogMel"));
  nodes.push_back(withAttribute(node("transpose", {"scaledLogMel"}, "melByFrame"), "perm", Json::array({1, 0})));
  nodes.push_back(withAttribute(node("cast", {"melByFrame"}, "melHalf"), "dataType", "float16"));
  nodes.push_back(
      withAttribute(node("reshape", {"melHalf"}, "melspectrogram_features"), "shape", Json::array({1, kMelBins, 1, kMelFrames})));
  writeModel(fileSystem, folder, "MelSpectrogram", Json::array({feature("audio", "float32", {kWindowSamples})}),
             Json::array({feature("melspectrogram_features", "float16", {1, kMelBins, 1, kMelFrames})}),
             std::move(nodes), &weights);
}

// A fixed pseudo-random sequence in [-0.5, 0.5) (SplitMix64).
class FixedSequence {
 public:
  explicit FixedSequence(std::uint64_t seed) : state_(seed) {}
  double next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) / 9007199254740992.0 - 0.5;
  }

 private:
  std::uint64_t state_;
};

// The encoder. Tensor layout: the mel features [128, 3000] are transposed to frames [3000, 128]
// and read as [1500, 256], so row i holds frames 2i and 2i + 1; one matrix [256, 64] and tanh
// give [1500, 64], transposed to the embedding-major output.
void writeAudioEncoder(platform::fs::FileSystem& fileSystem, const fs::path& folder) {
  Weights weights;
  FixedSequence sequence(0x766f737472616e65ULL);
  const std::int64_t inputs = 2 * kMelBins;
  std::vector<float> projection(static_cast<std::size_t>(inputs * kEncoderEmbedSize));
  const double scale = 2 / std::sqrt(static_cast<double>(inputs));
  for (float& w : projection) w = static_cast<float>(scale * sequence.next());
  Json nodes = Json::array();
  nodes.push_back(withAttribute(node("reshape", {"melspectrogram_features"}, "melByBin"), "shape",
                                Json::array({kMelBins, kMelFrames})));
  nodes.push_back(withAttribute(node("transpose", {"melByBin"}, "melFrames"), "perm", Json::array({1, 0})));
  nodes.push_back(
      withAttribute(node("reshape", {"melFrames"}, "framePairs"), "shape", Json::array({kEncoderFrames, inputs})));
  nodes.push_back(weightNode(weights, "projection", {inputs, kEncoderEmbedSize}, projection));
  nodes.push_back(node("matmul", {"framePairs", "projection"}, "projected"));
  nodes.push_back(node("tanh", {"projected"}, "activated"));
  nodes.push_back(withAttribute(node("transpose", {"activated"}, "byEmbedding"), "perm", Json::array({1, 0})));
  nodes.push_back(withAttribute(node("cast", {"byEmbedding"}, "embedsHalf"), "dataType", "float16"));
  nodes.push_back(withAttribute(node("reshape", {"embedsHalf"}, "encoder_output_embeds"), "shape",
                                Json::array({1, kEncoderEmbedSize, 1, kEncoderFrames})));
  writeModel(fileSystem, folder, "AudioEncoder",
             Json::array({feature("melspectrogram_features", "float16", {1, kMelBins, 1, kMelFrames})}),
             Json::array({feature("encoder_output_embeds", "float16", {1, kEncoderEmbedSize, 1, kEncoderFrames})}),
             std::move(nodes), &weights);
}

// The decoder. It keeps one flag per cache position in key cache row 0 (1 for a task token),
// row 1 is always 1; the value cache gets the same rows. The script position is
// (cache_length - task position) once a task token is cached or fed, else 0 with the answer
// taken from the prompt table by input token. The logits are 20 where the vocabulary index
// equals the answer (|index - answer| < 0.5), 0 elsewhere.
void writeTextDecoder(platform::fs::FileSystem& fileSystem, const fs::path& folder,
                      const vostrane::SpecialTokens& special, const std::vector<int>& languageTokens,
                      const SpeechScript& script) {
  Weights weights;
  const auto v = static_cast<std::size_t>(kVocabularySize);
  std::vector<float> vocabularyIds(v);
  for (std::size_t i = 0; i < v; ++i) vocabularyIds[i] = static_cast<float>(i);
  std::vector<float> taskTokens(v, 0.0F);
  for (const int task : {special.transcribeToken, special.translateToken}) {
    if (task >= 0 && static_cast<std::size_t>(task) < v) taskTokens[static_cast<std::size_t>(task)] = 1;
  }
  std::vector<float> promptAnswers(v, static_cast<float>(special.endToken));
  promptAnswers[static_cast<std::size_t>(special.startOfTranscriptToken)] = static_cast<float>(special.englishToken);
  for (const int language : languageTokens) {
    promptAnswers[static_cast<std::size_t>(language)] = static_cast<float>(special.transcribeToken);
  }
  const auto m = static_cast<std::size_t>(kDecoderCacheLength);
  std::vector<float> answers(m, static_cast<float>(special.endToken));
  std::vector<float> alignment(m * static_cast<std::size_t>(kEncoderFrames), 0.0F);
  for (std::size_t s = 0; s < script.tokens.size() && s < m; ++s) {
    answers[s] = static_cast<float>(script.tokens[s]);
    const auto [first, end] = script.frames[s];
    float* row = alignment.data() + s * static_cast<std::size_t>(kEncoderFrames);
    for (std::int64_t f = first; f < end; ++f) row[f] = 1;
    if (end < kEncoderFrames) row[end] = 0.5F;
  }
  std::vector<float> positions(m);
  for (std::size_t i = 0; i < m; ++i) positions[i] = static_cast<float>(i);

  Json nodes = Json::array();
  nodes.push_back(weightNode(weights, "vocabularyIds", {kVocabularySize}, vocabularyIds));
  nodes.push_back(weightNode(weights, "taskTokens", {kVocabularySize}, taskTokens));
  nodes.push_back(weightNode(weights, "promptAnswers", {kVocabularySize}, promptAnswers));
  nodes.push_back(weightNode(weights, "scriptAnswers", {kDecoderCacheLength}, answers));
  nodes.push_back(weightNode(weights, "scriptAlignment", {kDecoderCacheLength, kEncoderFrames}, alignment));
  nodes.push_back(weightNode(weights, "positions", {kDecoderCacheLength}, positions));
  nodes.push_back(valuesNode("one", "float32", {1}, Json::array({1})));
  nodes.push_back(valuesNode("half", "float32", {1}, Json::array({0.5})));
  nodes.push_back(valuesNode("scriptedLogit", "float32", {1}, Json::array({kScriptedLogit})));

  nodes.push_back(withAttribute(node("cast", {"cache_length"}, "position"), "dataType", "float32"));
  nodes.push_back(node("gather", {"taskTokens", "input_ids"}, "isTaskInput"));
  Json flags = node("slice", {"key_cache"}, "taskFlagRow");
  flags["axis"] = 1;
  flags["begin"] = 0;
  flags["end"] = 1;
  nodes.push_back(flags);
  nodes.push_back(withAttribute(node("reshape", {"taskFlagRow"}, "taskFlags"), "shape", Json::array({kDecoderCacheLength})));
  nodes.push_back(withAttribute(node("greater", {"decoder_key_padding_mask"}, "attended"), "value", -1));
  nodes.push_back(withAttribute(node("cast", {"kv_cache_update_mask"}, "writtenNow"), "dataType", "float32"));
  nodes.push_back(node("sub", {"attended", "writtenNow"}, "cachedRow"));
  nodes.push_back(withAttribute(node("reshape", {"cachedRow"}, "cached"), "shape", Json::array({kDecoderCacheLength})));
  nodes.push_back(node("mul", {"taskFlags", "cached"}, "cachedTasks"));
  nodes.push_back(node("reduce_sum", {"cachedTasks"}, "tasksSeen"));
  nodes.push_back(node("mul", {"cachedTasks", "positions"}, "taskPlaces"));
  nodes.push_back(node("reduce_sum", {"taskPlaces"}, "cachedTaskPosition"));
  nodes.push_back(node("add", {"tasksSeen", "isTaskInput"}, "hasTask"));
  nodes.push_back(node("mul", {"isTaskInput", "position"}, "fedTaskPosition"));
  nodes.push_back(node("add", {"cachedTaskPosition", "fedTaskPosition"}, "taskPosition"));
  nodes.push_back(node("sub", {"position", "taskPosition"}, "sinceTask"));
  nodes.push_back(node("mul", {"sinceTask", "hasTask"}, "scriptPosition"));
  nodes.push_back(node("gather", {"scriptAnswers", "scriptPosition"}, "scriptAnswer"));
  nodes.push_back(node("gather", {"promptAnswers", "input_ids"}, "promptAnswer"));
  nodes.push_back(node("sub", {"one", "hasTask"}, "noTask"));
  nodes.push_back(node("mul", {"scriptAnswer", "hasTask"}, "scriptPart"));
  nodes.push_back(node("mul", {"promptAnswer", "noTask"}, "promptPart"));
  nodes.push_back(node("add", {"scriptPart", "promptPart"}, "answer"));
  nodes.push_back(node("sub", {"answer", "half"}, "answerLow"));
  nodes.push_back(node("add", {"answer", "half"}, "answerHigh"));
  nodes.push_back(node("greater", {"vocabularyIds", "answerLow"}, "aboveLow"));
  nodes.push_back(node("greater", {"answerHigh", "vocabularyIds"}, "belowHigh"));
  nodes.push_back(node("mul", {"aboveLow", "belowHigh"}, "isAnswer"));
  nodes.push_back(node("mul", {"isAnswer", "scriptedLogit"}, "scores"));
  nodes.push_back(withAttribute(node("reshape", {"scores"}, "logits"), "shape", Json::array({1, 1, kVocabularySize})));
  nodes.push_back(withAttribute(node("gather", {"scriptAlignment", "scriptPosition"}, "alignmentRow"), "axis", 0));
  nodes.push_back(withAttribute(node("cast", {"alignmentRow"}, "alignment_heads_weights"), "dataType", "float16"));
  nodes.push_back(withAttribute(node("concat", {"isTaskInput", "one"}, "cacheRows"), "axis", 0));
  nodes.push_back(withAttribute(node("cast", {"cacheRows"}, "cacheRowsHalf"), "dataType", "float16"));
  const Json cacheShape = Json::array({1, kDecoderCacheEmbedDim, 1, 1});
  nodes.push_back(withAttribute(node("reshape", {"cacheRowsHalf"}, "key_cache_updates"), "shape", cacheShape));
  nodes.push_back(withAttribute(node("reshape", {"cacheRowsHalf"}, "value_cache_updates"), "shape", cacheShape));

  const std::vector<std::int64_t> cache{1, kDecoderCacheEmbedDim, 1, kDecoderCacheLength};
  writeModel(fileSystem, folder, "TextDecoder",
             Json::array({feature("input_ids", "int32", {1}), feature("cache_length", "int32", {1}),
                          feature("key_cache", "float16", cache), feature("value_cache", "float16", cache),
                          feature("kv_cache_update_mask", "int32", {1, kDecoderCacheLength}),
                          feature("encoder_output_embeds", "float16", {1, kEncoderEmbedSize, 1, kEncoderFrames}),
                          feature("decoder_key_padding_mask", "float16", {1, kDecoderCacheLength})}),
             Json::array({feature("logits", "float32", {1, 1, kVocabularySize}),
                          feature("key_cache_updates", "float16", {1, kDecoderCacheEmbedDim, 1, 1}),
                          feature("value_cache_updates", "float16", {1, kDecoderCacheEmbedDim, 1, 1}),
                          feature("alignment_heads_weights", "float16", {1, kEncoderFrames})}),
             std::move(nodes), &weights);
}

void writeModelSupport(platform::fs::FileSystem& fileSystem, const fs::path& out, const std::string& folder) {
  vostrane::DeviceSupport everyDevice;
  everyDevice.identifiers = {""};
  everyDevice.models.defaultModel = folder;
  everyDevice.models.supported = {folder};
  const vostrane::ModelSupportConfig config(kSpeechRepoName, kSpeechRepoVersion, {everyDevice},
                                            /*includeFallback=*/false);
  fileSystem.writeFile(out / "config.json", platform::json::dump(config.toJson(), 2) + "\n");
}

}  // namespace

SpeechDemoOptions parseSpeechArguments(std::span<const std::string_view> args) {
  SpeechDemoOptions options;
  bool haveOut = false;
  bool haveFolder = false;
  bool haveText = false;
  for (std::size_t i = 0; i < args.size(); i += 2) {
    const std::string_view name = args[i];
    bool* seen = name == "--out" ? &haveOut : name == "--folder" ? &haveFolder : name == "--text" ? &haveText : nullptr;
    if (seen == nullptr) throw SpeechDemoArgumentError("unknown argument \"" + std::string(name) + "\"");
    if (*seen) throw SpeechDemoArgumentError(std::string(name) + " given twice");
    if (i + 1 >= args.size()) throw SpeechDemoArgumentError(std::string(name) + " needs a value");
    *seen = true;
    const std::string value(args[i + 1]);
    if (name == "--out") {
      if (value.empty()) throw SpeechDemoArgumentError("--out needs a folder");
      options.out = value;
    } else if (name == "--folder") {
      if (!isPlainFolderName(value)) {
        throw SpeechDemoArgumentError("--folder must be one folder name, not \"" + value + "\"");
      }
      options.folder = value;
    } else {
      if (value.empty()) throw SpeechDemoArgumentError("--text must not be empty");
      options.text = value;
    }
  }
  if (!haveOut) throw SpeechDemoArgumentError("missing --out DIR");
  return options;
}

std::vector<double> melFilterBank() {
  const double lowest = hzToMel(0);
  const double highest = hzToMel(static_cast<double>(kSpeechSampleRate) / 2);
  std::vector<double> edges(static_cast<std::size_t>(kMelBins + 2));
  for (std::size_t i = 0; i < edges.size(); ++i) {
    edges[i] = melToHz(lowest + (highest - lowest) * static_cast<double>(i) / static_cast<double>(kMelBins + 1));
  }
  std::vector<double> filters(static_cast<std::size_t>(kFrequencyBins * kMelBins), 0.0);
  for (std::int64_t m = 0; m < kMelBins; ++m) {
    const auto i = static_cast<std::size_t>(m);
    const double norm = 2 / (edges[i + 2] - edges[i]);
    for (std::int64_t k = 0; k < kFrequencyBins; ++k) {
      const double hz = static_cast<double>(k * kSpeechSampleRate) / kFftSize;
      const double rising = (hz - edges[i]) / (edges[i + 1] - edges[i]);
      const double falling = (edges[i + 2] - hz) / (edges[i + 2] - edges[i + 1]);
      filters[static_cast<std::size_t>(k * kMelBins + m)] = norm * std::max(0.0, std::min(rising, falling));
    }
  }
  return filters;
}

SpeechScript speechScript(const vostrane::WhisperTokenizer& tokenizer, std::string_view text) {
  const vostrane::SpecialTokens& special = tokenizer.specialTokens();
  const std::vector<int> tokens = tokenizer.encode(text);
  for (const int token : tokens) {
    if (token >= special.specialTokenBegin) {
      throw SpeechDemoArgumentError("--text must not hold special tokens");
    }
  }
  const vostrane::WordTokens split = tokenizer.splitToWordTokens(tokens);
  SpeechScript script;
  std::vector<int> leading;  // marks before the first word
  for (std::size_t w = 0; w < split.words.size(); ++w) {
    const std::vector<int>& wordTokens = split.wordTokens[w];
    if (!isPunctuationOnly(split.words[w]) && !wordTokens.empty()) {
      ScriptedWord word;
      word.tokens = leading;
      word.leadingMarks = leading.size();
      word.tokens.insert(word.tokens.end(), wordTokens.begin(), wordTokens.end());
      leading.clear();
      script.words.push_back(std::move(word));
    } else if (script.words.empty()) {
      leading.insert(leading.end(), wordTokens.begin(), wordTokens.end());
    } else {
      ScriptedWord& last = script.words.back();
      last.tokens.insert(last.tokens.end(), wordTokens.begin(), wordTokens.end());
      last.trailingMarks += wordTokens.size();
    }
  }
  if (script.words.size() < 2) throw SpeechDemoArgumentError("--text needs at least two words");
  if (script.words.size() > kMaxWords) {
    throw SpeechDemoArgumentError("--text has more than " + std::to_string(kMaxWords) + " words");
  }
  for (std::size_t w = 0; w < script.words.size(); ++w) {
    script.words[w].start = static_cast<double>(w) * kWordSeconds;
    script.words[w].end = static_cast<double>(w + 1) * kWordSeconds;
  }
  script.firstSegmentWords = (script.words.size() + 1) / 2;
  script.firstSegmentEnd = static_cast<double>(script.firstSegmentWords) * kWordSeconds;
  const auto wordCount = static_cast<std::int64_t>(script.words.size());
  const auto firstEndFrame = static_cast<std::int64_t>(script.firstSegmentWords) * kWordFrames;
  const int firstEndToken = special.timeTokenBegin + static_cast<int>(firstEndFrame);
  const int closingToken = special.timeTokenBegin + static_cast<int>(kEncoderFrames);

  const auto add = [&script](int token, std::int64_t first, std::int64_t end) {
    script.tokens.push_back(token);
    script.frames.emplace_back(first, end);
  };
  add(special.timeTokenBegin, 0, 0);
  for (std::size_t w = 0; w < script.words.size(); ++w) {
    if (w == script.firstSegmentWords) {
      add(firstEndToken, firstEndFrame, firstEndFrame);
      add(firstEndToken, firstEndFrame, firstEndFrame);
    }
    const ScriptedWord& word = script.words[w];
    const auto first = static_cast<std::int64_t>(w) * kWordFrames;
    const std::int64_t end = first + kWordFrames;
    for (std::size_t i = 0; i < word.tokens.size(); ++i) {
      if (i < word.leadingMarks) {
        add(word.tokens[i], first, first);
      } else if (i + word.trailingMarks >= word.tokens.size()) {
        add(word.tokens[i], end, end);
      } else {
        add(word.tokens[i], first, end);
      }
    }
  }
  add(closingToken, wordCount * kWordFrames, kEncoderFrames);
  add(special.endToken, kEncoderFrames, kEncoderFrames);
  if (script.tokens.size() > kMaxScriptTokens) {
    throw SpeechDemoArgumentError("--text gives more than " + std::to_string(kMaxScriptTokens) + " tokens");
  }
  return script;
}

void writeSpeechModels(platform::fs::FileSystem& fileSystem, const SpeechDemoOptions& options) {
  if (!isPlainFolderName(options.folder)) {
    throw SpeechDemoArgumentError("the model folder must be one folder name, not \"" + options.folder + "\"");
  }
  const fs::path modelFolder = options.out / options.folder;
  fileSystem.createDirectories(modelFolder);
  const tokenizer_fixture::Files& files = tokenizer_fixture::makeTokenizerFiles(
      {.layout = tokenizer_fixture::Layout::largeV3, .merges = options.tokenizerMerges});
  fileSystem.writeFile(modelFolder / "tokenizer.json", files.tokenizerJson);
  fileSystem.writeFile(modelFolder / "tokenizer_config.json", files.tokenizerConfigJson);
  const vostrane::WhisperTokenizerWrapper tokenizer(noxtal::tokenizers::AutoTokenizerWrapper::fromModelFolder(modelFolder));
  const SpeechScript script = speechScript(tokenizer, options.text);
  const std::vector<int> languages(tokenizer.allLanguageTokens().begin(), tokenizer.allLanguageTokens().end());

  writeModelSupport(fileSystem, options.out, options.folder);
  writeMelSpectrogram(fileSystem, modelFolder);
  writeAudioEncoder(fileSystem, modelFolder);
  writeTextDecoder(fileSystem, modelFolder, tokenizer.specialTokens(), languages, script);
}

}  // namespace demomodels
