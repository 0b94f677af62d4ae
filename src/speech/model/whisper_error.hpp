// WhisperError: the one error type of the speech library. Every failure the library detects
// itself (audio loading, feature extraction, encoding, decoding, segmentation, the pipeline) is
// thrown as one of its eleven cases carrying a human-readable message. Derives from
// platform::sys::ErrorWithCase (domain "WhisperError"; message() and description() are the
// message).
#pragma once

#include <string>

#include "platform/sys/error.hpp"

namespace vostrane {

// The cases, in their fixed order (the order is the case index).
enum class WhisperErrorCase {
  tokenizerUnavailable,
  modelsUnavailable,
  audioProcessingFailed,
  decodingLogitsFailed,
  segmentingFailed,
  loadAudioFailed,
  prepareDecoderInputsFailed,
  transcriptionFailed,
  decodingFailed,
  microphoneUnavailable,
  initializationError,
};

class WhisperError : public platform::sys::ErrorWithCase<WhisperErrorCase> {
 public:
  using Case = WhisperErrorCase;

  // Builds an error of the given case with the given message (any text, may be empty).
  WhisperError(Case errorCase, std::string message);

  // One factory per case, named as the case.
  static WhisperError tokenizerUnavailable(std::string message = "Tokenizer is unavailable");
  static WhisperError modelsUnavailable(std::string message = "Models are unavailable");
  static WhisperError audioProcessingFailed(std::string message);
  static WhisperError decodingLogitsFailed(std::string message);
  static WhisperError segmentingFailed(std::string message);
  static WhisperError loadAudioFailed(std::string message);
  static WhisperError prepareDecoderInputsFailed(std::string message);
  static WhisperError transcriptionFailed(std::string message);
  static WhisperError decodingFailed(std::string message);
  static WhisperError microphoneUnavailable(std::string message);
  static WhisperError initializationError(std::string message);

  // The message unchanged. Each call first logs the message at error level through the core
  // logging facade (so showing an error also leaves one error line in the log). Thread-safe.
  std::string errorDescription() const;

  // what() is the message and does not log.

  // Same case and same message.
  friend bool operator==(const WhisperError& a, const WhisperError& b) {
    return a.errorCase() == b.errorCase() && a.message() == b.message();
  }
};

}  // namespace vostrane
