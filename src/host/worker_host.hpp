// The worker process: its entry, the listener delegate and the count of open connections.
//
// runWorker(factory) is the whole life of a transcriber worker. In order: it changes to "/"
// (so that a relative path never resolves against a client's folder), logs "XPC host process
// started pid=%d", listens as kTranscriberServiceName (platform/ipc/listener.hpp; when another
// worker already serves, it returns 0) and accepts every connection: the connection count goes
// up, the connection exports a TranscriberService holding a new engine from `factory` and
// reaches the app's TranscriberStatusReporting. An interruption only logs. An invalidation
// counts the connection down; at 0 the worker stops listening (the socket is closed and its
// file removed, the lock still held), logs "XPC host exiting pid=%d (no active connections)"
// and ends at once with _exit(0). A worker that has had no connection
// VELMORIA_WORKER_IDLE_SECONDS after its start (default 30; a non-negative number, decimals
// allowed) ends the same way. Returns only when listening fails: 1 when it cannot start, 0
// after "Listener resumed pid=%d" when accepting stops.
//
// Call it once per process, from main.
#pragma once

#include "transcription/transcription_engine.hpp"

namespace velmoria {

int runWorker(TranscriptionEngineFactory factory);

}  // namespace velmoria
