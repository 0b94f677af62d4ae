// The outcome of one input of a batch transcription: its results, or the error it ended with.
#pragma once

#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include "speech/model/transcription_result.hpp"

namespace vostrane {

using TranscriptionResults = std::vector<std::shared_ptr<TranscriptionResult>>;

class TranscriptionOutcome {
 public:
  static TranscriptionOutcome success(TranscriptionResults results) {
    return TranscriptionOutcome(std::move(results), nullptr);
  }
  // `error` must not be null.
  static TranscriptionOutcome failure(std::exception_ptr error) { return TranscriptionOutcome({}, std::move(error)); }

  bool succeeded() const { return error_ == nullptr; }
  const TranscriptionResults& results() const { return results_; }
  const std::exception_ptr& error() const { return error_; }
  // The results, or the error rethrown.
  const TranscriptionResults& get() const {
    if (error_) std::rethrow_exception(error_);
    return results_;
  }

 private:
  TranscriptionOutcome(TranscriptionResults results, std::exception_ptr error)
      : results_(std::move(results)), error_(std::move(error)) {}
  TranscriptionResults results_;
  std::exception_ptr error_;
};

}  // namespace vostrane
