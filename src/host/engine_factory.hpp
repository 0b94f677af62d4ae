// The engine factory of the transcriber-worker executable: the one place where the worker's
// main chooses the engine each connection gets.
//
// makeWorkerTranscriptionEngine() returns the engine for one new connection: a new
// InProcessTranscriptionEngine of the current transcription method, with the settings resolved
// for this machine's physical memory and its models in modelStorageBaseURL(). Connections
// share no engine; the models on disk are shared by all of them.
#pragma once

#include <memory>

#include "transcription/transcription_engine.hpp"

namespace velmoria {

std::shared_ptr<TranscriptionEngine> makeWorkerTranscriptionEngine();

}  // namespace velmoria
