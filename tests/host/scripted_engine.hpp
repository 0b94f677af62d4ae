// A TranscriptionEngine for the worker tests, scripted by its requests and the environment.
//
// processAudio: a micPath of the form "script:STEP;STEP;..." runs the steps in order, then
// answers as usual:
//   sleep=MS     sleeps MS milliseconds
//   wait=PATH    waits (at most 60 s) until the file PATH exists
//   throw=N      throws the TranscriptionError of case N (message "scripted failure N")
//   throwOther   throws a std::runtime_error ("scripted runtime failure")
//   abort        ends the process with abort()
//   nan          answers a transcript whose processingDuration is NaN (it cannot be encoded)
//   cwd          appends " cwd=<the process's working folder>" to the segment's text
// The transcript has one segment whose text is "mic=<micPath> system=<systemPath>
// vocabulary=<terms joined by ','>", language "en", method "v2", one speaker.
//
// ensureModelsDownloaded: on an engine without models, reports "Downloading speech-to-text
// model" and "Downloading speaker ID model" (sleeping SCRIPTED_ENGINE_DOWNLOAD_MS between and
// after them when set) and then has its models; with models it reports nothing. With
// SCRIPTED_ENGINE_DOWNLOAD=fail it throws downloadFailed("scripted download failure") first.
// unloadModels drops the models, so the next download reports again. Thread-safe.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "transcription/transcription_engine.hpp"

namespace scripted {

class ScriptedEngine : public velmoria::TranscriptionEngine {
 public:
  void ensureModelsDownloaded(const StatusCallback& status) override;
  velmoria::TranscriptResult processAudio(const std::string& micPath, const std::string& systemPath,
                                          const std::vector<std::string>& customVocabulary) override;
  void unloadModels() override;
  bool modelsPresent() override;
  velmoria::ModelStatus status() override;

 private:
  std::mutex mutex_;
  bool hasModels_ = false;  // guarded by mutex_
};

}  // namespace scripted
