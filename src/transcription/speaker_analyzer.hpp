// SpeakerAnalyzer: who spoke when, for how long, and what each voice looks like, in a
// microphone recording and a system-audio recording taken together, without transcribing
// them. Runs the diarization library in the app's process on the mixed signal and condenses its
// result with the engine's span, duration and embedding-space functions.
//
// Thread-safe. Its mutex is never held across a library call: each operation works through a
// std::shared_ptr copy of the library instance taken under the lock, so unload() never frees an
// instance in use. Creating the instance and loading its models (which may download into the
// worker's storage folder) hold the diarization repository's advisory lock, which the worker's
// engine takes too, so the two processes never write one partial file.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "diarization/dellomar.hpp"
#include "transcription/speaker_spans.hpp"
#include "transcription/transcript_records.hpp"

namespace velmoria {

struct SpeakerAnalysis {
  // Empty, or one set of the speakers' finite centroid vectors.
  std::vector<SpeakerEmbeddingSet> embeddingSets;
  std::map<std::int64_t, double> speakerSpeechDurations;
  // In the order of the diarization result's segments.
  std::vector<DiarizedSpan> spans;

  friend bool operator==(const SpeakerAnalysis&, const SpeakerAnalysis&) = default;
};

class SpeakerAnalyzer {
 public:
  // No library instance yet.
  SpeakerAnalyzer() = default;
  SpeakerAnalyzer(const SpeakerAnalyzer&) = delete;
  SpeakerAnalyzer& operator=(const SpeakerAnalyzer&) = delete;

  // Creates the library instance (downloading its models) unless one exists. Throws
  // downloadFailed("Dellomar download failed: ...").
  void ensureModelsDownloaded();
  // Loads and mixes both files, makes the models ready and diarizes. Throws the loader's and
  // merger's errors and the library's creation, loading and diarization errors unchanged.
  SpeakerAnalysis analyze(const std::string& micPath, const std::string& systemPath);
  // Drops the instance and its models. Never throws.
  void unload();

  // Whether an instance is held (for tests and diagnostics).
  bool hasInstance() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<dellomar::Dellomar> dellomar_;  // guarded by mutex_
};

// The diarization configuration the analyzer and the worker's engine both use: the engine's
// own, with the storage folder's path as download base and the hub endpoint ($HF_ENDPOINT when
// set).
std::shared_ptr<dellomar::PyannoteConfig> makeAnalyzerPyannoteConfig();

}  // namespace velmoria
