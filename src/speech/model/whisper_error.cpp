#include "speech/model/whisper_error.hpp"

#include <cstddef>
#include <iterator>
#include <utility>

#include "core/logging.hpp"
#include "platform/log/check.hpp"

namespace vostrane {
namespace {

// Case names in declaration order, indexed by the case.
constexpr const char* kCaseNames[] = {
    "tokenizerUnavailable", "modelsUnavailable",     "audioProcessingFailed",      "decodingLogitsFailed",
    "segmentingFailed",     "loadAudioFailed",       "prepareDecoderInputsFailed", "transcriptionFailed",
    "decodingFailed",       "microphoneUnavailable", "initializationError",
};
static_assert(std::size(kCaseNames) == static_cast<std::size_t>(WhisperErrorCase::initializationError) + 1);

const char* caseNameOf(WhisperErrorCase errorCase) {
  const auto index = static_cast<std::size_t>(errorCase);
  platform::log::requireThat(index < std::size(kCaseNames), "WhisperError case outside its enumeration");
  return kCaseNames[index];
}

}  // namespace

WhisperError::WhisperError(Case errorCase, std::string message)
    : ErrorWithCase("WhisperError", errorCase, caseNameOf(errorCase), message, message) {}

WhisperError WhisperError::tokenizerUnavailable(std::string message) {
  return {Case::tokenizerUnavailable, std::move(message)};
}
WhisperError WhisperError::modelsUnavailable(std::string message) {
  return {Case::modelsUnavailable, std::move(message)};
}
WhisperError WhisperError::audioProcessingFailed(std::string message) {
  return {Case::audioProcessingFailed, std::move(message)};
}
WhisperError WhisperError::decodingLogitsFailed(std::string message) {
  return {Case::decodingLogitsFailed, std::move(message)};
}
WhisperError WhisperError::segmentingFailed(std::string message) {
  return {Case::segmentingFailed, std::move(message)};
}
WhisperError WhisperError::loadAudioFailed(std::string message) { return {Case::loadAudioFailed, std::move(message)}; }
WhisperError WhisperError::prepareDecoderInputsFailed(std::string message) {
  return {Case::prepareDecoderInputsFailed, std::move(message)};
}
WhisperError WhisperError::transcriptionFailed(std::string message) {
  return {Case::transcriptionFailed, std::move(message)};
}
WhisperError WhisperError::decodingFailed(std::string message) { return {Case::decodingFailed, std::move(message)}; }
WhisperError WhisperError::microphoneUnavailable(std::string message) {
  return {Case::microphoneUnavailable, std::move(message)};
}
WhisperError WhisperError::initializationError(std::string message) {
  return {Case::initializationError, std::move(message)};
}

std::string WhisperError::errorDescription() const {
  noxtal::Logging::error(message());
  return message();
}

}  // namespace vostrane
