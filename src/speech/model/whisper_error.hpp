// WhisperError: the one error type of the speech library. Every failure the library detects
// itself (audio loading, feature extraction, encoding, decoding, segmentation, the pipeline) is
// thrown as one of its eleven cases carrying a human-readable message.
#pragma once

#include <exception>
#include <string>

namespace vostrane {

class WhisperError : public std::exception {
 public:
  // The cases, in their fixed order (the order is the case index).
  enum class Case {
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

  Case errorCase() const noexcept { return case_; }
  const std::string& message() const noexcept { return message_; }

  // The message unchanged. Each call first logs the message at error level through the core
  // logging facade (so showing an error also leaves one error line in the log). Thread-safe.
  std::string errorDescription() const;

  // The message; does not log.
  const char* what() const noexcept override { return message_.c_str(); }

  // Same case and same message.
  friend bool operator==(const WhisperError& a, const WhisperError& b) {
    return a.case_ == b.case_ && a.message_ == b.message_;
  }

 private:
  Case case_;
  std::string message_;
};

}  // namespace vostrane
