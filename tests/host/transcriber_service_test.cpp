// The service object in-process, over a controllable engine: what runs at once and what on a
// call thread, the bound on call threads, and how failures become error records.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <limits>
#include <mutex>
#include <thread>

#include "host/service_call_threads.hpp"
#include "host/transcriber_service.hpp"
#include "support/log_capture.hpp"
#include "transcription/transcription_error.hpp"

namespace {

using platform::ipc::ErrorRecord;
using platform::json::Json;
using velmoria::TranscriptionError;

// A gate that threads wait at until the test opens it.
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> g(m_);
    open_ = true;
    cv_.notify_all();
  }
  void pass() {
    std::unique_lock<std::mutex> l(m_);
    cv_.wait(l, [&] { return open_; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class ControlledEngine : public velmoria::TranscriptionEngine {
 public:
  Gate gate;
  std::atomic<bool> waitAtGate{false};
  std::atomic<int> processCalls{0};
  std::atomic<int> unloadCalls{0};
  std::function<void()> failure;  // thrown from processAudio and ensureModelsDownloaded when set
  bool notFinite = false;

  void ensureModelsDownloaded(const StatusCallback& status) override {
    if (waitAtGate) gate.pass();
    if (failure) failure();
    status("Downloading speech-to-text model");
    status("Downloading speaker ID model");
  }
  velmoria::TranscriptResult processAudio(const std::string& mic, const std::string&,
                                          const std::vector<std::string>&) override {
    ++processCalls;
    if (waitAtGate) gate.pass();
    if (failure) failure();
    velmoria::TranscriptResult r;
    r.language = mic;
    r.transcriptionMethodId = "v2";
    r.processingDuration = notFinite ? std::numeric_limits<double>::infinity() : 1.5;
    return r;
  }
  void unloadModels() override { ++unloadCalls; }
  bool modelsPresent() override { return false; }
  velmoria::ModelStatus status() override { return velmoria::ModelStatus::needsDownload(); }
};

const Json kRequest{{"micPath", "/tmp/mic.wav"}, {"systemPath", "/tmp/system.wav"}, {"customVocabulary", Json::array()}};

struct ProcessAnswer {
  std::optional<Json> transcript;
  std::optional<ErrorRecord> error;
  std::thread::id thread;
};

std::future<ProcessAnswer> process(velmoria::TranscriberService& service, Json request = kRequest) {
  auto promise = std::make_shared<std::promise<ProcessAnswer>>();
  auto future = promise->get_future();
  service.processAudio(std::move(request), [promise](std::optional<Json> t, std::optional<ErrorRecord> e) {
    promise->set_value(ProcessAnswer{std::move(t), std::move(e), std::this_thread::get_id()});
  });
  return future;
}

std::optional<ErrorRecord> download(velmoria::TranscriberService& service) {
  std::promise<std::optional<ErrorRecord>> p;
  service.ensureModelsDownloaded([&p](std::optional<ErrorRecord> e) { p.set_value(std::move(e)); });
  return p.get_future().get();
}

TEST(ServiceCallThreads, RunAtMostTheirLimitAndFreeASlotWhenAWorkEndsOrThrows) {
  testsupport::LogCapture log;
  velmoria::ServiceCallThreads threads(2);
  Gate gate;
  std::atomic<int> done{0};
  ASSERT_TRUE(threads.start([&] { gate.pass(); ++done; }));
  ASSERT_TRUE(threads.start([&] { gate.pass(); throw std::runtime_error("boom in a call"); }));
  EXPECT_EQ(threads.running(), 2u);
  EXPECT_FALSE(threads.start([&] { ++done; }));
  gate.open();
  EXPECT_TRUE(eventually([&] { return threads.running() == 0; }));
  EXPECT_EQ(done.load(), 1);
  EXPECT_TRUE(log.contains("boom in a call", platform::log::Level::error));
  ASSERT_TRUE(threads.start([&] { ++done; }));
  EXPECT_TRUE(eventually([&] { return done.load() == 2 && threads.running() == 0; }));
}

TEST(TranscriberService, HealthCheckAnswersAtOnceWhileARequestRuns) {
  auto engine = std::make_shared<ControlledEngine>();
  engine->waitAtGate = true;
  velmoria::TranscriberService service(engine, {});
  auto answer = process(service);
  ASSERT_TRUE(eventually([&] { return engine->processCalls.load() == 1; }));
  bool healthy = false;
  service.healthCheck([&](bool h) { healthy = h; });
  EXPECT_TRUE(healthy);  // answered before healthCheck returned
  EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  engine->gate.open();
  const auto result = answer.get();
  ASSERT_FALSE(result.error);
  ASSERT_TRUE(result.transcript);
  EXPECT_EQ((*result.transcript)["language"], "/tmp/mic.wav");
  EXPECT_NE(result.thread, std::this_thread::get_id());
}

TEST(TranscriberService, ARequestThatDoesNotDecodeIsAnsweredOnTheCallingThreadWithoutTheEngine) {
  auto engine = std::make_shared<ControlledEngine>();
  velmoria::TranscriberService service(engine, {});
  for (const Json& bad : {Json(nullptr), Json("text"), Json{{"micPath", "/a"}}, Json{{"micPath", "/a"}, {"systemPath", 2}}}) {
    auto answer = process(service, bad);
    ASSERT_EQ(answer.wait_for(std::chrono::milliseconds(0)), std::future_status::ready) << bad;
    const auto result = answer.get();
    EXPECT_EQ(result.thread, std::this_thread::get_id());
    EXPECT_FALSE(result.transcript);
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->domain, "NSCocoaErrorDomain");
    EXPECT_EQ(result.error->code, 4864);
  }
  EXPECT_EQ(engine->processCalls.load(), 0);
}

TEST(TranscriberService, FailuresAreLoggedInFullAndAnsweredWithTheirRecord) {
  testsupport::LogCapture log;
  auto engine = std::make_shared<ControlledEngine>();
  velmoria::TranscriberService service(engine, {});

  engine->failure = [] { throw TranscriptionError::invalidInput("Audio file does not exist: /tmp/mic.wav"); };
  auto result = process(service).get();
  ASSERT_TRUE(result.error);
  EXPECT_FALSE(result.transcript);
  EXPECT_EQ(*result.error,
            (ErrorRecord{"Transcription.TranscriptionError", 3,
                         "The operation couldn\u2019t be completed. (Transcription.TranscriptionError error 3.)"}));
  EXPECT_TRUE(log.contains("Audio file does not exist: /tmp/mic.wav", platform::log::Level::error));

  engine->failure = [] { throw TranscriptionError::insufficientDisk(750000000, 700000000); };
  const auto failed = download(service);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->code, 0);
  EXPECT_TRUE(log.contains("700000000", platform::log::Level::error));

  engine->failure = [] { throw std::bad_alloc(); };
  result = process(service).get();
  ASSERT_TRUE(result.error);
  EXPECT_EQ(result.error->domain, "platform.ipc");
  EXPECT_EQ(result.error->code, 0);

  engine->failure = nullptr;
  engine->notFinite = true;
  result = process(service).get();
  ASSERT_TRUE(result.error);
  EXPECT_FALSE(result.transcript);
  EXPECT_EQ(result.error->domain, "NSCocoaErrorDomain");
  EXPECT_EQ(result.error->code, 4866);

  // The engine answers with the mic path as its language: text that is not UTF-8 cannot be
  // written either, and is the same error rather than a failure of the frame.
  engine->notFinite = false;
  Json request = kRequest;
  request["micPath"] = std::string("/tmp/mic\xFF.wav");
  result = process(service, request).get();
  ASSERT_TRUE(result.error);
  EXPECT_FALSE(result.transcript);
  EXPECT_EQ(result.error->domain, "NSCocoaErrorDomain");
  EXPECT_EQ(result.error->code, 4866);
}

TEST(TranscriberService, CallsBeyondTheLimitAreRefusedAtOnceWithCode5) {
  testsupport::LogCapture log;
  auto engine = std::make_shared<ControlledEngine>();
  engine->waitAtGate = true;
  velmoria::TranscriberService service(engine, {}, 1);
  auto first = process(service);
  ASSERT_TRUE(eventually([&] { return engine->processCalls.load() == 1; }));

  auto second = process(service);
  ASSERT_EQ(second.wait_for(std::chrono::milliseconds(0)), std::future_status::ready);
  const auto refused = second.get();
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->domain, "platform.ipc");
  EXPECT_EQ(refused.error->code, 5);
  const auto downloadRefused = download(service);
  ASSERT_TRUE(downloadRefused);
  EXPECT_EQ(downloadRefused->code, 5);
  bool unloadAnswered = false;
  service.unloadModels([&] { unloadAnswered = true; });
  EXPECT_TRUE(unloadAnswered);
  EXPECT_EQ(engine->unloadCalls.load(), 0);
  EXPECT_EQ(service.callsRunning(), 1u);

  engine->gate.open();
  EXPECT_FALSE(first.get().error);
  EXPECT_TRUE(eventually([&] { return service.callsRunning() == 0; }));
  std::promise<void> unloaded;
  service.unloadModels([&] { unloaded.set_value(); });
  unloaded.get_future().get();
  EXPECT_EQ(engine->unloadCalls.load(), 1);
}

TEST(TranscriberService, WithoutAConnectionTheDownloadRunsAndItsStatusesAreDropped) {
  auto engine = std::make_shared<ControlledEngine>();
  velmoria::TranscriberService service(engine, {});
  EXPECT_FALSE(download(service));
}

TEST(TranscriberService, TheEngineLivesUntilItsLastCallEnds) {
  auto engine = std::make_shared<ControlledEngine>();
  engine->waitAtGate = true;
  std::weak_ptr<ControlledEngine> weak = engine;
  std::future<ProcessAnswer> answer;
  {
    velmoria::TranscriberService service(engine, {});
    engine.reset();
    answer = process(service);
  }
  auto held = weak.lock();
  ASSERT_TRUE(held);
  ASSERT_TRUE(eventually([&] { return held->processCalls.load() == 1; }));
  held->gate.open();
  held.reset();
  EXPECT_TRUE(answer.get().transcript);
  EXPECT_TRUE(eventually([&] { return weak.expired(); }));
}

}  // namespace
