// scripted-worker: the worker process hosting a ScriptedEngine, for the worker tests and the
// benchmarks.
#include <memory>

#include "host/worker_host.hpp"
#include "scripted_engine.hpp"

int main() {
  return velmoria::runWorker([] { return std::make_shared<scripted::ScriptedEngine>(); });
}
