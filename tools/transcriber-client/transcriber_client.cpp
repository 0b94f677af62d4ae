// transcriber-client: one transcription through the app's client facade, from the command line.
//
//   transcriber-client --mic FILE --system FILE [--vocabulary TERM]... [--service NAME]
//                      [--in-process] [--no-download]
//
// Through a Transcriber: ensureModelsDownloaded (unless --no-download), processAudio, a health
// check (hosted only), unloadModels and shutdown. The transcript JSON goes to stdout; each
// download step to stderr as "status: <text>", each published model status as
// "model status: <text>".
// Hosted (the default; the worker started on demand): the health check goes over a second
// connection of its own, and afterwards the tool waits for the workers it started: one that
// did not exit 0 is a failure. --in-process runs the engine inside this process (models in the
// same storage folder the worker uses); there is no worker to check, so no health check is
// made. --service makes no sense with it and is a usage error.
//
// Exit status: 0 on success; 1 with one line "error: <case>: <message>" on stderr when an
// operation fails; 2 for a usage error.
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/ipc/connection.hpp"
#include "platform/ipc/launcher.hpp"
#include "transcription/transcriber.hpp"
#include "transcription/transcriber_service_protocol.hpp"
#include "transcription/transcriber_status_receiver.hpp"
#include "transcription/transcript_records.hpp"

namespace {

constexpr auto kWorkerExitPatience = std::chrono::seconds(60);

int usage(const char* why) {
  std::fprintf(stderr, "transcriber-client: %s\n", why);
  std::fprintf(stderr,
               "usage: transcriber-client --mic FILE --system FILE [--vocabulary TERM]... [--service NAME] "
               "[--in-process] [--no-download]\n");
  return 2;
}

int failure(const std::string& errorCase, const std::string& message) {
  std::fprintf(stderr, "error: %s: %s\n", errorCase.c_str(), message.c_str());
  return 1;
}

// The worker's health over a connection of our own; false when it does not answer true.
bool healthCheck(const std::string& serviceName) {
  auto connection = platform::ipc::Connection::toService(serviceName);
  connection->setRemoteObjectInterface(velmoria::transcriberServiceInterface());
  connection->setExportedInterface(velmoria::transcriberStatusReportingInterface());
  connection->setExportedObject(std::make_shared<velmoria::TranscriberStatusReportingExporter>(
      std::make_shared<velmoria::TranscriberStatusReceiver>()));
  connection->resume();
  bool healthy = false;
  if (auto proxy = connection->remoteObjectProxy<velmoria::TranscriberServiceProxy>()) {
    std::promise<bool> answer;
    proxy->healthCheck([&answer](bool h) { answer.set_value(h); });
    healthy = answer.get_future().get();
  }
  connection->invalidate();
  return healthy;
}

int run(int argc, char** argv) {
  std::string mic, system, serviceName = velmoria::kTranscriberServiceName;
  std::vector<std::string> vocabulary;
  bool download = true;
  bool inProcess = false;
  bool serviceGiven = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) return nullptr;
      (void)name;
      return argv[++i];
    };
    if (arg == "--mic" || arg == "--system" || arg == "--vocabulary" || arg == "--service") {
      const char* v = value(arg.c_str());
      if (!v) return usage((arg + " needs a value").c_str());
      if (arg == "--mic") mic = v;
      if (arg == "--system") system = v;
      if (arg == "--vocabulary") vocabulary.push_back(v);
      if (arg == "--service") {
        serviceName = v;
        serviceGiven = true;
      }
    } else if (arg == "--no-download") {
      download = false;
    } else if (arg == "--in-process") {
      inProcess = true;
    } else {
      return usage(("unknown argument " + arg).c_str());
    }
  }
  if (mic.empty() || system.empty()) return usage("--mic and --system are required");
  if (serviceName.empty()) return usage("--service needs a name");
  if (inProcess && serviceGiven) return usage("--service and --in-process exclude each other");
  // The worker runs in "/": relative paths must not reach it.
  std::error_code ec;
  const std::string micPath = std::filesystem::absolute(mic, ec).string();
  const std::string systemPath = std::filesystem::absolute(system, ec).string();

  auto transcriber = velmoria::Transcriber::make(inProcess ? velmoria::Transcriber::Backend::inProcess()
                                                           : velmoria::Transcriber::Backend::hosted(serviceName),
                                                 velmoria::TranscriptionMethod::current());
  auto stream = std::make_shared<velmoria::StatusStream>(transcriber->statusStream());
  std::thread printer([stream] {
    while (auto status = stream->next()) std::fprintf(stderr, "model status: %s\n", status->description().c_str());
  });
  const auto stopPrinter = [&] {
    // Let the printer write what was published before the stream ends (cancel drops the rest).
    for (int i = 0; i < 100 && stream->buffered() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    stream->cancel();
    printer.join();
  };

  int exitStatus = 0;
  try {
    if (download) {
      transcriber->ensureModelsDownloaded([](const std::string& text) { std::fprintf(stderr, "status: %s\n", text.c_str()); });
    }
    const auto transcript = transcriber->processAudio(micPath, systemPath, vocabulary);
    const std::string json = velmoria::encodeText(transcript);
    std::fwrite(json.data(), 1, json.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    if (!inProcess && !healthCheck(serviceName)) {
      exitStatus = failure("healthCheck", "the worker did not report itself healthy");
    }
  } catch (const velmoria::TranscriptionError& e) {
    exitStatus = failure(std::string(e.caseName()), e.message());
  } catch (const std::exception& e) {
    exitStatus = failure("failure", e.what());
  }
  transcriber->unloadModels();
  transcriber->shutdown();
  stopPrinter();
  transcriber.reset();

  for (const auto& worker : platform::ipc::waitForLaunchedWorkers(kWorkerExitPatience)) {
    if (!worker.ended()) {
      if (exitStatus == 0) exitStatus = failure("worker", "worker " + std::to_string(worker.pid) + " did not exit");
    } else if (!WIFEXITED(*worker.waitStatus) || WEXITSTATUS(*worker.waitStatus) != 0) {
      if (exitStatus == 0) {
        exitStatus = failure("worker", "worker " + std::to_string(worker.pid) + " ended with wait status " +
                                           std::to_string(*worker.waitStatus));
      }
    }
  }
  return exitStatus;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef TRANSCRIBER_CLIENT_DEFAULT_WORKER
  ::setenv("VELMORIA_WORKER_PATH", TRANSCRIBER_CLIENT_DEFAULT_WORKER, 0);
#endif
  return run(argc, argv);
}
