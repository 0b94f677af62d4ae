#include "scripted_engine.hpp"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <thread>

#include "transcription/transcription_error.hpp"

namespace scripted {
namespace {

using velmoria::TranscriptionError;
using velmoria::TranscriptionErrorCase;

void sleepMs(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

long environmentMs(const char* name) {
  const char* text = std::getenv(name);
  return text ? std::strtol(text, nullptr, 10) : 0;
}

TranscriptionError errorOfCase(int n) {
  const std::string message = "scripted failure " + std::to_string(n);
  switch (static_cast<TranscriptionErrorCase>(n)) {
    case TranscriptionErrorCase::insufficientDisk:
      return TranscriptionError::insufficientDisk(750000000, 700000000);
    case TranscriptionErrorCase::downloadFailed:
      return TranscriptionError::downloadFailed(message);
    case TranscriptionErrorCase::modelLoadFailed:
      return TranscriptionError::modelLoadFailed(message);
    case TranscriptionErrorCase::invalidInput:
      return TranscriptionError::invalidInput(message);
    case TranscriptionErrorCase::transcriptionFailed:
      return TranscriptionError::transcriptionFailed(message);
    case TranscriptionErrorCase::diarizationFailed:
      return TranscriptionError::diarizationFailed(message);
    case TranscriptionErrorCase::needsDownload:
      return TranscriptionError::needsDownload();
    case TranscriptionErrorCase::workerUnavailable:
      return TranscriptionError::workerUnavailable();
    case TranscriptionErrorCase::workerInterrupted:
      return TranscriptionError::workerInterrupted();
  }
  return TranscriptionError::transcriptionFailed(message);
}

}  // namespace

void ScriptedEngine::ensureModelsDownloaded(const StatusCallback& status) {
  const char* mode = std::getenv("SCRIPTED_ENGINE_DOWNLOAD");
  if (mode && std::string(mode) == "fail") throw TranscriptionError::downloadFailed("scripted download failure");
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (hasModels_) return;
  }
  const long pause = environmentMs("SCRIPTED_ENGINE_DOWNLOAD_MS");
  status("Downloading speech-to-text model");
  sleepMs(pause);
  status("Downloading speaker ID model");
  sleepMs(pause);
  std::lock_guard<std::mutex> guard(mutex_);
  hasModels_ = true;
}

velmoria::TranscriptResult ScriptedEngine::processAudio(const std::string& micPath, const std::string& systemPath,
                                                        const std::vector<std::string>& customVocabulary) {
  bool notANumber = false;
  std::string workingFolder;
  const std::string prefix = "script:";
  if (micPath.rfind(prefix, 0) == 0) {
    std::string rest = micPath.substr(prefix.size());
    while (!rest.empty()) {
      const auto end = rest.find(';');
      const std::string step = rest.substr(0, end);
      rest = end == std::string::npos ? "" : rest.substr(end + 1);
      const auto eq = step.find('=');
      const std::string name = step.substr(0, eq);
      const std::string value = eq == std::string::npos ? "" : step.substr(eq + 1);
      if (name == "sleep") {
        sleepMs(std::strtol(value.c_str(), nullptr, 10));
      } else if (name == "wait") {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!std::filesystem::exists(value) && std::chrono::steady_clock::now() < deadline) sleepMs(5);
      } else if (name == "throw") {
        throw errorOfCase(static_cast<int>(std::strtol(value.c_str(), nullptr, 10)));
      } else if (name == "throwOther") {
        throw std::runtime_error("scripted runtime failure");
      } else if (name == "abort") {
        std::abort();
      } else if (name == "nan") {
        notANumber = true;
      } else if (name == "cwd") {
        workingFolder = " cwd=" + std::filesystem::current_path().string();
      }
    }
  }
  std::string vocabulary;
  for (const auto& term : customVocabulary) vocabulary += (vocabulary.empty() ? "" : ",") + term;
  velmoria::TranscriptResult result;
  result.id = platform::sync::Uuid::random();
  result.createdAt = velmoria::Date::now();
  result.transcriptionMethodId = "v2";
  result.language = "en";
  result.speakerCount = 1;
  velmoria::TranscriptSegment segment;
  segment.id = platform::sync::Uuid::random();
  segment.speakerID = 0;
  segment.speakerLabel = "Speaker 0";
  segment.startTime = 0;
  segment.endTime = 1;
  segment.text = "mic=" + micPath + " system=" + systemPath + " vocabulary=" + vocabulary + workingFolder;
  result.segments.push_back(segment);
  result.speakerSpeechDurations[0] = 1;
  result.processingDuration = notANumber ? std::numeric_limits<double>::quiet_NaN() : 0.01;
  return result;
}

void ScriptedEngine::unloadModels() {
  std::lock_guard<std::mutex> guard(mutex_);
  hasModels_ = false;
}

bool ScriptedEngine::modelsPresent() {
  std::lock_guard<std::mutex> guard(mutex_);
  return hasModels_;
}

velmoria::ModelStatus ScriptedEngine::status() {
  std::lock_guard<std::mutex> guard(mutex_);
  return hasModels_ ? velmoria::ModelStatus::downloading(0) : velmoria::ModelStatus::needsDownload();
}

}  // namespace scripted
