// worker-call METHOD[=ARGS-JSON]...: calls the transcription worker from the command line.
//
// The calls go in order over one connection to the worker service, which is started on demand
// ($VELMORIA_WORKER_PATH, else the transcriber-worker of this build). Each answer is written to
// standard output as one JSON line, {"method": M, "result": R} or {"method": M, "error": E};
// each one-way message of the worker (a download status) as {"oneway": M, "args": A} on
// standard error. ARGS-JSON must be an object; without it the call has {}. After the last
// answer the connection is closed and a worker this program started is waited for. Exit
// status: 0 when every answer was a reply and every worker it started exited with status 0,
// 1 otherwise, 2 on a usage error.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/ipc/connection.hpp"
#include "platform/ipc/launcher.hpp"
#include "platform/json/json.hpp"
#include "transcription/transcriber_service_protocol.hpp"
#include "transcription/transcriber_status_reporting.hpp"

namespace {

using platform::ipc::CallOutcome;
using platform::ipc::Connection;
using platform::json::Json;

constexpr auto kWorkerExitPatience = std::chrono::seconds(60);

std::mutex& outputMutex() {
  static std::mutex m;
  return m;
}

void printLine(std::FILE* stream, const Json& line) {
  const std::string text = platform::json::dump(line);
  std::lock_guard<std::mutex> guard(outputMutex());
  std::fprintf(stream, "%s\n", text.c_str());
  std::fflush(stream);
}

// Writes every one-way message of the worker to standard error.
class OnewayPrinter : public platform::ipc::ExportedObject {
 public:
  void handleCall(const std::string& method, const Json&, platform::ipc::Reply& reply) override {
    reply.fail(platform::ipc::IpcError(platform::ipc::IpcErrorCase::unknownMethod, method));
  }
  void handleOneway(const std::string& method, const Json& args) override {
    printLine(stderr, Json{{"oneway", method}, {"args", args}});
  }
};

struct Call {
  std::string method;
  Json args;
};

int usage(const std::string& why) {
  std::fprintf(stderr, "worker-call: %s\nusage: worker-call METHOD[=ARGS-JSON]...\n", why.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage("no method given");
  std::vector<Call> calls;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    const auto eq = word.find('=');
    Call call{word.substr(0, eq), Json::object()};
    if (call.method.empty()) return usage("empty method in \"" + word + "\"");
    if (eq != std::string::npos) {
      try {
        call.args = platform::json::parse(word.substr(eq + 1));
      } catch (const std::exception& e) {
        return usage("arguments of " + call.method + " are not JSON: " + e.what());
      }
      if (!call.args.is_object()) return usage("arguments of " + call.method + " are not a JSON object");
    }
    calls.push_back(std::move(call));
  }
#ifdef WORKER_CALL_DEFAULT_WORKER
  ::setenv("VELMORIA_WORKER_PATH", WORKER_CALL_DEFAULT_WORKER, 0);
#endif

  auto connection = Connection::toService(velmoria::kTranscriberServiceName);
  connection->setExportedInterface(velmoria::transcriberStatusReportingInterface());
  connection->setExportedObject(std::make_shared<OnewayPrinter>());
  connection->resume();

  bool allReplies = true;
  for (auto& call : calls) {
    std::promise<CallOutcome> promise;
    auto answer = promise.get_future();
    connection->call(call.method, call.args, [&promise](CallOutcome outcome) { promise.set_value(std::move(outcome)); });
    CallOutcome outcome = answer.get();
    if (outcome.error) {
      allReplies = false;
      printLine(stdout, Json{{"method", call.method}, {"error", outcome.error->toJson()}});
    } else {
      printLine(stdout, Json{{"method", call.method}, {"result", outcome.result}});
    }
  }
  connection->invalidate();
  connection.reset();

  bool workersOk = true;
  for (const auto& worker : platform::ipc::waitForLaunchedWorkers(kWorkerExitPatience)) {
    if (!worker.ended()) {
      std::fprintf(stderr, "worker-call: worker %d did not exit\n", static_cast<int>(worker.pid));
      workersOk = false;
    } else if (!WIFEXITED(*worker.waitStatus) || WEXITSTATUS(*worker.waitStatus) != 0) {
      std::fprintf(stderr, "worker-call: worker %d ended with wait status %d\n", static_cast<int>(worker.pid),
                   *worker.waitStatus);
      workersOk = false;
    }
  }
  return allReplies && workersOk ? 0 : 1;
}
