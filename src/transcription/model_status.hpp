// ModelStatus, the status of the worker's models as the engine sees it, and ModelStatusMachine,
// which holds the engine's current status and refuses every change that its transition table
// does not allow.
//
// The table: needsDownload -> downloading; downloading -> downloading, compiling, loading;
// compiling -> loading; loading -> ready; ready -> running, needsDownload; running -> ready,
// needsDownload. Besides it, every status may go to error (an error may replace an error), and
// error leaves only to needsDownload. A refused write changes nothing; callers ignore the
// result. The engine creates its machine with needsDownload.
//
// ModelStatus is a plain value. ModelStatusMachine is thread-safe: each operation takes its
// mutex, and current() returns a copy.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "transcription/transcription_error.hpp"

namespace velmoria {

class ModelStatus {
 public:
  enum class Case { needsDownload, downloading, compiling, loading, ready, running, error };

  static ModelStatus needsDownload() { return ModelStatus(Case::needsDownload); }
  static ModelStatus downloading(double progress) { return ModelStatus(Case::downloading, progress); }
  static ModelStatus compiling() { return ModelStatus(Case::compiling); }
  static ModelStatus loading() { return ModelStatus(Case::loading); }
  static ModelStatus ready() { return ModelStatus(Case::ready); }
  static ModelStatus running() { return ModelStatus(Case::running); }
  static ModelStatus error(TranscriptionError error) { return ModelStatus(std::move(error)); }

  Case kind() const { return kind_; }
  // The progress of downloading; 0 for the other cases.
  double progress() const { return progress_; }
  // The error of the error case; null for the others. Valid as long as this value.
  const TranscriptionError* transcriptionError() const { return error_ ? &*error_ : nullptr; }

  // "downloading(progress: 0.0)", "error(invalidInput(\"...\"))", "ready", ... for log lines.
  std::string description() const;

  // Same case and equal payloads: progress compared as numbers (a NaN progress equals
  // nothing), errors by their own equality.
  friend bool operator==(const ModelStatus& a, const ModelStatus& b);

 private:
  explicit ModelStatus(Case kind, double progress = 0) : kind_(kind), progress_(progress) {}
  explicit ModelStatus(TranscriptionError error) : kind_(Case::error), error_(std::move(error)) {}

  Case kind_;
  double progress_ = 0;
  std::optional<TranscriptionError> error_;
};

class ModelStatusMachine {
 public:
  explicit ModelStatusMachine(ModelStatus initial = ModelStatus::needsDownload()) : current_(std::move(initial)) {}
  ModelStatusMachine(const ModelStatusMachine&) = delete;
  ModelStatusMachine& operator=(const ModelStatusMachine&) = delete;

  ModelStatus current() const;
  // Moves to `target` (payload included) and returns true when the step from the current
  // status is allowed; otherwise changes nothing and returns false.
  bool transition(ModelStatus target);
  // Sets `status` without any test.
  void forceSet(ModelStatus status);

  // Whether the table and the two error rules allow the step from `from` to `to`.
  static bool isAllowed(const ModelStatus& from, const ModelStatus& to);

 private:
  mutable std::mutex mutex_;
  ModelStatus current_;  // guarded by mutex_
};

}  // namespace velmoria
