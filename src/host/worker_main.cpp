// transcriber-worker: the transcription worker process. It reads no arguments; the app starts
// it on demand and it ends when its last connection closes (host/worker_host.hpp).
#include "host/engine_factory.hpp"
#include "host/worker_host.hpp"

int main() { return velmoria::runWorker(velmoria::makeWorkerTranscriptionEngine); }
