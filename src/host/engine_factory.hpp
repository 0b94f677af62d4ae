// The engine factory of the transcriber-worker executable: the one place where the worker's
// main chooses the engine each connection gets.
//
// makeWorkerTranscriptionEngine() returns the engine for one new connection. Until the
// worker's in-process engine is linked in here, it returns an engine that has no models: it
// answers every call that can fail with TranscriptionError (downloads with downloadFailed,
// requests with modelLoadFailed), reports no models on disk and unloads nothing.
#pragma once

#include <memory>

#include "transcription/transcription_engine.hpp"

namespace velmoria {

std::shared_ptr<TranscriptionEngine> makeWorkerTranscriptionEngine();

}  // namespace velmoria
