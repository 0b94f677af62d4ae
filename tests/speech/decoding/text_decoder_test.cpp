// The text decoder's window loop and language detection over the scripted decoder model and a
// generated multilingual tokenizer.
#include "speech/decoding/text_decoder.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <algorithm>
#include <cmath>
#include <mutex>
#include <thread>

#include "core/logging.hpp"
#include "core/tokenizers/auto_tokenizer.hpp"
#include "platform/ml/ml_error.hpp"
#include "platform/sync/cancellation.hpp"
#include "speech/decoding/segment_seeker.hpp"
#include "speech/decoding/text_utilities.hpp"
#include "speech/model/constants.hpp"
#include "speech/model/whisper_error.hpp"
#include "support/expect_error.hpp"
#include "support/scripted_decoder/scripted_decoder.hpp"
#include "support/temporary_folder.hpp"
#include "support/tokenizer_fixture/tokenizer_fixture.hpp"

namespace vostrane {
namespace {

using platform::ml::DataType;
using platform::ml::MultiArray;
using testsupport::ScriptedDecoderSpec;

constexpr int kEnd = 50257, kStart = 50258, kEnglish = 50259, kTranscribe = 50359, kPrevious = 50361;
constexpr int T = 50364;

class DecoderLoop : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    testsupport::registerScriptedTextDecoder();
    tokenizerFolder_ = new testsupport::TemporaryFolder("decoder_loop_tokenizer");
    tokenizer_fixture::writeTokenizerFolder(tokenizerFolder_->path(),
                                            {.layout = tokenizer_fixture::Layout::multilingual, .merges = 300});
    tokenizer_ = new std::shared_ptr<const WhisperTokenizerWrapper>(std::make_shared<const WhisperTokenizerWrapper>(
        noxtal::tokenizers::AutoTokenizerWrapper::fromModelFolder(tokenizerFolder_->path())));
  }
  static void TearDownTestSuite() {
    delete tokenizer_;
    delete tokenizerFolder_;
  }

  DecoderLoop() { spec_.vocabularySize = 51865; }

  static const WhisperTokenizerWrapper& words() { return **tokenizer_; }
  static int id(const std::string& token) { return *words().convertTokenToId(token); }
  // Text ids of `text` (the post-processor's special tokens left out).
  static std::vector<int> textIds(std::string_view text) {
    std::vector<int> ids;
    for (int token : words().encode(text)) {
      if (token < kEnd) ids.push_back(token);
    }
    return ids;
  }
  static std::vector<int> concat(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }

  void load() {
    decoder_.loadModel(testsupport::writeScriptedDecoder(folder_ / std::to_string(loads_++), spec_),
                       platform::ml::ComputeUnits::cpuOnly, false);
    decoder_.setTokenizer(*tokenizer_);
    decoder_.setIsModelMultilingual(true);
  }
  MultiArray window(int key) const {
    MultiArray embeds({1, spec_.embedSize, 1, spec_.windowSize}, DataType::float16);
    embeds.setFloat(0, static_cast<float>(key));
    return embeds;
  }
  std::shared_ptr<DecodingInputsType> inputs(const std::optional<DecodingOptions>& options) {
    return decoder_.prefillDecoderInputs(decoder_.prepareDecoderInputs({kStart}), options);
  }
  DecodingResult decode(int key, const DecodingOptions& options, const DecodingCallback& callback = {},
                        bool prefillWithOptions = true, std::stop_token stop = {}) {
    const auto prepared = inputs(prefillWithOptions ? std::optional(options) : std::nullopt);
    GreedyTokenSampler sampler(0, kEnd, options);
    return decoder_.decodeText(window(key), *prepared, sampler, options, callback, stop);
  }

  static testsupport::TemporaryFolder* tokenizerFolder_;
  static std::shared_ptr<const WhisperTokenizerWrapper>* tokenizer_;
  testsupport::TemporaryFolder folder_{"decoder_loop"};
  ScriptedDecoderSpec spec_;
  TextDecoder decoder_;
  int loads_ = 0;
};

testsupport::TemporaryFolder* DecoderLoop::tokenizerFolder_ = nullptr;
std::shared_ptr<const WhisperTokenizerWrapper>* DecoderLoop::tokenizer_ = nullptr;

std::vector<float> logProbsOf(const DecodingResult& result) {
  std::vector<float> out;
  for (std::size_t i = 0; i < result.tokens.size(); ++i) out.push_back(result.tokenLogProbs[i].at(result.tokens[i]));
  return out;
}

TEST_F(DecoderLoop, LoopCountsAndTheTokenCap) {
  std::vector<int> longScript{kStart, kEnglish, kTranscribe, T};
  for (int i = 0; i < 300; ++i) longScript.push_back(300 + i);
  spec_.sequences = {{1, longScript}};
  spec_.strict = true;
  load();

  // A 4-token prompt with sampleLength 224 runs 223 steps and keeps 223 tokens; the model never
  // ends the window, finalize adds the end token.
  DecodingResult result = decode(1, DecodingOptions{});
  EXPECT_EQ(result.timings->totalDecodingLoops, 223);
  ASSERT_EQ(result.tokens.size(), 224U);
  EXPECT_EQ(std::vector<int>(result.tokens.begin(), result.tokens.begin() + 5),
            (std::vector<int>{kStart, kEnglish, kTranscribe, T, 300}));
  EXPECT_EQ(result.tokens[222], 518);
  EXPECT_EQ(result.tokens.back(), kEnd);
  EXPECT_EQ(result.tokenLogProbs.back(), (std::map<int, float>{{kEnd, 0.0F}}));
  EXPECT_EQ(result.timings->totalKVUpdateRuns, 222);  // the step that hit the cap wrote nothing

  // A 1-token prompt and sampleLength 1: one step.
  result = decode(1, DecodingOptions{.sampleLength = 1}, {}, false);
  EXPECT_EQ(result.timings->totalDecodingLoops, 1);
  EXPECT_EQ(result.tokens, (std::vector<int>{kStart, kEnglish, kEnd}));

  // sampleLength 0: no prediction at all (the model would fail at step 0).
  spec_.failAtStep = 0;
  load();
  result = decode(1, DecodingOptions{.sampleLength = 0}, {}, false);
  EXPECT_EQ(result.timings->totalDecodingLoops, 0);
  EXPECT_EQ(result.tokens, (std::vector<int>{kStart, kEnd}));
  EXPECT_EQ(logProbsOf(result), (std::vector<float>{0, 0}));
  result = decode(1, DecodingOptions{.sampleLength = -5}, {}, false);
  EXPECT_EQ(result.timings->totalDecodingLoops, 0);

  // A cache of 10 positions: the loop stops before writing a mask entry past it.
  spec_.failAtStep.reset();
  spec_.maxSequenceLength = 10;
  load();
  result = decode(1, DecodingOptions{});
  EXPECT_EQ(result.timings->totalDecodingLoops, 9);
  EXPECT_EQ(result.tokens.size(), 4U + 6U + 1U);
}

TEST_F(DecoderLoop, PromptTokensAreForcedAndTheLastTimestampTakesTheModelsOwn) {
  const int a = 400, b = 401;
  spec_.sequences = {{1, {kStart, kEnglish, kTranscribe, T + 10, a, T + 30, kEnd}},
                     {2, {kStart, kEnglish, kTranscribe, a, b, kEnd}}};
  spec_.strict = true;
  load();
  // The model's timestamp after the task token replaces the prompt's <|0.00|>.
  DecodingResult result = decode(1, DecodingOptions{});
  EXPECT_EQ(result.tokens, (std::vector<int>{kStart, kEnglish, kTranscribe, T + 10, a, T + 30, kEnd}));
  // A text prediction there does not: the prompt's timestamp is fed and kept.
  result = decode(2, DecodingOptions{});
  EXPECT_EQ(result.tokens, (std::vector<int>{kStart, kEnglish, kTranscribe, T, b, kEnd}));
  // Sampling the end token ends the loop; it is not kept but appended again with 0.
  EXPECT_EQ(result.timings->totalDecodingLoops, 5);
  EXPECT_EQ(result.tokenLogProbs.back(), (std::map<int, float>{{kEnd, 0.0F}}));
  EXPECT_LT(result.tokenLogProbs[4].at(b), 0.0F);
  EXPECT_EQ(result.text, words().decode(result.tokens));
}

// A replaceable sampler whose finalize does not close the sequence with the end token: it
// returns the tokens as they are, or with an end token put in front.
class UnclosedSampler final : public TokenSampling {
 public:
  explicit UnclosedSampler(bool endTokenFirst) : endTokenFirst_(endTokenFirst) {}
  SamplingResult update(std::span<const int> tokens, const MultiArray& logits,
                        std::span<const float> logProbs) override {
    return greedy_.update(tokens, logits, logProbs);
  }
  SamplingResult finalize(std::span<const int> tokens, std::span<const float> logProbs) override {
    SamplingResult result{{tokens.begin(), tokens.end()}, {logProbs.begin(), logProbs.end()}, true};
    if (endTokenFirst_) {
      result.tokens.insert(result.tokens.begin(), kEnd);
      result.logProbs.insert(result.logProbs.begin(), 0.0F);
    }
    return result;
  }

 private:
  bool endTokenFirst_;
  GreedyTokenSampler greedy_{0, kEnd, DecodingOptions{}};
};

TEST_F(DecoderLoop, TheResultEndsAtTheFirstEndTokenAfterTheStartOrAtTheLastToken) {
  const int a = 400, b = 401;
  spec_.sequences = {{1, {kStart, kEnglish, kTranscribe, T, a, b, kEnd}}};
  load();
  const DecodingOptions options{.temperature = 0.4F};
  for (bool endTokenFirst : {false, true}) {
    SCOPED_TRACE(endTokenFirst);
    const auto prepared = inputs(options);
    UnclosedSampler sampler(endTokenFirst);
    const DecodingResult result = decoder_.decodeText(window(1), *prepared, sampler, options);
    EXPECT_EQ(result.tokens, (std::vector<int>{kStart, kEnglish, kTranscribe, T, a, b}));
    EXPECT_EQ(result.tokenLogProbs.size(), result.tokens.size());
    EXPECT_FLOAT_EQ(result.temperature, 0.4F);  // not a greedy sampler: the options' temperature
  }
}

TEST_F(DecoderLoop, OnlyTheFirstSampledTokenMeetsTheFirstTokenThreshold) {
  const int a = 400, b = 401;
  spec_.sequences = {{1, {kStart, kEnglish, kTranscribe, T, a, b, kEnd}}};
  // A logit of 8 against 51,864 zeros: log-probability about -2.9, below -1.5.
  spec_.extraLogits = {{1, {{kTranscribe, 8.0F}}}, {4, {{b, 8.0F}}}};
  load();
  DecodingResult result = decode(1, DecodingOptions{});
  EXPECT_FALSE(result.fallback && result.fallback->fallbackReason == "firstTokenLogProbThreshold");
  EXPECT_EQ(result.tokens, (std::vector<int>{kStart, kEnglish, kTranscribe, T, a, b, kEnd}));

  spec_.extraLogits = {{3, {{a, 8.0F}}}};
  load();
  result = decode(1, DecodingOptions{});
  ASSERT_TRUE(result.fallback);
  EXPECT_TRUE(result.fallback->needsFallback);
  EXPECT_EQ(result.fallback->fallbackReason, "firstTokenLogProbThreshold");
  EXPECT_EQ(result.tokens, (std::vector<int>{kStart, kEnglish, kTranscribe, T, kEnd}));
  EXPECT_EQ(result.timings->totalDecodingLoops, 4);
  EXPECT_EQ(decode(1, DecodingOptions{.firstTokenLogProbThreshold = std::nullopt}).tokens.size(), 7U);
}

TEST_F(DecoderLoop, ProgressIsReportedInOrderAndFalseStopsTheWindowAfterThePrompt) {
  std::vector<int> script{kStart, kEnglish, kTranscribe, T};
  for (int i = 0; i < 60; ++i) script.push_back(300 + i);
  spec_.sequences = {{1, script}};
  spec_.delayMs = 30;
  load();

  std::vector<std::size_t> seen;
  std::atomic<int> calls = 0;
  const DecodingCallback stop = [&](const TranscriptionProgress& progress) -> std::optional<bool> {
    seen.push_back(progress.tokens.size());
    ++calls;
    EXPECT_EQ(progress.text, words().decode(progress.tokens));
    EXPECT_EQ(progress.compressionRatio, TextUtilities::compressionRatio(progress.tokens));
    EXPECT_EQ(progress.windowId, 0);
    return false;
  };
  const DecodingResult result = decode(1, DecodingOptions{}, stop);
  const int loops = static_cast<int>(result.timings->totalDecodingLoops);
  // Answers during the three prompt steps are ignored; the first answer after the prompt
  // stops the window within a step or two.
  EXPECT_GE(loops, 4);
  EXPECT_LE(loops, 6);
  EXPECT_EQ(calls.load(), loops);  // every report delivered before the call returned
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(seen.front(), 4U);
  EXPECT_EQ(decoder_.earlyStopActor().count(), 0U);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(calls.load(), loops);

  spec_.delayMs = 0;
  load();
  // Answers of true never stop; the step that samples the end token reports nothing.
  int reports = 0;
  const DecodingResult full = decode(
      1, DecodingOptions{},
      [&](const TranscriptionProgress&) -> std::optional<bool> {
        ++reports;
        return true;
      },
      false);
  EXPECT_EQ(full.timings->totalDecodingLoops, static_cast<double>(script.size()));
  EXPECT_EQ(reports, static_cast<int>(script.size()) - 1);
  EXPECT_EQ(full.tokens.size(), script.size() + 1);
}

TEST_F(DecoderLoop, FailuresAndCancellationPassThroughAndRemoveTheStopFlag) {
  std::vector<int> script{kStart, kEnglish, kTranscribe, T};
  for (int i = 0; i < 20; ++i) script.push_back(300 + i);
  spec_.sequences = {{1, script}};
  spec_.failAtStep = 5;
  load();
  const auto quiet = [](const TranscriptionProgress&) -> std::optional<bool> { return true; };
  EXPECT_THROW(decode(1, DecodingOptions{}), platform::ml::PredictionError);
  EXPECT_THROW(decode(1, DecodingOptions{}, quiet), platform::ml::PredictionError);
  EXPECT_EQ(decoder_.earlyStopActor().count(), 0U);

  spec_.failAtStep.reset();
  load();
  std::stop_source cancelled;
  cancelled.request_stop();
  EXPECT_THROW(decode(1, DecodingOptions{}, {}, true, cancelled.get_token()), platform::sync::CancellationError);
  // Cancelled by the caller half-way: the next prediction reports it.
  std::stop_source halfway;
  const auto cancelAtFive = [&](const TranscriptionProgress& p) -> std::optional<bool> {
    if (p.tokens.size() >= 6) halfway.request_stop();
    return true;
  };
  spec_.delayMs = 5;
  load();
  EXPECT_THROW(decode(1, DecodingOptions{}, cancelAtFive, true, halfway.get_token()), platform::sync::CancellationError);
  EXPECT_EQ(decoder_.earlyStopActor().count(), 0U);

  // Without a model a prediction has no logits.
  const auto prepared = inputs(DecodingOptions{});
  auto& arrays = dynamic_cast<DecodingInputs&>(*prepared);
  const auto predictArrays = [&] {
    return decoder_.predictLogits(arrays.inputIds(), arrays.cacheLength(), arrays.keyCache(), arrays.valueCache(),
                                  arrays.kvCacheUpdateMask(), window(1), arrays.decoderKeyPaddingMask());
  };
  const auto predicted = predictArrays();
  ASSERT_TRUE(predicted && predicted->logits && predicted->cache);
  EXPECT_EQ(predicted->logits->shape(), (platform::ml::Shape{1, 1, 51865}));
  EXPECT_TRUE(predicted->cache->alignmentWeights);
  decoder_.unloadModel();
  EXPECT_FALSE(predictArrays());
  testsupport::expectError<WhisperError>([&] { decoder_.predictLogits(TextDecoderInputType{}); }, WhisperError::Case::transcriptionFailed,
                     "Input must be TextDecoderMLMultiArrayInputType");
  GreedyTokenSampler sampler(0, kEnd, DecodingOptions{});
  testsupport::expectError<WhisperError>([&] { decoder_.decodeText(window(1), *prepared, sampler, DecodingOptions{}); },
                     WhisperError::Case::decodingLogitsFailed, "Unable to decode logits");
  EXPECT_EQ(decoder_.earlyStopActor().count(), 0U);
  prepared->initialPrompt().clear();
  testsupport::expectError<WhisperError>([&] { decoder_.decodeText(window(1), *prepared, sampler, DecodingOptions{}); },
                     WhisperError::Case::prepareDecoderInputsFailed, "Initial prompt must not be empty");
  decoder_.setTokenizer(nullptr);
  testsupport::expectError<WhisperError>([&] { decoder_.decodeText(window(1), *prepared, sampler, DecodingOptions{}); },
                     WhisperError::Case::tokenizerUnavailable, "Tokenizer is unavailable");
}

TEST_F(DecoderLoop, LanguageFromTheOptionsFromTheTokensOrEnglish) {
  const int german = id("<|de|>");
  const int a = 400;
  spec_.sequences = {{1, {kStart, german, kTranscribe, T, a, kEnd}}};
  load();
  DecodingResult result = decode(1, DecodingOptions{.language = "fr"});
  EXPECT_EQ(result.language, "fr");
  EXPECT_EQ(result.languageProbs, (std::map<std::string, float>{{"fr", 0.0F}}));

  // Prompt [SOT] alone: the model's language token is sampled and kept.
  result = decode(1, DecodingOptions{}, {}, false);
  ASSERT_EQ(result.tokens[1], german);
  EXPECT_EQ(result.language, "de");
  EXPECT_EQ(result.languageProbs, (std::map<std::string, float>{{"de", result.tokenLogProbs[1].at(german)}}));
  EXPECT_LT(result.languageProbs["de"], 0.0F);

  decoder_.setIsModelMultilingual(false);
  spec_.sequences = {{1, {kStart, T, a, kEnd}}};
  load();
  decoder_.setIsModelMultilingual(false);
  result = decode(1, DecodingOptions{});
  EXPECT_EQ(result.tokens, (std::vector<int>{kStart, T, a, kEnd}));
  EXPECT_EQ(result.language, "en");
  EXPECT_EQ(result.languageProbs, (std::map<std::string, float>{{"en", 0.0F}}));
  EXPECT_FLOAT_EQ(result.temperature, 0.0F);
}

TEST(DecodingVerdict, NonFiniteFiguresNeedFallback) {
  const DecodingOptions options;  // ratio 2.4, log-probability -1, no speech 0.6
  const float nan = std::nanf("");
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(decodingVerdict(options, false, 0, 1.5F, -0.5F), std::nullopt);
  const auto reason = [&](bool tooLow, float noSpeech, float ratio, float logProb, const DecodingOptions& o) {
    const auto verdict = decodingVerdict(o, tooLow, noSpeech, ratio, logProb);
    return verdict ? std::to_string(verdict->needsFallback) + " " + verdict->fallbackReason : std::string("none");
  };
  EXPECT_EQ(reason(true, 0, nan, nan, options), "1 firstTokenLogProbThreshold");
  EXPECT_EQ(reason(false, 0, nan, -0.5F, options), "1 compressionRatioThreshold");
  EXPECT_EQ(reason(false, 0, inf, -0.5F, options), "1 compressionRatioThreshold");
  EXPECT_EQ(reason(false, 0, 2.4F, -0.5F, options), "none");  // at the threshold is fine
  EXPECT_EQ(reason(false, 0, 1.0F, nan, options), "1 logProbThreshold");
  EXPECT_EQ(reason(false, 0, 1.0F, -1.0F, options), "none");
  EXPECT_EQ(reason(false, 0, nan, nan, DecodingOptions{.compressionRatioThreshold = std::nullopt,
                                                       .logProbThreshold = std::nullopt}),
            "none");
  // The decoder reports no-speech 0: only a negative threshold calls it silence.
  EXPECT_EQ(reason(false, 0, nan, nan, DecodingOptions{.noSpeechThreshold = -0.1F}), "0 silence");
}

TEST_F(DecoderLoop, FilterSetUp) {
  load();
  struct Marker final : LogitsFiltering {
    MultiArray filterLogits(MultiArray logits, std::span<const int>) const override { return logits; }
  };
  const auto extra = std::make_shared<const Marker>();
  decoder_.setLogitsFilters(std::vector<std::shared_ptr<const LogitsFiltering>>{extra});
  auto filters = decoder_.buildLogitsFilters(
      DecodingOptions{.maxInitialTimestamp = 1.0F, .suppressBlank = true, .suppressTokens = {-1, 5, kEnd, 50300}}, 4,
      words());
  ASSERT_EQ(filters.size(), 4U);
  EXPECT_EQ(filters[0], extra);
  const auto* blank = dynamic_cast<const SuppressBlankFilter*>(filters[1].get());
  ASSERT_TRUE(blank);
  EXPECT_EQ(blank->sampleBegin(), 4);
  const auto* suppress = dynamic_cast<const SuppressTokensFilter*>(filters[2].get());
  ASSERT_TRUE(suppress);
  EXPECT_EQ(suppress->suppressTokens(), (std::vector<int>{-1, 5}));
  const auto* timestamps = dynamic_cast<const TimestampRulesFilter*>(filters[3].get());
  ASSERT_TRUE(timestamps);
  EXPECT_EQ(timestamps->maxInitialTimestampIndex(), 50);
  EXPECT_TRUE(timestamps->isModelMultilingual());

  decoder_.setLogitsFilters(std::nullopt);
  filters = decoder_.buildLogitsFilters(DecodingOptions{.withoutTimestamps = true}, 4, words());
  EXPECT_TRUE(filters.empty());
  for (float limit : {1e30F, std::numeric_limits<float>::infinity(), std::nanf("")}) {
    filters = decoder_.buildLogitsFilters(DecodingOptions{.maxInitialTimestamp = limit}, 4, words());
    ASSERT_EQ(filters.size(), 1U);
    EXPECT_EQ(dynamic_cast<const TimestampRulesFilter&>(*filters[0]).maxInitialTimestampIndex(), std::nullopt);
  }
}

TEST_F(DecoderLoop, StrictMasksHoldOverTwoWindowsOnlyWithReset) {
  spec_.sequences = {{1, {kStart, kEnglish, kTranscribe, T, 400, 401, T + 40, kEnd}},
                     {2, {kStart, kEnglish, kTranscribe, T, 500, T + 20, kEnd}}};
  spec_.strict = true;
  load();
  const DecodingOptions options;
  const auto prepared = inputs(options);
  GreedyTokenSampler sampler(0, kEnd, options);
  const DecodingResult first = decoder_.decodeText(window(1), *prepared, sampler, options);
  EXPECT_EQ(first.tokens.size(), 8U);
  EXPECT_THROW(decoder_.decodeText(window(2), *prepared, sampler, options), platform::ml::PredictionError);
  prepared->reset(Constants::maxTokenContext);
  decoder_.prefillDecoderInputs(prepared, options);
  const DecodingResult second = decoder_.decodeText(window(2), *prepared, sampler, options);
  EXPECT_EQ(second.tokens, (std::vector<int>{kStart, kEnglish, kTranscribe, T, 500, T + 20, kEnd}));
  // The cache holds each step's slice at its position: key p + 1 at position p.
  const auto& keys = dynamic_cast<DecodingInputs&>(*prepared).keyCache();
  EXPECT_EQ(keys.floatAt(0), 1.0F);
  EXPECT_EQ(keys.floatAt(5), 6.0F);
  EXPECT_EQ(second.cache->keyCache->floatAt(5), 6.0F);
}

TEST_F(DecoderLoop, DetectionPicksTheHighestLanguageLogitAndBuildsItsFilterOnce) {
  const int german = id("<|de|>"), french = id("<|fr|>");
  spec_.sequences = {{1, {kStart, kEnglish}}};
  spec_.extraLogits = {{0, {{german, 12.0F}, {french, 11.0F}, {400, 30.0F}}}};
  load();
  testsupport::expectError<WhisperError>(
      [&] {
        TextDecoder empty;
        empty.setTokenizer(*tokenizer_);
        const auto prepared = inputs(std::nullopt);
        GreedyTokenSampler sampler(0, kEnd, DecodingOptions{});
        empty.detectLanguage(window(1), *prepared, sampler, DecodingOptions{}, 0);
      },
      WhisperError::Case::modelsUnavailable, "Failed to read logits size from model");

  const auto prepared = inputs(DecodingOptions{});
  dynamic_cast<DecodingInputs&>(*prepared).cacheLength().setFloat(0, 9);
  GreedyTokenSampler sampler(0, kEnd, DecodingOptions{});
  const DecodingResult result = decoder_.detectLanguage(window(1), *prepared, sampler, DecodingOptions{}, 0.7F);
  EXPECT_EQ(result.language, "de");
  ASSERT_EQ(result.languageProbs.size(), 1U);
  // Softmax over the language tokens only: 12, 11, 10 (the script's <|en|>) and 96 zeros.
  const double expected = 12.0 - std::log(std::exp(12.0) + std::exp(11.0) + std::exp(10.0) + 96.0);
  EXPECT_NEAR(result.languageProbs.at("de"), expected, 1e-4);
  EXPECT_TRUE(result.tokens.empty());
  EXPECT_EQ(result.text, "");
  EXPECT_FALSE(result.cache);
  EXPECT_FALSE(result.fallback);
  EXPECT_EQ(dynamic_cast<DecodingInputs&>(*prepared).cacheLength().floatAt(0), 0.0F);
  EXPECT_EQ(result.timings->totalDecodingLoops, 0);
  EXPECT_GT(result.timings->decodingPredictions, 0);

  const auto filter = decoder_.languageLogitsFilter();
  ASSERT_TRUE(filter);
  EXPECT_EQ(filter->logitsDim(), 51865);
  decoder_.detectLanguage(window(1), *prepared, sampler, DecodingOptions{}, 0);
  EXPECT_EQ(decoder_.languageLogitsFilter(), filter);
  decoder_.unloadModel();
  EXPECT_FALSE(decoder_.languageLogitsFilter());
}

// A tokenizer that spells one language token as a code the library does not know.
class RenamingTokenizer final : public WhisperTokenizer {
 public:
  RenamingTokenizer(std::shared_ptr<const WhisperTokenizer> inner, int renamed) : inner_(std::move(inner)), renamed_(renamed) {}
  std::vector<int> encode(std::string_view text) const override { return inner_->encode(text); }
  std::string decode(std::span<const int> tokens) const override {
    return tokens.size() == 1 && tokens[0] == renamed_ ? "<|xx|>" : inner_->decode(tokens);
  }
  std::optional<int> convertTokenToId(std::string_view token) const override { return inner_->convertTokenToId(token); }
  std::optional<std::string> convertIdToToken(int id) const override { return inner_->convertIdToToken(id); }
  const SpecialTokens& specialTokens() const override { return inner_->specialTokens(); }
  const std::set<int>& allLanguageTokens() const override { return inner_->allLanguageTokens(); }
  WordTokens splitToWordTokens(std::span<const int> ids) const override { return inner_->splitToWordTokens(ids); }

 private:
  std::shared_ptr<const WhisperTokenizer> inner_;
  int renamed_;
};

TEST_F(DecoderLoop, AnUnknownDetectedCodeBecomesEnglishAndKeepsItsProbability) {
  const int german = id("<|de|>");
  spec_.sequences = {{1, {kStart, german}}};
  load();
  decoder_.setTokenizer(std::make_shared<const RenamingTokenizer>(*tokenizer_, german));
  const auto prepared = inputs(DecodingOptions{});
  GreedyTokenSampler sampler(0, kEnd, DecodingOptions{});
  const DecodingResult result = decoder_.detectLanguage(window(1), *prepared, sampler, DecodingOptions{}, 0);
  EXPECT_EQ(result.language, "en");
  ASSERT_EQ(result.languageProbs.size(), 1U);
  EXPECT_TRUE(result.languageProbs.contains("xx"));
}

// Collects the library's log lines at debug level while it lives.
class LogLines {
 public:
  LogLines() {
    noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::debug);
    noxtal::Logging::updateCallback([this](const std::string& line) {
      const std::lock_guard<std::mutex> guard(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogLines() {
    noxtal::Logging::updateCallback({});
    noxtal::Logging::updateLogLevel(noxtal::Logging::LogLevel::none);
  }
  std::vector<std::string> lines() const {
    const std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }
  bool has(const std::string& line) const {
    const auto all = lines();
    return std::find(all.begin(), all.end(), line) != all.end();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

TEST_F(DecoderLoop, LogLinesOfAWindowAndOfADetection) {
  spec_.sequences = {{1, {kStart, kEnglish, kTranscribe, T + 10, 400, T + 30, kEnd}}};
  load();
  const LogLines log;
  const DecodingResult result = decode(1, DecodingOptions{});
  EXPECT_TRUE(log.has("Running main loop for a maximum of 223 iterations"));
  EXPECT_TRUE(log.has("Forcing prompt tokenIndex: 1, token: 50259, text: <|en|>"));
  EXPECT_TRUE(log.has("Skipping prompt tokenIndex: 3, token: 50374, text: <|0.20|>"));
  EXPECT_TRUE(log.has("Predicted next tokenIndex: 6, token: 50257, text: <|endoftext|>"));
  EXPECT_TRUE(log.has("--------------- DECODER INPUTS DEBUG ---------------"));
  EXPECT_TRUE(log.has("Cache Length:  3 Input Token: 50374"));
  EXPECT_TRUE(log.has("Key Cache | Val Cache | Align Cache | Update Mask | Decoder Mask | Position"));
  // At step 1 position 0 holds the first step's slice (key 1, value -1), position 1 is next.
  EXPECT_TRUE(log.has(" 1.000000 | -1.000000 |  0.000000 |           0 |            0 | 0"));
  EXPECT_TRUE(log.has(" 0.000000 |  0.000000 |  0.000000 |           1 |            0 | 1"));
  EXPECT_TRUE(log.has("Completed window: " + result.text));
  const auto lines = log.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.starts_with("Found first token at: "); }),
            1);
}

TEST_F(DecoderLoop, WindowsAndDetectionsRunConcurrentlyOnOneDecoder) {
  std::vector<int> script1{kStart, kEnglish, kTranscribe, T}, script2 = script1;
  for (int i = 0; i < 12; ++i) {
    script1.push_back(300 + i);
    script2.push_back(700 + i);
  }
  spec_.sequences = {{1, script1}, {2, script2}};
  load();
  const DecodingResult expected1 = decode(1, DecodingOptions{});
  const DecodingResult expected2 = decode(2, DecodingOptions{});
  std::vector<DecodingResult> results(4);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&, i] {
        const int key = i % 2 + 1;
        if (i < 2) {
          results[i] = decode(key, DecodingOptions{}, [](const TranscriptionProgress&) -> std::optional<bool> { return true; });
        } else {
          const auto prepared = inputs(DecodingOptions{});
          GreedyTokenSampler sampler(0, kEnd, DecodingOptions{});
          results[i] = decoder_.detectLanguage(window(key), *prepared, sampler, DecodingOptions{}, 0);
        }
      });
    }
  }
  EXPECT_EQ(results[0].tokens, expected1.tokens);
  EXPECT_EQ(results[1].tokens, expected2.tokens);
  EXPECT_EQ(results[2].language, "en");
  EXPECT_EQ(results[3].language, "en");
  EXPECT_EQ(decoder_.earlyStopActor().count(), 0U);
}

TEST_F(DecoderLoop, AlignmentRowsStartAtTheTranscriptWithOrWithoutAContextPrompt) {
  const std::vector<int> text = textIds(" the terms of this license and the software");
  ASSERT_GE(text.size(), 4U);
  const std::vector<int> context = textIds(" copyright");
  ASSERT_FALSE(context.empty());
  const std::vector<int> plain = concat(concat({kStart, kEnglish, kTranscribe, T}, text), {T + 50, kEnd});
  spec_.windowSize = 120;
  spec_.sequences = {{1, plain}, {2, concat(concat({kPrevious}, context), plain)}};
  const int shift = 1 + static_cast<int>(context.size());
  for (int p = 0; p + 1 < static_cast<int>(plain.size()); ++p) spec_.alignmentFrame[p] = 3 + 9 * p;
  load();
  const DecodingResult without = decode(1, DecodingOptions{});
  // The same weights for the same tokens, which sit `shift` positions later behind the context.
  std::map<int, int> shifted;
  for (const auto& [p, frame] : spec_.alignmentFrame) shifted[p + shift] = frame;
  spec_.alignmentFrame = shifted;
  load();
  const DecodingResult with = decode(2, DecodingOptions{.promptTokens = context});
  ASSERT_EQ(without.tokens, plain);
  ASSERT_EQ(with.tokens, plain);
  const MultiArray& rowsWithout = *without.cache->alignmentWeights;
  const MultiArray& rowsWith = *with.cache->alignmentWeights;
  ASSERT_EQ(rowsWithout.shape(), rowsWith.shape());
  EXPECT_EQ(rowsWithout.toFloatVector(), rowsWith.toFloatVector());
  EXPECT_EQ(rowsWith.floatAt(1 * 120 + 3), 1.0F);  // row 1: the step that predicted <|en|>

  const SegmentSeeker seeker;
  const auto wordsOf = [&](const DecodingResult& result) {
    const auto segments = seeker.findSeekPointAndSegments(result, DecodingOptions{}, 0, 0, 480000, 16000, T, kEnd,
                                                          words()).second;
    return seeker.addWordTimestamps(*segments, *result.cache->alignmentWeights, words(), 0, 480000,
                                    Constants::defaultPrependPunctuations, Constants::defaultAppendPunctuations, 0.0F,
                                    DecodingOptions{}, TranscriptionTimings{});
  };
  const auto timedWithout = wordsOf(without);
  const auto timedWith = wordsOf(with);
  ASSERT_EQ(timedWithout.size(), 1U);
  ASSERT_TRUE(timedWithout[0].words);
  ASSERT_GE(timedWithout[0].words->size(), 3U);
  EXPECT_EQ(*timedWithout[0].words, *timedWith[0].words);
  const auto& first = timedWithout[0].words->front();
  const auto& last = timedWithout[0].words->back();
  EXPECT_LT(first.start, last.start);  // the rows spread the words over the window
}

}  // namespace
}  // namespace vostrane
