#include "transcription/transcription_error.hpp"

#include <utility>

namespace velmoria {
namespace {

// The message rendered as a quoted literal: quotes and backslashes escaped.
std::string asLiteral(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace

TranscriptionError::TranscriptionError(Case errorCase, const char* caseName, std::string message,
                                       std::string description, std::int64_t requiredBytes,
                                       std::int64_t availableBytes)
    : ErrorWithCase(kTranscriptionErrorDomain, errorCase, caseName, std::move(message), std::move(description)),
      requiredBytes_(requiredBytes),
      availableBytes_(availableBytes) {}

TranscriptionError TranscriptionError::withMessage(Case errorCase, const char* caseName, std::string message) {
  std::string description = std::string(caseName) + "(" + asLiteral(message) + ")";
  return TranscriptionError(errorCase, caseName, std::move(message), std::move(description));
}

TranscriptionError TranscriptionError::insufficientDisk(std::int64_t requiredBytes, std::int64_t availableBytes) {
  return TranscriptionError(Case::insufficientDisk, "insufficientDisk", {},
                            "insufficientDisk(requiredBytes: " + std::to_string(requiredBytes) +
                                ", availableBytes: " + std::to_string(availableBytes) + ")",
                            requiredBytes, availableBytes);
}
TranscriptionError TranscriptionError::downloadFailed(std::string message) {
  return withMessage(Case::downloadFailed, "downloadFailed", std::move(message));
}
TranscriptionError TranscriptionError::modelLoadFailed(std::string message) {
  return withMessage(Case::modelLoadFailed, "modelLoadFailed", std::move(message));
}
TranscriptionError TranscriptionError::invalidInput(std::string message) {
  return withMessage(Case::invalidInput, "invalidInput", std::move(message));
}
TranscriptionError TranscriptionError::transcriptionFailed(std::string message) {
  return withMessage(Case::transcriptionFailed, "transcriptionFailed", std::move(message));
}
TranscriptionError TranscriptionError::diarizationFailed(std::string message) {
  return withMessage(Case::diarizationFailed, "diarizationFailed", std::move(message));
}
TranscriptionError TranscriptionError::needsDownload() {
  return TranscriptionError(Case::needsDownload, "needsDownload", {}, "needsDownload");
}
TranscriptionError TranscriptionError::workerUnavailable() {
  return TranscriptionError(Case::workerUnavailable, "workerUnavailable", {}, "workerUnavailable");
}
TranscriptionError TranscriptionError::workerInterrupted() {
  return TranscriptionError(Case::workerInterrupted, "workerInterrupted", {}, "workerInterrupted");
}

std::string TranscriptionError::genericDescription() const {
  return std::string("The operation couldn\u2019t be completed. (") + kTranscriptionErrorDomain + " error " +
         std::to_string(code()) + ".)";
}

platform::ipc::ErrorRecord TranscriptionError::errorRecord() const {
  return platform::ipc::ErrorRecord{kTranscriptionErrorDomain, code(), genericDescription()};
}

platform::ipc::ErrorRecord errorRecordOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const TranscriptionError& e) {
    return e.errorRecord();
  } catch (...) {
    return platform::ipc::ErrorRecord::fromException(std::current_exception());
  }
}

CodingError::CodingError(Case errorCase, const char* caseName, std::string message)
    : ErrorWithCase(kCocoaErrorDomain, errorCase, caseName, message, message) {}

CodingError CodingError::dataCorrupted(std::string message) {
  return CodingError(Case::dataCorrupted, "dataCorrupted", std::move(message));
}
CodingError CodingError::invalidValue(std::string message) {
  return CodingError(Case::invalidValue, "invalidValue", std::move(message));
}

const TranscriptionMethod& TranscriptionMethod::v1() {
  static const TranscriptionMethod method{"v1"};
  return method;
}
const TranscriptionMethod& TranscriptionMethod::v2() {
  static const TranscriptionMethod method{"v2"};
  return method;
}
const TranscriptionMethod& TranscriptionMethod::current() { return v2(); }

}  // namespace velmoria
