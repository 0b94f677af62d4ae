// The main class's language detection: on the first 30 seconds of a file, or on one window of
// samples.
#include <filesystem>
#include <system_error>

#include "core/logging.hpp"
#include "platform/sync/cancellation.hpp"
#include "speech/audio/audio_processor.hpp"
#include "speech/decoding/token_sampler.hpp"
#include "speech/model/constants.hpp"
#include "speech/model/whisper_error.hpp"
#include "speech/pipeline/vostrane.hpp"

namespace vostrane {

namespace {

// Language detection reads no more than this much of a file.
constexpr double kDetectionSeconds = 30.0;
constexpr std::size_t kConversionFrames = 1024;

}  // namespace

Vostrane::LanguageDetection Vostrane::detectLanguage(const std::string& audioPath, std::stop_token stopToken) {
  std::error_code error;
  if (!std::filesystem::exists(audioPath, error)) {
    throw WhisperError::loadAudioFailed("Resource path does not exist " + audioPath);
  }
  platform::sync::throwIfStopped(stopToken);
  auto buffer = AudioProcessor::loadAudio(audioPath, ChannelMode::sumChannels(), 0.0, kDetectionSeconds, std::nullopt);
  if (!buffer) throw WhisperError::loadAudioFailed("Failed to read audio file: " + audioPath);
  const std::vector<float> samples = AudioProcessor::convertBufferToArray(*buffer, kConversionFrames);
  buffer.reset();
  return detectLangauge(std::span<const float>(samples), stopToken);
}

Vostrane::LanguageDetection Vostrane::detectLangauge(std::span<const float> audioArray, std::stop_token stopToken) {
  ensureLoaded(stopToken);
  const Components parts = components();
  if (!parts.textDecoder->isModelMultilingual()) {
    throw WhisperError::decodingFailed("Language detection not supported for this model");
  }
  if (!parts.tokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
  const SpecialTokens& special = parts.tokenizer->specialTokens();

  DecodingOptions options;
  options.verbose = noxtal::Logging::isLoggingEnabled();

  const auto decoderInputs = parts.textDecoder->prepareDecoderInputs({special.startOfTranscriptToken});
  if (!decoderInputs) throw WhisperError::prepareDecoderInputsFailed("Unable to prepare decoder inputs");

  const int window = parts.featureExtractor->windowSamples().value_or(Constants::defaultWindowSamples);
  const std::optional<AudioProcessorOutputType> padded = parts.audioProcessor->padOrTrim(audioArray, 0, window);
  if (!padded) throw WhisperError::transcriptionFailed("Audio samples are nil");
  platform::sync::throwIfStopped(stopToken);
  const std::optional<FeatureExtractorOutputType> mel = parts.featureExtractor->logMelSpectrogram(*padded, stopToken);
  if (!mel) throw WhisperError::transcriptionFailed("Mel output is nil");
  platform::sync::throwIfStopped(stopToken);
  const std::optional<AudioEncoderOutputType> encoded = parts.audioEncoder->encodeFeatures(*mel, stopToken);
  if (!encoded) throw WhisperError::transcriptionFailed("Encoder output is nil");

  GreedyTokenSampler sampler(0.0F, special.endToken, options);
  DecodingResult result;
  try {
    result = parts.textDecoder->detectLanguage(*encoded, *decoderInputs, sampler, options, 0.0F, stopToken);
  } catch (const platform::sync::CancellationError&) {
    // A stop is the caller's request, not a failure of the detection.
    throw;
  } catch (...) {
    throw WhisperError::decodingFailed("Language detection failed");
  }
  return LanguageDetection{result.language, result.languageProbs};
}

}  // namespace vostrane
