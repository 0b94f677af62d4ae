#include "core/hub/model_manager.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/hub/load_models_coordinator.hpp"
#include "core/hub/log_capture.hpp"
#include "core/hub/model_downloader.hpp"
#include "core/logging.hpp"
#include "platform/sync/cancellation.hpp"

namespace noxtal {
namespace {

using Transition = std::pair<ModelState, ModelState>;

struct LoaderFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A gate that callers block on until the test opens it; `arrivals` counts the blocked callers.
class Gate {
 public:
  void pass() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++arrivals_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
  }
  void open() {
    std::lock_guard<std::mutex> guard(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  void waitForArrivals(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return arrivals_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int arrivals_ = 0;   // guarded by mutex_
  bool open_ = false;  // guarded by mutex_
};

// Counts every call; fails or blocks on request.
class FakeLoader : public ModelLoader {
 public:
  std::optional<std::string> folder;
  std::string resolvedPath = "/models/resolved";
  std::atomic<int> resolveCalls{0};
  std::atomic<int> loadCalls{0};
  std::atomic<int> prewarmCalls{0};
  std::atomic<int> unloadCalls{0};
  std::atomic<int> failingResolves{0};  // the next N resolves throw
  std::atomic<int> failingLoads{0};     // the next N loads or prewarms throw
  Gate* resolveGate = nullptr;
  std::mutex pathsMutex;
  std::vector<std::string> loadedPaths;  // guarded by pathsMutex

  std::optional<std::string> modelFolder() const override { return folder; }

  std::string resolveModels(ModelDownloader&, const ProgressCallback&, std::stop_token) override {
    ++resolveCalls;
    if (resolveGate != nullptr) resolveGate->pass();
    if (failingResolves.fetch_sub(1) > 0) throw LoaderFailure("hub unreachable");
    return resolvedPath;
  }

  void load(const std::string& path, bool prewarm, std::stop_token) override {
    ++(prewarm ? prewarmCalls : loadCalls);
    {
      std::lock_guard<std::mutex> guard(pathsMutex);
      loadedPaths.push_back(path);
    }
    if (failingLoads.fetch_sub(1) > 0) throw LoaderFailure("weights damaged");
  }

  void unload() noexcept override { ++unloadCalls; }
};

// Exposes the protected members and records the state callbacks.
class TestManager : public ModelManager {
 public:
  explicit TestManager(std::shared_ptr<FakeLoader> loader)
      : ModelManager(loader,
                     std::make_shared<ModelDownloader>("http://127.0.0.1:9", "org/repo", std::string(), "main", false),
                     "TestManager"),
        fake(std::move(loader)) {
    setModelStateCallback([this](ModelState oldState, ModelState newState) {
      std::lock_guard<std::mutex> guard(transitionsMutex);
      transitions.emplace_back(oldState, newState);
    });
  }

  using ModelManager::coordinator;
  using ModelManager::lifecycleWaiterCount;
  using ModelManager::setModelState;

  std::vector<Transition> takeTransitions() {
    std::lock_guard<std::mutex> guard(transitionsMutex);
    return std::exchange(transitions, {});
  }

  std::shared_ptr<FakeLoader> fake;
  std::mutex transitionsMutex;
  std::vector<Transition> transitions;  // guarded by transitionsMutex
};

using testing::LogCapture;

constexpr ModelState kUnloaded = ModelState::unloaded;
constexpr ModelState kDownloading = ModelState::downloading;
constexpr ModelState kDownloaded = ModelState::downloaded;
constexpr ModelState kLoading = ModelState::loading;
constexpr ModelState kLoaded = ModelState::loaded;

class ModelManagerTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeLoader> loader = std::make_shared<FakeLoader>();
  LogCapture log;
};

TEST_F(ModelManagerTest, FreshLoadDownloadsThenLoads) {
  TestManager manager(loader);
  EXPECT_EQ(manager.modelState(), kUnloaded);
  EXPECT_FALSE(manager.modelPath());

  manager.loadModels();

  EXPECT_EQ(manager.takeTransitions(), (std::vector<Transition>{
                                           {kUnloaded, kDownloading},
                                           {kDownloading, kDownloaded},
                                           {kDownloaded, kLoading},
                                           {kLoading, kLoaded},
                                       }));
  EXPECT_EQ(loader->resolveCalls, 1);
  EXPECT_EQ(loader->loadCalls, 1);
  EXPECT_EQ(loader->loadedPaths, std::vector<std::string>{"/models/resolved"});
  EXPECT_EQ(manager.modelPath(), std::filesystem::path("/models/resolved"));
  EXPECT_TRUE(manager.isLoaded());
  EXPECT_EQ(log.count("[TestManager] Starting download process..."), 1);
  EXPECT_EQ(log.count("[TestManager] Models downloaded to /models/resolved"), 1);
  EXPECT_EQ(log.count("[TestManager] Models loaded successfully"), 1);

  // Loading again is a logged no-op.
  manager.loadModels();
  EXPECT_TRUE(manager.takeTransitions().empty());
  EXPECT_EQ(loader->loadCalls, 1);
  EXPECT_EQ(log.count("[TestManager] Models already loaded, skipping"), 1);
}

TEST_F(ModelManagerTest, AdoptsTheLoaderFolderWithoutResolving) {
  loader->folder = "/local/models";
  TestManager manager(loader);
  EXPECT_EQ(manager.modelFolder(), std::filesystem::path("/local/models"));

  manager.downloadModels();
  EXPECT_EQ(manager.takeTransitions(), (std::vector<Transition>{{kUnloaded, kDownloaded}}));
  EXPECT_EQ(manager.modelPath(), std::filesystem::path("/local/models"));
  EXPECT_EQ(log.count("[TestManager] modelFolder is set, skipping download"), 1);

  manager.loadModels();
  EXPECT_EQ(manager.takeTransitions(), (std::vector<Transition>{{kDownloaded, kLoading}, {kLoading, kLoaded}}));
  EXPECT_EQ(loader->resolveCalls, 0);
  EXPECT_EQ(loader->loadedPaths, std::vector<std::string>{"/local/models"});
}

TEST_F(ModelManagerTest, FailedLoadReturnsToUnloadedAndTheRetryDownloadsAgain) {
  loader->failingLoads = 1;
  TestManager manager(loader);

  try {
    manager.loadModels();
    FAIL() << "the load failure was not reported";
  } catch (const LoaderFailure& error) {
    EXPECT_STREQ(error.what(), "weights damaged");
  }
  EXPECT_EQ(manager.modelState(), kUnloaded);
  EXPECT_EQ(manager.takeTransitions(), (std::vector<Transition>{
                                           {kUnloaded, kDownloading},
                                           {kDownloading, kDownloaded},
                                           {kDownloaded, kLoading},
                                           {kLoading, kUnloaded},
                                       }));
  EXPECT_EQ(log.count("[TestManager] Failed to load models: weights damaged"), 1);
  EXPECT_EQ(manager.modelPath(), std::filesystem::path("/models/resolved"));

  manager.loadModels();
  EXPECT_EQ(manager.takeTransitions(), (std::vector<Transition>{
                                           {kUnloaded, kDownloading},
                                           {kDownloading, kDownloaded},
                                           {kDownloaded, kLoading},
                                           {kLoading, kLoaded},
                                       }));
  EXPECT_EQ(loader->resolveCalls, 2);
  EXPECT_EQ(loader->loadCalls, 2);
}

TEST_F(ModelManagerTest, FailedResolveAndFailedPrewarmReturnToUnloaded) {
  loader->failingResolves = 1;
  TestManager manager(loader);
  EXPECT_THROW(manager.downloadModels(), LoaderFailure);
  EXPECT_EQ(manager.takeTransitions(), (std::vector<Transition>{{kUnloaded, kDownloading}, {kDownloading, kUnloaded}}));
  EXPECT_EQ(log.count("[TestManager] Failed to download models: hub unreachable"), 1);
  EXPECT_FALSE(manager.modelPath());

  loader->failingLoads = 1;
  EXPECT_THROW(manager.prewarmModels(), LoaderFailure);
  EXPECT_EQ(manager.takeTransitions(), (std::vector<Transition>{
                                           {kUnloaded, kDownloading},
                                           {kDownloading, kDownloaded},
                                           {kDownloaded, ModelState::prewarming},
                                           {ModelState::prewarming, kUnloaded},
                                       }));
  EXPECT_EQ(log.count("[TestManager] Failed to prewarm models: weights damaged"), 1);
}

TEST_F(ModelManagerTest, PrewarmThenLoad) {
  TestManager manager(loader);
  manager.downloadModels();
  manager.takeTransitions();

  manager.prewarmModels();
  manager.prewarmModels();  // skipped
  EXPECT_EQ(log.count("[TestManager] Models already prewarmed, skipping"), 1);
  EXPECT_EQ(loader->prewarmCalls, 1);
  manager.loadModels();
  EXPECT_EQ(manager.takeTransitions(), (std::vector<Transition>{
                                           {kDownloaded, ModelState::prewarming},
                                           {ModelState::prewarming, ModelState::prewarmed},
                                           {ModelState::prewarmed, kLoading},
                                           {kLoading, kLoaded},
                                       }));
  EXPECT_EQ(loader->loadCalls, 1);
}

TEST_F(ModelManagerTest, DownloadIsSkippedOutsideUnloaded) {
  const struct {
    ModelState state;
    const char* line;
  } cases[] = {
      {kLoaded, "[TestManager] Models already downloaded (state: Loaded), skipping download"},
      {ModelState::prewarmed, "[TestManager] Models already downloaded (state: Specialized), skipping download"},
      {kDownloaded, "[TestManager] Models already downloaded (state: Downloaded), skipping download"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(description(c.state)));
    TestManager manager(loader);
    manager.setModelState(c.state);
    manager.takeTransitions();
    log.clear();
    manager.downloadModels();
    EXPECT_EQ(manager.modelState(), c.state);
    EXPECT_TRUE(manager.takeTransitions().empty());
    EXPECT_EQ(log.count(c.line), 1);
  }
  EXPECT_EQ(loader->resolveCalls, 0);
}

TEST_F(ModelManagerTest, RefusalsChangeNothingAndLogNothing) {
  const std::string noPath = "No model path available. Call downloadModels() first, or provide modelFolder.";
  const struct {
    ModelState state;
    bool withFolder;
    bool prewarm;
    std::string message;
  } cases[] = {
      {kLoaded, true, true, "Cannot prewarm in state: Loaded"},
      {ModelState::loading, true, true, "Cannot prewarm in state: Loading"},
      {kDownloading, true, false, "Cannot load in state: Downloading"},
      {ModelState::unloading, true, false, "Cannot load in state: Unloading"},
      {ModelState::prewarming, true, false, "Cannot load in state: Specializing"},
      // The path check comes first, even in states that would be skipped.
      {kLoaded, false, false, noPath},
      {ModelState::prewarmed, false, true, noPath},
      {kDownloaded, false, false, noPath},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message + " / " + std::string(description(c.state)));
    loader->folder = c.withFolder ? std::optional<std::string>("/local/models") : std::nullopt;
    TestManager manager(loader);
    manager.setModelState(c.state);
    manager.takeTransitions();
    log.clear();
    try {
      if (c.prewarm) {
        manager.prewarmModels();
      } else {
        manager.loadModels();
      }
      ADD_FAILURE() << "not refused";
    } catch (const NoxtalCoreError& error) {
      EXPECT_EQ(error.errorCase(), NoxtalCoreError::Case::invalidConfiguration);
      EXPECT_EQ(error.what(), c.message);
    }
    EXPECT_EQ(manager.modelState(), c.state);
    EXPECT_TRUE(manager.takeTransitions().empty());
    EXPECT_TRUE(log.lines().empty());
  }
  EXPECT_EQ(loader->loadCalls + loader->prewarmCalls, 0);
}

TEST_F(ModelManagerTest, UnloadOnlyFromLoadedOrPrewarmed) {
  TestManager manager(loader);
  manager.unloadModels();
  manager.downloadModels();
  manager.takeTransitions();
  manager.unloadModels();
  EXPECT_EQ(manager.modelState(), kDownloaded);
  EXPECT_TRUE(manager.takeTransitions().empty());
  EXPECT_EQ(loader->unloadCalls, 0);

  manager.loadModels();
  manager.takeTransitions();
  manager.unloadModels();
  EXPECT_EQ(manager.takeTransitions(),
            (std::vector<Transition>{{kLoaded, ModelState::unloading}, {ModelState::unloading, kUnloaded}}));
  EXPECT_EQ(loader->unloadCalls, 1);
  EXPECT_EQ(manager.modelPath(), std::filesystem::path("/models/resolved"));

  manager.prewarmModels();
  manager.unloadModels();
  EXPECT_EQ(loader->unloadCalls, 2);
  EXPECT_EQ(manager.modelState(), kUnloaded);
}

TEST_F(ModelManagerTest, CallbackOnlyOnRealChanges) {
  TestManager manager(loader);
  manager.setModelState(kUnloaded);
  EXPECT_TRUE(manager.takeTransitions().empty());
  manager.setModelState(kLoaded);
  manager.setModelState(kLoaded);
  EXPECT_EQ(manager.takeTransitions(), (std::vector<Transition>{{kUnloaded, kLoaded}}));
  manager.setModelStateCallback(nullptr);
  manager.setModelState(kUnloaded);
  EXPECT_FALSE(manager.modelStateCallback());
}

TEST_F(ModelManagerTest, AvailabilityByState) {
  const struct {
    ModelState state;
    bool available;
    bool loaded;
  } cases[] = {
      {ModelState::unloading, false, false},
      {kUnloaded, false, false},
      {kLoading, true, false},
      {kLoaded, true, true},
      {ModelState::prewarming, false, false},
      {ModelState::prewarmed, false, false},
      {kDownloading, false, false},
      {kDownloaded, true, false},
  };
  TestManager manager(loader);
  for (const auto& c : cases) {
    manager.setModelState(c.state);
    EXPECT_EQ(manager.isAvailable(), c.available) << description(c.state);
    EXPECT_EQ(manager.isLoaded(), c.loaded) << description(c.state);
  }
}

// Runs ensureModelsLoaded on two threads while the loader's resolve is held at the gate, and
// opens it only once both callers are inside the coordinator.
std::vector<std::exception_ptr> twoOverlappingEnsures(TestManager& manager, Gate& gate) {
  std::vector<std::exception_ptr> errors(2);
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&, i] {
      try {
        manager.ensureModelsLoaded();
      } catch (...) {
        errors[static_cast<std::size_t>(i)] = std::current_exception();
      }
    });
  }
  gate.waitForArrivals(1);
  while (manager.coordinator().callerCount() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  gate.open();
  for (auto& thread : threads) thread.join();
  return errors;
}

TEST_F(ModelManagerTest, OverlappingEnsureCallsShareOneLoad) {
  Gate gate;
  loader->resolveGate = &gate;
  TestManager manager(loader);

  const auto errors = twoOverlappingEnsures(manager, gate);
  EXPECT_FALSE(errors[0]);
  EXPECT_FALSE(errors[1]);
  EXPECT_EQ(loader->resolveCalls, 1);
  EXPECT_EQ(loader->loadCalls, 1);
  EXPECT_TRUE(manager.isLoaded());

  manager.ensureModelsLoaded();  // already loaded: nothing runs
  EXPECT_EQ(loader->loadCalls, 1);
  EXPECT_FALSE(manager.coordinator().isRunning());
}

TEST_F(ModelManagerTest, OverlappingEnsureCallsShareOneFailure) {
  Gate gate;
  loader->resolveGate = &gate;
  loader->failingLoads = 1;
  TestManager manager(loader);

  const auto errors = twoOverlappingEnsures(manager, gate);
  ASSERT_TRUE(errors[0]);
  ASSERT_TRUE(errors[1]);
  const LoaderFailure* seen[2] = {};
  for (int i = 0; i < 2; ++i) {
    try {
      std::rethrow_exception(errors[static_cast<std::size_t>(i)]);
    } catch (const LoaderFailure& error) {
      seen[i] = &error;
      EXPECT_STREQ(error.what(), "weights damaged");
    }
  }
  EXPECT_EQ(seen[0], seen[1]);  // one error object for both callers
  EXPECT_EQ(loader->resolveCalls, 1);
  EXPECT_EQ(loader->loadCalls, 1);
  EXPECT_EQ(manager.modelState(), kUnloaded);
  EXPECT_EQ(log.count("[TestManager] Failed to load models: weights damaged"), 1);

  // The next call starts a new load.
  manager.ensureModelsLoaded();
  EXPECT_EQ(loader->resolveCalls, 2);
  EXPECT_TRUE(manager.isLoaded());
}

TEST(LoadModelsCoordinatorTest, ACancelledWaiterLeavesTheRunToTheOthers) {
  LoadModelsCoordinator coordinator;
  Gate gate;
  std::atomic<int> runs{0};
  auto operation = [&](std::stop_token) {
    ++runs;
    gate.pass();
  };
  std::thread starter([&] { coordinator.run(operation); });
  gate.waitForArrivals(1);

  std::stop_source stop;
  std::thread joiner(
      [&] { EXPECT_THROW(coordinator.run(operation, stop.get_token()), platform::sync::CancellationError); });
  while (coordinator.callerCount() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  stop.request_stop();
  joiner.join();
  EXPECT_TRUE(coordinator.isRunning());
  gate.open();
  starter.join();
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(coordinator.isRunning());
  EXPECT_EQ(coordinator.callerCount(), 0u);
}

TEST(LoadModelsCoordinatorTest, DestructionStopsTheRunningOperation) {
  std::atomic<bool> sawStop{false};
  std::thread caller;
  {
    LoadModelsCoordinator coordinator;
    std::stop_source callerStop;
    std::atomic<bool> started{false};
    caller = std::thread([&, token = callerStop.get_token()] {
      try {
        coordinator.run(
            [&](std::stop_token stop) {
              started = true;
              while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
              sawStop = true;
            },
            token);
      } catch (const platform::sync::CancellationError&) {
      }
    });
    while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    callerStop.request_stop();
    caller.join();
  }
  EXPECT_TRUE(sawStop);
}

// Eight threads load and unload at random; the state machine must stay consistent: every
// reported transition starts where the previous one ended and every load had its own resolve.
TEST_F(ModelManagerTest, ConcurrentEnsureAndUnloadStayConsistent) {
  Logging::updateLogLevel(Logging::LogLevel::none);
  TestManager manager(loader);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&manager, t] {
      for (int i = 0; i < 40; ++i) {
        if ((i + t) % 3 == 0) {
          manager.unloadModels();
        } else {
          manager.ensureModelsLoaded();
          (void)manager.isLoaded();
          (void)manager.modelPath();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const auto transitions = manager.takeTransitions();
  ASSERT_FALSE(transitions.empty());
  ModelState current = kUnloaded;
  for (const auto& [from, to] : transitions) {
    ASSERT_EQ(from, current);
    ASSERT_NE(from, to);
    current = to;
  }
  EXPECT_EQ(current, manager.modelState());
  EXPECT_EQ(loader->resolveCalls, loader->loadCalls);
  EXPECT_GE(loader->loadCalls, loader->unloadCalls);
  EXPECT_LE(loader->loadCalls - loader->unloadCalls, 1);
}

// Waits (yielding) until `count` callers wait for the manager's lifecycle turn.
void waitForTurnWaiters(const TestManager& manager, std::size_t count) {
  while (manager.lifecycleWaiterCount() < count) std::this_thread::yield();
}

TEST_F(ModelManagerTest, CallersWaitingBehindALongDownloadCanGiveUp) {
  Gate gate;
  loader->resolveGate = &gate;
  TestManager manager(loader);
  std::thread downloading([&] { manager.downloadModels(); });
  gate.waitForArrivals(1);

  // One waiter per lifecycle operation, each with its own token.
  std::stop_source loadStop, prewarmStop, downloadStop, unloadStop;
  std::atomic<int> cancelled{0};
  std::vector<std::thread> waiters;
  const auto expectCancelled = [&](auto operation) {
    return [&cancelled, operation] {
      try {
        operation();
      } catch (const platform::sync::CancellationError&) {
        ++cancelled;
      }
    };
  };
  waiters.emplace_back(expectCancelled([&] { manager.loadModels(loadStop.get_token()); }));
  waiters.emplace_back(expectCancelled([&] { manager.prewarmModels(prewarmStop.get_token()); }));
  waiters.emplace_back(expectCancelled([&] { manager.downloadModels(nullptr, downloadStop.get_token()); }));
  waiters.emplace_back([&] { manager.unloadModels(unloadStop.get_token()); });
  waitForTurnWaiters(manager, 4);
  for (auto* source : {&loadStop, &prewarmStop, &downloadStop, &unloadStop}) source->request_stop();
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(cancelled.load(), 3);
  EXPECT_EQ(manager.lifecycleWaiterCount(), 0u);
  EXPECT_EQ(manager.modelState(), kDownloading) << "giving up changes nothing";
  EXPECT_TRUE(log.contains("Unload cancelled"));

  // The download itself carries on and the manager stays usable.
  gate.open();
  downloading.join();
  EXPECT_EQ(manager.modelState(), kDownloaded);
  EXPECT_EQ(loader->resolveCalls.load(), 1);
  EXPECT_EQ(loader->loadCalls.load(), 0);
  manager.loadModels();
  EXPECT_EQ(manager.modelState(), kLoaded);
}

TEST_F(ModelManagerTest, EnsureCallerGivesUpWhileTheSharedRunWaitsBehindADownload) {
  Gate gate;
  loader->resolveGate = &gate;
  TestManager manager(loader);
  std::thread downloading([&] { manager.downloadModels(); });
  gate.waitForArrivals(1);
  std::stop_source caller;
  std::thread ensuring(
      [&] { EXPECT_THROW(manager.ensureModelsLoaded(caller.get_token()), platform::sync::CancellationError); });
  waitForTurnWaiters(manager, 1);  // the shared run waits for the turn
  caller.request_stop();
  ensuring.join();

  gate.open();
  downloading.join();
  while (manager.coordinator().isRunning()) std::this_thread::yield();
  EXPECT_EQ(manager.modelState(), kLoaded) << "the shared run went on without its caller";
  EXPECT_EQ(loader->resolveCalls.load(), 1);
  EXPECT_EQ(loader->loadCalls.load(), 1);
}

TEST_F(ModelManagerTest, ThrowingCallbackNeitherBreaksAnOperationNorEscapesUnload) {
  TestManager manager(loader);
  std::vector<ModelState> seen;
  manager.setModelStateCallback([&](ModelState, ModelState newState) {
    seen.push_back(newState);
    throw std::runtime_error("callback broke");
  });
  manager.loadModels();
  EXPECT_EQ(manager.modelState(), kLoaded);
  EXPECT_EQ(loader->loadCalls.load(), 1);
  manager.unloadModels();  // noexcept: a throw from the callback here would end the process
  EXPECT_EQ(manager.modelState(), kUnloaded);
  EXPECT_EQ(loader->unloadCalls.load(), 1);
  EXPECT_EQ(seen,
            (std::vector<ModelState>{kDownloading, kDownloaded, kLoading, kLoaded, ModelState::unloading, kUnloaded}));
  EXPECT_EQ(log.count("Model state callback failed"), 6);
  EXPECT_TRUE(log.contains("callback broke"));
}

TEST_F(ModelManagerTest, CallbackRunsWithoutAHeldLockSoOtherThreadsKeepWorking) {
  // While the callback for "downloaded" runs, another thread reads the manager, replaces the
  // callback and tries a lifecycle operation that gives up at once: none of this may block.
  TestManager manager(loader);
  std::atomic<bool> otherFinished{false};
  manager.setModelStateCallback([&](ModelState, ModelState newState) {
    if (newState != kDownloaded) return;
    std::thread other([&] {
      EXPECT_EQ(manager.modelState(), kDownloaded);
      EXPECT_TRUE(manager.modelPath());
      std::stop_source stopped;
      stopped.request_stop();
      EXPECT_THROW(manager.loadModels(stopped.get_token()), platform::sync::CancellationError);
      manager.setModelStateCallback(nullptr);
      otherFinished = true;
    });
    other.join();
  });
  manager.downloadModels();
  EXPECT_TRUE(otherFinished.load());
  EXPECT_FALSE(manager.modelStateCallback());
  EXPECT_EQ(manager.modelState(), kDownloaded);
}

using ModelManagerDeathTest = ModelManagerTest;

TEST_F(ModelManagerDeathTest, ALifecycleCallFromTheCallbackAbortsInsteadOfDeadlocking) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        TestManager manager(loader);
        manager.setModelStateCallback([&](ModelState, ModelState newState) {
          if (newState == kDownloaded) manager.loadModels();
        });
        manager.downloadModels();
      },
      "lifecycle operation was called while the same thread runs one");
}

// Arms a watchdog in the death-test child: a re-entry that deadlocks instead of aborting ends
// the child after 10 s with its own line instead of the expected one, so the test fails
// instead of hanging.
void armWatchdog() {
  std::signal(SIGALRM, [](int) {
    static constexpr char text[] = "watchdog: the re-entered call deadlocked\n";
    (void)!write(STDERR_FILENO, text, sizeof text - 1);
    _exit(1);
  });
  alarm(10);
}

TEST_F(ModelManagerDeathTest, EnsureFromTheCallbackAbortsDuringADirectDownloadAndDuringACoordinatedRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::pair<const char*, std::function<void(TestManager&)>> outers[] = {
      {"downloadModels", [](TestManager& manager) { manager.downloadModels(); }},
      {"ensureModelsLoaded", [](TestManager& manager) { manager.ensureModelsLoaded(); }},
  };
  for (const auto& [name, outer] : outers) {
    SCOPED_TRACE(name);
    EXPECT_DEATH(
        {
          armWatchdog();
          TestManager manager(loader);
          manager.setModelStateCallback([&](ModelState, ModelState newState) {
            if (newState == kDownloaded) manager.ensureModelsLoaded();
          });
          outer(manager);
        },
        "lifecycle operation was called while the same thread runs one");
  }
}

}  // namespace
}  // namespace noxtal
