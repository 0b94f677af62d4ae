#include "host/engine_factory.hpp"

#include "transcription/in_process_transcription_engine.hpp"

namespace velmoria {

std::shared_ptr<TranscriptionEngine> makeWorkerTranscriptionEngine() {
  return std::make_shared<InProcessTranscriptionEngine>();
}

}  // namespace velmoria
