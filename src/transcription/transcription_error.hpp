// TranscriptionError: the one error type of the worker's own interface, and TranscriptionMethod,
// the name of the method whose settings the engine uses.
//
// Nine cases, numbered 0 to 8; the six with a payload come first. The message cases carry a
// text written by the raiser; insufficientDisk carries two byte counts. description() (and
// what()) is the full text of the value as the worker logs it, e.g.
// invalidInput("Audio file does not exist: /tmp/a.wav"). That text never crosses the
// connection: errorRecord() is what a peer receives, the domain
// "Transcription.TranscriptionError", the case number and the generic text built from the two.
//
// CodingError is the failure of a record's JSON on the connection: a request that does not
// decode (NSCocoaErrorDomain 4864) or a result that does not encode (4866), with the codec's
// message as the description.
//
// All types are plain values, thread-safe as values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ipc/ipc_error.hpp"
#include "platform/sys/error.hpp"

namespace velmoria {

enum class TranscriptionErrorCase {
  insufficientDisk = 0,
  downloadFailed = 1,
  modelLoadFailed = 2,
  invalidInput = 3,
  transcriptionFailed = 4,
  diarizationFailed = 5,
  needsDownload = 6,
  workerUnavailable = 7,
  workerInterrupted = 8,
};

inline constexpr const char* kTranscriptionErrorDomain = "Transcription.TranscriptionError";

class TranscriptionError : public platform::sys::ErrorWithCase<TranscriptionErrorCase> {
 public:
  using Case = TranscriptionErrorCase;

  static TranscriptionError insufficientDisk(std::int64_t requiredBytes, std::int64_t availableBytes);
  static TranscriptionError downloadFailed(std::string message);
  static TranscriptionError modelLoadFailed(std::string message);
  static TranscriptionError invalidInput(std::string message);
  static TranscriptionError transcriptionFailed(std::string message);
  static TranscriptionError diarizationFailed(std::string message);
  static TranscriptionError needsDownload();
  static TranscriptionError workerUnavailable();
  static TranscriptionError workerInterrupted();

  // The byte counts of insufficientDisk; 0 for the other cases.
  std::int64_t requiredBytes() const noexcept { return requiredBytes_; }
  std::int64_t availableBytes() const noexcept { return availableBytes_; }

  // "The operation couldn’t be completed. (Transcription.TranscriptionError error N.)": the
  // only text a peer sees.
  std::string genericDescription() const;
  // {kTranscriptionErrorDomain, case number, genericDescription()}: the error on the wire.
  // Use this, not platform::ipc::ErrorRecord::from, which would send the full text.
  platform::ipc::ErrorRecord errorRecord() const;

  // Same case and equal payloads (messages by their characters, both byte counts).
  friend bool operator==(const TranscriptionError& a, const TranscriptionError& b) {
    return a.errorCase() == b.errorCase() && a.message() == b.message() && a.requiredBytes_ == b.requiredBytes_ &&
           a.availableBytes_ == b.availableBytes_;
  }

 private:
  TranscriptionError(Case errorCase, const char* caseName, std::string message, std::string description,
                     std::int64_t requiredBytes = 0, std::int64_t availableBytes = 0);
  static TranscriptionError withMessage(Case errorCase, const char* caseName, std::string message);

  std::int64_t requiredBytes_;
  std::int64_t availableBytes_;
};

// The record of any failure of a worker call: a TranscriptionError gives errorRecord(), every
// other exception the triple platform::ipc::ErrorRecord::fromException makes of it.
platform::ipc::ErrorRecord errorRecordOf(std::exception_ptr error);

// ---- JSON coding failures on the connection

enum class CodingErrorCase {
  dataCorrupted = 4864,  // the data could not be read as the record
  invalidValue = 4866,   // the record could not be written (a non-finite number)
};

inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";

class CodingError : public platform::sys::ErrorWithCase<CodingErrorCase> {
 public:
  using Case = CodingErrorCase;
  // The codec's message becomes the description.
  static CodingError dataCorrupted(std::string message);
  static CodingError invalidValue(std::string message);

  friend bool operator==(const CodingError& a, const CodingError& b) {
    return a.errorCase() == b.errorCase() && a.message() == b.message();
  }

 private:
  CodingError(Case errorCase, const char* caseName, std::string message);
};

// ---- Methods

struct TranscriptionMethod {
  std::string id;

  // "v1", "v2" and the current method (the same value as v2): the only methods there are.
  static const TranscriptionMethod& v1();
  static const TranscriptionMethod& v2();
  static const TranscriptionMethod& current();

  friend bool operator==(const TranscriptionMethod&, const TranscriptionMethod&) = default;
};

}  // namespace velmoria
