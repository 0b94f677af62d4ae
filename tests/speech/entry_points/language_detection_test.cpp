// Language detection on the main class: on a file's start and on samples, with an English-only
// decoder, a failing detector and a stop.
#include <gtest/gtest.h>

#include <atomic>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/sync/cancellation.hpp"
#include "speech/decoding/text_decoder.hpp"
#include "speech/entry_points/entry_points_fixture.hpp"
#include "speech/model/whisper_error.hpp"
#include "support/expect_error.hpp"
#include "support/wav_writer.hpp"

namespace vostrane {
namespace {

using testdemo::speechLikeAudio;

// The demo decoder, whose language detection can be made to fail and counts its calls.
class ScriptedDetector : public TextDecoder {
 public:
  std::atomic<bool> fail{false};
  std::atomic<int> detections{0};

  DecodingResult detectLanguage(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& decoderInputs,
                                TokenSampling& sampler, const DecodingOptions& options, float temperature,
                                std::stop_token stopToken) override {
    ++detections;
    if (fail) throw WhisperError::decodingLogitsFailed("scripted detector failure");
    return TextDecoder::detectLanguage(encoderOutput, decoderInputs, sampler, options, temperature, stopToken);
  }
};

class LanguageDetection : public EntryPoints {
 protected:
  std::shared_ptr<Vostrane> makeWithDetector(bool load = true) {
    VostraneConfig config = demoConfig();
    config.textDecoder = detector_;
    return makeInstance(load, config);
  }

  std::shared_ptr<ScriptedDetector> detector_ = std::make_shared<ScriptedDetector>();
};

TEST_F(LanguageDetection, SamplesAndFileGiveTheDecodersLanguageWithItsProbability) {
  auto instance = makeWithDetector(false);  // loaded on demand
  const auto fromSamples = instance->detectLangauge(speechLikeAudio(5));
  EXPECT_EQ(instance->modelState(), noxtal::ModelState::loaded);
  // The demo decoder answers "<|en|>" after the start of transcript.
  EXPECT_EQ(fromSamples.language, "en");
  ASSERT_TRUE(fromSamples.langProbs.contains("en"));
  EXPECT_LE(fromSamples.langProbs.at("en"), 0.0F);
  EXPECT_GT(fromSamples.langProbs.at("en"), -0.01F);  // logit 20 against 0 for every other token

  // A stereo file of 45 s: only its first 30 s are read, the channels summed.
  const auto path = demo_->root() / "stereo.wav";
  const auto audio = speechLikeAudio(45);
  testsupport::writeWav(path, kRate, 2, static_cast<std::int64_t>(audio.size()),
                        [&](int, std::int64_t i) { return audio[static_cast<std::size_t>(i)]; });
  const auto fromFile = instance->detectLanguage(path.string());
  EXPECT_EQ(fromFile.language, "en");
  EXPECT_EQ(fromFile.langProbs, fromSamples.langProbs);
  EXPECT_EQ(detector_->detections.load(), 2);
}

TEST_F(LanguageDetection, BadInputsFailWithTheirOwnErrors) {
  auto instance = makeWithDetector();
  const std::string missing = (demo_->root() / "absent.wav").string();
  testsupport::expectError<WhisperError>([&] { instance->detectLanguage(missing); },
                                         WhisperError::Case::loadAudioFailed,
                                         "Resource path does not exist " + missing);

  // English-only: refused before the tokenizer is looked at, and the detector never runs.
  instance->setTokenizer(nullptr);
  instance->textDecoder()->setIsModelMultilingual(false);
  testsupport::expectError<WhisperError>([&] { instance->detectLangauge(speechLikeAudio(1)); },
                                         WhisperError::Case::decodingFailed,
                                         "Language detection not supported for this model");
  instance->textDecoder()->setIsModelMultilingual(true);
  testsupport::expectError<WhisperError>([&] { instance->detectLangauge(speechLikeAudio(1)); },
                                         WhisperError::Case::tokenizerUnavailable, "Tokenizer is unavailable");
  EXPECT_EQ(detector_->detections.load(), 0);
}

TEST_F(LanguageDetection, AFailingDetectorIsReportedAsAFailedDetection) {
  auto instance = makeWithDetector();
  detector_->fail = true;
  testsupport::expectError<WhisperError>([&] { instance->detectLangauge(speechLikeAudio(2)); },
                                         WhisperError::Case::decodingFailed, "Language detection failed");
  EXPECT_EQ(detector_->detections.load(), 1);
}

TEST_F(LanguageDetection, AStopIsACancellationNotAFailedDetection) {
  auto instance = makeWithDetector();
  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(instance->detectLangauge(speechLikeAudio(2), stop.get_token()), platform::sync::CancellationError);
}

}  // namespace
}  // namespace vostrane
