// TranscriptionEngine: what the worker's service object (host/) calls for each request of the
// app. The worker's engine is InProcessTranscriptionEngine; tests host a scripted one.
//
// Every operation blocks until it is done and may be called from several threads at once (one
// thread per service call): an implementation guards its own state and holds no lock across a
// library call. Failures are thrown as TranscriptionError (the audio loading may also throw
// what it raises); the service turns whatever is thrown into an error record.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transcription/model_status.hpp"
#include "transcription/transcript_records.hpp"

namespace velmoria {

class TranscriptionEngine {
 public:
  // Receives one text per download step; may be called from any thread.
  using StatusCallback = std::function<void(const std::string& status)>;

  virtual ~TranscriptionEngine() = default;

  // Makes sure both model sets are on disk, reporting each step through `status` before it.
  virtual void ensureModelsDownloaded(const StatusCallback& status) = 0;
  // One microphone file and one system-audio file, with the vocabulary terms, into one
  // speaker-attributed transcript.
  virtual TranscriptResult processAudio(const std::string& micPath, const std::string& systemPath,
                                        const std::vector<std::string>& customVocabulary) = 0;
  // Drops both library instances and their models; never fails.
  virtual void unloadModels() = 0;
  // Whether both model sets are on disk (reads folder listings only).
  virtual bool modelsPresent() = 0;
  // The current model status.
  virtual ModelStatus status() = 0;
};

// Makes the engine of one connection; called once per accepted connection.
using TranscriptionEngineFactory = std::function<std::shared_ptr<TranscriptionEngine>()>;

}  // namespace velmoria
