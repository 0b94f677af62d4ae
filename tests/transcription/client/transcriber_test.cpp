// The client facade over an engine inside the process (a fake one): the status streams, error
// conversion, and the operations that need no engine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <string>
#include <vector>

#include "transcription/transcriber.hpp"

namespace {

using velmoria::ModelStatus;
using velmoria::Transcriber;
using velmoria::TranscriptionError;
using velmoria::TranscriptionMethod;

class FakeEngine : public velmoria::TranscriptionEngine {
 public:
  std::function<void()> failDownload;
  std::function<void()> failProcess;
  int unloads = 0;
  bool present = false;
  ModelStatus current = ModelStatus::needsDownload();

  void ensureModelsDownloaded(const StatusCallback& status) override {
    status("Downloading speech-to-text model");
    if (failDownload) failDownload();
    status("Downloading speaker ID model");
    current = ModelStatus::ready();
  }
  velmoria::TranscriptResult processAudio(const std::string& mic, const std::string& system,
                                          const std::vector<std::string>&) override {
    if (failProcess) failProcess();
    velmoria::TranscriptResult r;
    r.language = mic + "|" + system;
    return r;
  }
  void unloadModels() override { ++unloads; }
  bool modelsPresent() override { return present; }
  ModelStatus status() override { return current; }
};

std::vector<ModelStatus> drain(velmoria::StatusStream& stream) {
  std::vector<ModelStatus> seen;
  while (auto s = stream.tryNext()) seen.push_back(*s);
  return seen;
}

struct FacadeFixture : ::testing::Test {
  std::shared_ptr<FakeEngine> engine = std::make_shared<FakeEngine>();
  std::vector<std::string> diskTestMethods;
  int removals = 0;
  std::function<void()> removal;

  std::shared_ptr<Transcriber> make(bool withEngine = true) {
    Transcriber::Dependencies deps;
    if (withEngine) deps.makeInProcessEngine = [this](const TranscriptionMethod&) { return engine; };
    deps.modelsPresentOnDisk = [this](const TranscriptionMethod& m) {
      diskTestMethods.push_back(m.id);
      return true;
    };
    deps.removeModelsFolder = [this](const TranscriptionMethod&) {
      ++removals;
      if (removal) removal();
    };
    return Transcriber::make(Transcriber::Backend::inProcess(), TranscriptionMethod::v1(), std::move(deps));
  }
};

TEST_F(FacadeFixture, StreamsStartWithTheCurrentStatusAndSeeEachOperationsSequence) {
  auto t = make();
  auto stream = t->statusStream();
  EXPECT_EQ(drain(stream), std::vector<ModelStatus>{ModelStatus::needsDownload()});

  std::vector<std::string> texts;
  t->ensureModelsDownloaded([&](const std::string& s) { texts.push_back(s); });
  EXPECT_EQ(texts, (std::vector<std::string>{"Downloading speech-to-text model", "Downloading speaker ID model"}));
  EXPECT_EQ(t->processAudio("/m", "/s", {}).language, "/m|/s");
  EXPECT_EQ(t->reTranscribe("/m2", "/s2", {}).language, "/m2|/s2");
  t->unloadModels();
  EXPECT_EQ(engine->unloads, 1);
  EXPECT_EQ(drain(stream), (std::vector<ModelStatus>{ModelStatus::downloading(0), ModelStatus::ready(),
                                                     ModelStatus::running(), ModelStatus::ready(),
                                                     ModelStatus::running(), ModelStatus::ready(),
                                                     ModelStatus::needsDownload()}));
  // A stream made later starts with the status of its moment.
  t->ensureModelsDownloaded();
  auto late = t->statusStream();
  EXPECT_EQ(drain(late), std::vector<ModelStatus>{ModelStatus::ready()});
}

TEST_F(FacadeFixture, TheCallerGetsTheSameErrorTheStreamSees) {
  auto t = make();
  auto stream = t->statusStream();
  const auto own = TranscriptionError::downloadFailed("hub said no");
  engine->failDownload = [own] { throw own; };
  try {
    t->ensureModelsDownloaded();
    FAIL() << "no error";
  } catch (const TranscriptionError& e) {
    EXPECT_EQ(e, own);
  }
  engine->failProcess = [] { throw std::runtime_error("disk on fire"); };
  try {
    t->processAudio("/m", "/s", {});
    FAIL() << "no error";
  } catch (const TranscriptionError& e) {
    EXPECT_EQ(e, TranscriptionError::transcriptionFailed("disk on fire"));
  }
  EXPECT_EQ(drain(stream), (std::vector<ModelStatus>{
                               ModelStatus::needsDownload(), ModelStatus::downloading(0), ModelStatus::error(own),
                               ModelStatus::running(),
                               ModelStatus::error(TranscriptionError::transcriptionFailed("disk on fire"))}));
  EXPECT_EQ(t->currentStatus(), ModelStatus::error(TranscriptionError::transcriptionFailed("disk on fire")));
}

TEST_F(FacadeFixture, AStoppedStreamIsForgottenAndTheOthersKeepReceiving) {
  auto t = make();
  auto kept = t->statusStream();
  {
    auto stopped = t->statusStream();
    stopped.cancel();
    auto dropped = t->statusStream();
    EXPECT_EQ(t->liveStatusStreams(), 2u);
  }
  EXPECT_EQ(t->liveStatusStreams(), 1u);
  t->unloadModels();
  EXPECT_EQ(drain(kept), (std::vector<ModelStatus>{ModelStatus::needsDownload(), ModelStatus::needsDownload()}));
  // A stream outliving its facade has ended with it; cancelling it then crashes nothing.
  auto orphan = t->statusStream();
  t.reset();
  orphan.cancel();
  EXPECT_FALSE(orphan.tryNext());
}

TEST_F(FacadeFixture, DestroyingTheFacadeEndsTheStreamOfAConsumerWaitingInNext) {
  auto t = make();
  auto stream = t->statusStream();
  t->unloadModels();
  auto consumer = std::async(std::launch::async, [&stream] {
    std::vector<ModelStatus> seen;
    while (auto status = stream.next()) seen.push_back(*status);
    return seen;
  });
  // Once the consumer has taken both statuses it waits in next().
  while (stream.buffered() > 0 || stream.waiting() == 0) std::this_thread::yield();
  t.reset();
  // A watchdog: a consumer that is never woken fails the test instead of hanging it.
  if (consumer.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    stream.cancel();
    consumer.wait();
    FAIL() << "the consumer was not woken when the facade went away";
  }
  EXPECT_EQ(consumer.get(), (std::vector<ModelStatus>{ModelStatus::needsDownload(), ModelStatus::needsDownload()}));
}

TEST_F(FacadeFixture, WithoutAnEngineUnloadAndClearPublishAndPresenceAsksTheDiskWithTheFacadesMethod) {
  auto t = make(false);
  auto stream = t->statusStream();
  EXPECT_TRUE(t->modelsPresent());
  EXPECT_EQ(diskTestMethods, std::vector<std::string>{"v1"});
  EXPECT_FALSE(t->isAvailable());
  t->unloadModels();
  t->clearCache();
  EXPECT_EQ(removals, 1);
  removal = [] { throw std::runtime_error("permission denied"); };
  EXPECT_THROW(t->clearCache(), std::runtime_error);
  EXPECT_EQ(drain(stream), (std::vector<ModelStatus>{ModelStatus::needsDownload(), ModelStatus::needsDownload(),
                                                     ModelStatus::needsDownload(), ModelStatus::needsDownload()}));
  t->shutdown();
}

TEST_F(FacadeFixture, WithAnEngineItAnswersPresenceAndAvailabilityAndShutdownKeepsIt) {
  auto t = make();
  engine->present = false;
  EXPECT_FALSE(t->modelsPresent());
  EXPECT_TRUE(diskTestMethods.empty());
  EXPECT_FALSE(t->isAvailable());
  t->ensureModelsDownloaded();
  EXPECT_TRUE(t->isAvailable());
  t->shutdown();
  EXPECT_TRUE(t->isAvailable());
  t->clearCache();
  EXPECT_EQ(engine->unloads, 1);
}

// Overlapping calls, stream consumers that stop, unloads and shutdowns on one facade (run under
// ThreadSanitizer in the _tsan build).
class SlowEngine : public velmoria::TranscriptionEngine {
 public:
  std::atomic<int> calls{0};
  void ensureModelsDownloaded(const StatusCallback& status) override { status("Downloading speech-to-text model"); }
  velmoria::TranscriptResult processAudio(const std::string&, const std::string&,
                                          const std::vector<std::string>&) override {
    ++calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return {};
  }
  void unloadModels() override {}
  bool modelsPresent() override { return true; }
  ModelStatus status() override { return ModelStatus::ready(); }
};

TEST(TranscriberConcurrency, OverlappingCallsStoppingConsumersAndShutdownsKeepEveryStreamConsistent) {
  auto engine = std::make_shared<SlowEngine>();
  Transcriber::Dependencies deps;
  deps.makeInProcessEngine = [engine](const TranscriptionMethod&) { return engine; };
  auto t = Transcriber::make(Transcriber::Backend::inProcess(), TranscriptionMethod::v2(), std::move(deps));
  std::atomic<bool> done{false};
  std::atomic<bool> consumerEnded{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int n = 0; n < 20; ++n) t->processAudio("/m", "/s", {});
    });
  }
  threads.emplace_back([&] {
    while (!done) {
      auto stream = t->statusStream();
      for (int n = 0; n < 3; ++n) {
        if (!stream.next()) break;
      }
    }
    consumerEnded = true;
  });
  threads.emplace_back([&] {
    for (int n = 0; n < 20; ++n) {
      t->unloadModels();
      t->shutdown();
      (void)t->isAvailable();
      (void)t->modelsPresent();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int i = 0; i < 4; ++i) threads[static_cast<std::size_t>(i)].join();
  threads.back().join();
  done = true;
  // The consumer may open one more stream after `done` is set; keep publishing until it ends.
  while (!consumerEnded) {
    t->unloadModels();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  threads[4].join();
  EXPECT_EQ(engine->calls, 80);
  EXPECT_EQ(t->liveStatusStreams(), 0u);
}

}  // namespace
