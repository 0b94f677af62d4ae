// The demo speech models: the mel graph against a plain reference, the scripted decoder driven
// by the library's own decoder loop, segment seeker and word timings, the model support file,
// identical output across runs, and the tool's bad arguments.
#include "tools/make-demo-models/speech/speech_models.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "core/tokenizers/auto_tokenizer.hpp"
#include "platform/fs/file_system.hpp"
#include "platform/json/json.hpp"
#include "speech/audio/audio_encoder.hpp"
#include "speech/audio/feature_extractor.hpp"
#include "speech/decoding/segment_seeker.hpp"
#include "speech/decoding/text_decoder.hpp"
#include "speech/decoding/token_sampler.hpp"
#include "speech/model/constants.hpp"
#include "speech/model/model_support.hpp"
#include "support/temporary_folder.hpp"
#include "log_mel_reference.hpp"

namespace demomodels {
namespace {

namespace fs = std::filesystem;
using platform::ml::DataType;
using platform::ml::MultiArray;
using vostrane::DecodingOptions;
using vostrane::DecodingResult;
using vostrane::TextDecoder;
using vostrane::WhisperTokenizerWrapper;

constexpr int kTestMerges = 2000;
constexpr auto kCpu = platform::ml::ComputeUnits::cpuOnly;

class SpeechDemoModels : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new testsupport::TemporaryFolder("speech_demo_models");
    SpeechDemoOptions options;
    options.out = folder_->path() / "repo";
    options.tokenizerMerges = kTestMerges;
    writeSpeechModels(platform::fs::RealFileSystem::shared(), options);
    tokenizer_ = new std::shared_ptr<const WhisperTokenizerWrapper>(std::make_shared<const WhisperTokenizerWrapper>(
        noxtal::tokenizers::AutoTokenizerWrapper::fromModelFolder(models())));
  }
  static void TearDownTestSuite() {
    delete tokenizer_;
    delete folder_;
  }
  static fs::path models() { return folder_->path() / "repo" / kDefaultSpeechFolder; }
  static const WhisperTokenizerWrapper& words() { return **tokenizer_; }

  void SetUp() override {
    decoder_.loadModel(models() / "TextDecoder.mlmodelc", kCpu, false);
    decoder_.setTokenizer(*tokenizer_);
    decoder_.setIsModelMultilingual(true);
  }

  static MultiArray embeds() { return MultiArray({1, kEncoderEmbedSize, 1, kEncoderFrames}, DataType::float16); }

  DecodingResult decode(vostrane::DecodingInputsType& inputs, const DecodingOptions& options) {
    vostrane::GreedyTokenSampler sampler(0, words().specialTokens().endToken, options);
    return decoder_.decodeText(embeds(), inputs, sampler, options);
  }

  std::vector<int> textTokens(const std::vector<int>& tokens) const {
    std::vector<int> text;
    for (const int t : tokens) {
      if (t < words().specialTokens().specialTokenBegin) text.push_back(t);
    }
    return text;
  }

  static testsupport::TemporaryFolder* folder_;
  static std::shared_ptr<const WhisperTokenizerWrapper>* tokenizer_;
  TextDecoder decoder_;
};

testsupport::TemporaryFolder* SpeechDemoModels::folder_ = nullptr;
std::shared_ptr<const WhisperTokenizerWrapper>* SpeechDemoModels::tokenizer_ = nullptr;

TEST_F(SpeechDemoModels, MelGraphMatchesThePlainReference) {
  vostrane::FeatureExtractor extractor;
  extractor.loadModel(models() / "MelSpectrogram.mlmodelc", kCpu, false);
  ASSERT_EQ(extractor.windowSamples(), kWindowSamples);
  ASSERT_EQ(extractor.melCount(), kMelBins);

  std::mt19937 random(7);
  std::uniform_real_distribution<float> uniform(-0.3F, 0.3F);
  std::vector<float> sine(kWindowSamples);
  std::vector<float> noise(kWindowSamples);
  std::vector<float> sineThenSilence(kWindowSamples, 0.0F);
  for (std::size_t i = 0; i < sine.size(); ++i) {
    sine[i] = 0.5F * static_cast<float>(std::sin(2 * std::numbers::pi * 440.0 * static_cast<double>(i) / 16000));
    noise[i] = uniform(random);
    if (i < sine.size() / 2) sineThenSilence[i] = sine[i];
  }
  const std::vector<float> silence(kWindowSamples, 0.0F);
  const std::pair<const char*, const std::vector<float>*> signals[] = {
      {"sine", &sine}, {"noise", &noise}, {"silence", &silence}, {"sine then silence", &sineThenSilence}};
  for (const auto& [name, samples] : signals) {
    SCOPED_TRACE(name);
    const MultiArray audio = MultiArray::fromValues<float>({kWindowSamples}, *samples);
    const std::optional<MultiArray> mel = extractor.logMelSpectrogram(audio);
    ASSERT_TRUE(mel);
    ASSERT_EQ(mel->shape(), (platform::ml::Shape{1, kMelBins, 1, kMelFrames}));
    ASSERT_EQ(mel->dataType(), DataType::float16);
    const std::vector<float> got = mel->toFloatVector();
    const std::vector<double> want = referenceLogMel(*samples);
    double worst = 0;
    std::size_t worstAt = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
      const double error = std::abs(static_cast<double>(got[i]) - want[i]);
      if (!(error <= worst)) {
        worst = error;
        worstAt = i;
      }
    }
    EXPECT_LE(worst, 2e-3) << "at mel " << worstAt / 3000 << ", frame " << worstAt % 3000 << ": got "
                           << got[worstAt] << ", want " << want[worstAt];
    // Digital silence is floored at log10(1e-10): (-10 + 4) / 4 in every cell.
    if (samples == &silence) {
      EXPECT_TRUE(std::all_of(got.begin(), got.end(), [](float v) { return v == -1.5F; }));
    }
  }
}

TEST_F(SpeechDemoModels, EncoderGivesBoundedEmbeddingsThatFollowTheAudio) {
  vostrane::FeatureExtractor extractor;
  extractor.loadModel(models() / "MelSpectrogram.mlmodelc", kCpu, false);
  vostrane::AudioEncoder encoder;
  encoder.loadModel(models() / "AudioEncoder.mlmodelc", kCpu, false);
  EXPECT_EQ(encoder.embedSize(), kEncoderEmbedSize);
  EXPECT_EQ(encoder.sequenceLength(), kEncoderFrames);
  std::vector<float> samples(kWindowSamples, 0.0F);
  for (std::size_t i = kWindowSamples / 2; i < samples.size(); ++i) {
    samples[i] = 0.4F * static_cast<float>(std::sin(2 * std::numbers::pi * 300.0 * static_cast<double>(i) / 16000));
  }
  const auto mel = extractor.logMelSpectrogram(MultiArray::fromValues<float>({kWindowSamples}, samples));
  const auto out = encoder.encodeFeatures(*mel);
  ASSERT_TRUE(out);
  ASSERT_EQ(out->shape(), (platform::ml::Shape{1, kEncoderEmbedSize, 1, kEncoderFrames}));
  const std::vector<float> values = out->toFloatVector();
  bool differs = false;
  for (std::int64_t d = 0; d < kEncoderEmbedSize; ++d) {
    const float silent = values[static_cast<std::size_t>(d * kEncoderFrames + 100)];
    const float voiced = values[static_cast<std::size_t>(d * kEncoderFrames + 1400)];
    EXPECT_LE(std::abs(silent), 1.0F);
    EXPECT_LE(std::abs(voiced), 1.0F);
    // Frames of the same (silent) input give the same embedding.
    EXPECT_EQ(silent, values[static_cast<std::size_t>(d * kEncoderFrames + 200)]);
    differs = differs || std::abs(silent - voiced) > 0.05F;
  }
  EXPECT_TRUE(differs);
}

TEST_F(SpeechDemoModels, DecoderFollowsTheScriptThroughTheDecoderLoop) {
  const vostrane::SpecialTokens& special = words().specialTokens();
  ASSERT_EQ(decoder_.logitsSize(), kVocabularySize);
  ASSERT_EQ(decoder_.kvCacheMaxSequenceLength(), 224);
  ASSERT_TRUE(decoder_.supportsWordTimestamps());
  const SpeechScript script = speechScript(words(), kDefaultSpeechText);
  DecodingOptions options;
  options.wordTimestamps = true;
  auto inputs = decoder_.prefillDecoderInputs(decoder_.prepareDecoderInputs({special.startOfTranscriptToken}), options);
  const DecodingResult result = decode(*inputs, options);

  std::vector<int> expected{special.startOfTranscriptToken, special.englishToken, special.transcribeToken};
  expected.insert(expected.end(), script.tokens.begin(), script.tokens.end());
  EXPECT_EQ(result.tokens, expected);
  EXPECT_EQ(words().decode(textTokens(result.tokens)), kDefaultSpeechText);
  EXPECT_FALSE(result.fallback);
  EXPECT_EQ(result.language, "en");
  EXPECT_GT(result.avgLogProb, -0.01F);

  // Two segments: [0, end of the first half of the words] and [there, 30 s]; the seek moves
  // by the whole window.
  const vostrane::SegmentSeeker seeker;
  const auto [seek, segments] = seeker.findSeekPointAndSegments(result, options, 0, 0, 480000, 16000,
                                                                special.timeTokenBegin, special.specialTokenBegin,
                                                                words());
  EXPECT_EQ(seek, 480000);
  ASSERT_TRUE(segments);
  ASSERT_EQ(segments->size(), 2U);
  EXPECT_EQ((*segments)[0].start, 0.0F);
  EXPECT_FLOAT_EQ((*segments)[0].end, 2.5F);  // 5 of the 9 words
  EXPECT_FLOAT_EQ((*segments)[1].start, 2.5F);
  EXPECT_FLOAT_EQ((*segments)[1].end, 30.0F);
  EXPECT_EQ(words().decode(textTokens((*segments)[0].tokens)) + words().decode(textTokens((*segments)[1].tokens)),
            kDefaultSpeechText);

  // The alignment weights place word w at [0.5 w, 0.5 (w + 1)].
  ASSERT_TRUE(result.cache && result.cache->alignmentWeights);
  const std::vector<vostrane::TranscriptionSegment> timed = seeker.addWordTimestamps(
      *segments, *result.cache->alignmentWeights, words(), 0, 480000, vostrane::Constants::defaultPrependPunctuations,
      vostrane::Constants::defaultAppendPunctuations, 0, options, {});
  std::vector<vostrane::WordTiming> all;
  for (const auto& segment : timed) {
    ASSERT_TRUE(segment.words);
    all.insert(all.end(), segment.words->begin(), segment.words->end());
  }
  ASSERT_EQ(all.size(), 9U);
  std::string joined;
  for (std::size_t w = 0; w < all.size(); ++w) {
    SCOPED_TRACE(all[w].word);
    EXPECT_NEAR(all[w].start, 0.5 * static_cast<double>(w), 1e-4);
    EXPECT_NEAR(all[w].end, 0.5 * static_cast<double>(w + 1), 1e-4);
    joined += all[w].word;
  }
  EXPECT_EQ(joined, kDefaultSpeechText);
  EXPECT_EQ(all.back().word, " dog.");
}

TEST_F(SpeechDemoModels, PromptTokensAndStaleCachesChangeNothing) {
  const vostrane::SpecialTokens& special = words().specialTokens();
  DecodingOptions plain;
  auto inputs = decoder_.prefillDecoderInputs(decoder_.prepareDecoderInputs({special.startOfTranscriptToken}), plain);
  const DecodingResult reference = decode(*inputs, plain);

  // A window behind previous text: the task token sits further on, the answers are the same.
  DecodingOptions withPrompt;
  withPrompt.promptTokens = words().encode(" earlier words of the recording");
  inputs->reset(224);
  decoder_.prefillDecoderInputs(inputs, withPrompt);
  const DecodingResult prompted = decode(*inputs, withPrompt);
  EXPECT_EQ(prompted.tokens, reference.tokens);

  // The next window starts with a short prompt on the same (not cleared) caches: the task flag
  // left at the later position must not count.
  inputs->reset(224);
  decoder_.prefillDecoderInputs(inputs, plain);
  EXPECT_EQ(decode(*inputs, plain).tokens, reference.tokens);

  // Language detection: one prediction after the start token.
  vostrane::GreedyTokenSampler sampler(0, special.endToken, plain);
  inputs->reset(224);
  EXPECT_EQ(decoder_.detectLanguage(embeds(), *inputs, sampler, plain, 0).language, "en");
}

TEST_F(SpeechDemoModels, ModelSupportRecommendsTheFolderOnEveryDevice) {
  const auto config = vostrane::ModelSupportConfig::fromJson(
      platform::json::parse(platform::fs::readFile(folder_->path() / "repo" / "config.json")));
  EXPECT_EQ(config.repoName(), kSpeechRepoName);
  for (const char* device : {"Mac14,2", "x86_64", ""}) {
    const vostrane::ModelSupport support = config.modelSupport(device);
    EXPECT_EQ(support.defaultModel, kDefaultSpeechFolder);
    EXPECT_EQ(support.supported, std::vector<std::string>{kDefaultSpeechFolder});
  }
}

std::map<std::string, std::string> filesUnder(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), root).string()] = platform::fs::readFile(entry.path());
  }
  return files;
}

TEST_F(SpeechDemoModels, EveryRunWritesTheSameBytes) {
  testsupport::TemporaryFolder again("speech_demo_models_again");
  SpeechDemoOptions options;
  options.out = again.path();
  options.tokenizerMerges = kTestMerges;
  writeSpeechModels(platform::fs::RealFileSystem::shared(), options);
  const auto first = filesUnder(folder_->path() / "repo");
  const auto second = filesUnder(again.path());
  EXPECT_EQ(first.size(), 9U);
  EXPECT_TRUE(first == second);

  // Another folder name and text: the folder and the script follow.
  options.folder = "custom";
  options.text = " Two words";
  writeSpeechModels(platform::fs::RealFileSystem::shared(), options);
  EXPECT_TRUE(fs::exists(again.path() / "custom" / "TextDecoder.mlmodelc" / "model.json"));
  const auto config = vostrane::ModelSupportConfig::fromJson(
      platform::json::parse(platform::fs::readFile(again.path() / "config.json")));
  EXPECT_EQ(config.modelSupport("any").defaultModel, "custom");
  EXPECT_NE(platform::fs::readFile(again.path() / "custom" / "TextDecoder.mlmodelc" / "weights.bin"),
            second.at(std::string(kDefaultSpeechFolder) + "/TextDecoder.mlmodelc/weights.bin"));
}

TEST_F(SpeechDemoModels, UnusableTextsAreRefused) {
  for (const char* text : {" single", "...", " <|en|> two words"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(speechScript(words(), text), SpeechDemoArgumentError);
  }
  std::string many;
  for (std::size_t i = 0; i <= kMaxWords; ++i) many += " word";
  EXPECT_THROW(speechScript(words(), many), SpeechDemoArgumentError);
}

TEST_F(SpeechDemoModels, PunctuationMarksKeepTheTimesOfTheirWords) {
  // Marks before the first word lead it; a later opening mark trails the word before it (and
  // the word timings join it to the word after it).
  EXPECT_EQ(speechScript(words(), "( Yes, please").words[0].leadingMarks, 1U);
  const char* text = " Yes, she said ( twice.";
  const SpeechScript script = speechScript(words(), text);
  ASSERT_EQ(script.words.size(), 4U);
  EXPECT_EQ(words().decode(script.words[0].tokens), " Yes,");
  EXPECT_EQ(script.words[0].trailingMarks, 1U);
  EXPECT_EQ(words().decode(script.words[2].tokens), " said (");

  // Through a run of the decoder on this script: the merged words keep the scripted times.
  SpeechDemoOptions options;
  testsupport::TemporaryFolder other("speech_demo_punctuation");
  options.out = other.path();
  options.text = text;
  options.tokenizerMerges = kTestMerges;
  writeSpeechModels(platform::fs::RealFileSystem::shared(), options);
  TextDecoder decoder;
  decoder.loadModel(other.path() / kDefaultSpeechFolder / "TextDecoder.mlmodelc", kCpu, false);
  decoder.setTokenizer(*tokenizer_);
  decoder.setIsModelMultilingual(true);
  DecodingOptions decoding;
  const auto inputs = decoder.prefillDecoderInputs(
      decoder.prepareDecoderInputs({words().specialTokens().startOfTranscriptToken}), decoding);
  vostrane::GreedyTokenSampler sampler(0, words().specialTokens().endToken, decoding);
  const DecodingResult result = decoder.decodeText(embeds(), *inputs, sampler, decoding);
  const vostrane::SegmentSeeker seeker;
  const auto segments = seeker.findSeekPointAndSegments(result, decoding, 0, 0, 480000, 16000,
                                                        words().specialTokens().timeTokenBegin, 0, words()).second;
  ASSERT_TRUE(segments);
  const auto timed = seeker.addWordTimestamps(*segments, *result.cache->alignmentWeights, words(), 0, 480000,
                                              vostrane::Constants::defaultPrependPunctuations,
                                              vostrane::Constants::defaultAppendPunctuations, 0, decoding, {});
  std::vector<vostrane::WordTiming> all;
  for (const auto& segment : timed) all.insert(all.end(), segment.words->begin(), segment.words->end());
  ASSERT_EQ(all.size(), 4U);
  EXPECT_EQ(all[0].word, " Yes,");
  EXPECT_EQ(all[3].word, " ( twice.");
  for (std::size_t w = 0; w < all.size(); ++w) {
    SCOPED_TRACE(all[w].word);
    EXPECT_NEAR(all[w].start, 0.5 * static_cast<double>(w), 1e-4);
    EXPECT_NEAR(all[w].end, 0.5 * static_cast<double>(w + 1), 1e-4);
  }
}

TEST(SpeechDemoArguments, ReadsTheOptionsInAnyOrder) {
  const std::string_view args[] = {"--text", " Hello there", "--out", "/tmp/x", "--folder", "name"};
  const SpeechDemoOptions options = parseSpeechArguments(args);
  EXPECT_EQ(options.out, fs::path("/tmp/x"));
  EXPECT_EQ(options.folder, "name");
  EXPECT_EQ(options.text, " Hello there");
  const std::string_view minimal[] = {"--out", "d"};
  EXPECT_EQ(parseSpeechArguments(minimal).folder, kDefaultSpeechFolder);
  EXPECT_EQ(parseSpeechArguments(minimal).text, kDefaultSpeechText);
}

TEST(SpeechDemoArguments, BadArgumentsAreRefused) {
  const std::vector<std::vector<std::string_view>> bad = {
      {},
      {"--out"},
      {"--out", ""},
      {"--out", "a", "--out", "b"},
      {"--out", "a", "--colour", "red"},
      {"--out", "a", "--folder", "x/y"},
      {"--out", "a", "--folder", ".."},
      {"--out", "a", "--folder", ""},
      {"--out", "a", "--text", ""},
      {"--folder", "x"},
  };
  for (const auto& args : bad) {
    EXPECT_THROW(parseSpeechArguments(args), SpeechDemoArgumentError) << args.size() << " arguments";
  }
}

#ifdef MAKE_DEMO_MODELS_TOOL
TEST(SpeechDemoTool, BadArgumentsExitWithOneLine) {
  testsupport::TemporaryFolder folder("speech_demo_tool");
  const fs::path err = folder / "err";
  const std::string command = std::string("'") + MAKE_DEMO_MODELS_TOOL + "' speech --out '" + folder.path().string() +
                              "' --folder a/b 2>'" + err.string() + "'";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  const std::string message = platform::fs::readFile(err);
  ASSERT_FALSE(message.empty());
  EXPECT_EQ(message.find('\n'), message.size() - 1) << message;
  EXPECT_NE(message.find("--folder"), std::string::npos) << message;
  EXPECT_FALSE(fs::exists(folder.path() / "config.json"));

  const int missing = std::system((std::string("'") + MAKE_DEMO_MODELS_TOOL + "' speech --text x 2>/dev/null").c_str());
  ASSERT_TRUE(WIFEXITED(missing));
  EXPECT_EQ(WEXITSTATUS(missing), 1);
}
#endif

}  // namespace
}  // namespace demomodels
