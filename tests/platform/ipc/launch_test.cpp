// The app side against the echo worker process: launch on demand, interruption by a killed
// worker, shared launches, idle exit, and the rules for the socket's folder and path.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <future>

#include "echo_service.hpp"
#include "platform/ipc/connection.hpp"
#include "platform/ipc/launcher.hpp"
#include "platform/ipc/listener.hpp"
#include "platform/ipc/socket_path.hpp"
#include "test_support.hpp"

namespace {

using ipctest::Counter;
using ipctest::Json;
using platform::ipc::CallOutcome;
using platform::ipc::Connection;
using platform::ipc::IpcError;
using platform::ipc::IpcErrorCase;
using platform::ipc::LaunchedWorker;

class Launch : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("VELMORIA_WORKER_PATH", ECHO_WORKER_PATH, 1);
    ::setenv("VELMORIA_WORKER_SOCKET", socketPath().c_str(), 1);
    before_ = platform::ipc::waitForLaunchedWorkers(std::chrono::milliseconds(0)).size();
  }
  std::filesystem::path socketPath() const { return folder_.path() / "echo.sock"; }

  struct Client {
    std::shared_ptr<Connection> connection;
    Counter interruptions;
    Counter invalidations;
    explicit Client(platform::ipc::ConnectionOptions options = {}) {
      connection = Connection::toService("echo", options);
      echo::configureClientSide(connection);
      connection->setInterruptionHandler([this] { interruptions.bump(); });
      connection->setInvalidationHandler([this] { invalidations.bump(); });
      connection->resume();
    }
    ~Client() {
      connection->invalidate();
      invalidations.waitFor(1);
    }
    CallOutcome call(const std::string& method, Json args = Json::object()) {
      std::promise<CallOutcome> p;
      auto f = p.get_future();
      connection->call(method, std::move(args), [&p](CallOutcome o) { p.set_value(std::move(o)); });
      return f.get();
    }
  };

  // Workers started by this test, after waiting up to the patience for them to end.
  std::vector<LaunchedWorker> launchedHere() {
    auto all = platform::ipc::waitForLaunchedWorkers(std::chrono::seconds(20));
    return std::vector<LaunchedWorker>(all.begin() + static_cast<std::ptrdiff_t>(before_), all.end());
  }

  ipctest::TempFolder folder_;
  std::size_t before_ = 0;
};

TEST_F(Launch, TheFirstCallStartsTheWorkerWhichExitsWith0WhenItsLastConnectionGoes) {
  pid_t pid = 0;
  {
    Client client;
    EXPECT_FALSE(client.connection->peerProcessId());
    EXPECT_FALSE(std::filesystem::exists(socketPath()));
    EXPECT_EQ(platform::ipc::waitForLaunchedWorkers(std::chrono::milliseconds(0)).size(), before_);

    const auto answer = client.call("pid");
    ASSERT_TRUE(answer.ok()) << answer.error->description;
    pid = answer.result.get<pid_t>();
    EXPECT_EQ(client.connection->peerProcessId(), pid);
    struct stat st {};
    ASSERT_EQ(::lstat(socketPath().c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(client.call("callBack", Json{{"text", "x"}}).result, (Json{{"answer", "re: x"}}));
  }
  const auto workers = launchedHere();
  ASSERT_EQ(workers.size(), 1u);
  EXPECT_EQ(workers[0].pid, pid);
  ASSERT_TRUE(workers[0].ended());
  EXPECT_TRUE(WIFEXITED(*workers[0].waitStatus));
  EXPECT_EQ(WEXITSTATUS(*workers[0].waitStatus), 0);
}

TEST_F(Launch, AKilledWorkerInterruptsItsCallsOnceAndTheNextCallStartsAnother) {
  Client client;
  const auto first = client.call("pid");
  ASSERT_TRUE(first.ok());
  const pid_t victim = first.result.get<pid_t>();

  Counter done;
  std::vector<CallOutcome> outcomes;
  for (int i = 0; i < 3; ++i) {
    client.connection->call("sleep", Json{{"ms", 60000}}, [&](CallOutcome o) {
      outcomes.push_back(std::move(o));
      done.bump();
    });
  }
  ASSERT_EQ(::kill(victim, SIGKILL), 0);
  ASSERT_TRUE(done.waitFor(3));
  ASSERT_TRUE(client.interruptions.waitFor(1));
  for (const auto& o : outcomes) {
    ASSERT_TRUE(o.error);
    EXPECT_EQ(o.error->domain, "NSCocoaErrorDomain");
    EXPECT_EQ(o.error->code, 4097);
  }
  EXPECT_EQ(client.invalidations.value(), 0);
  EXPECT_FALSE(client.connection->isInvalid());

  const auto again = client.call("pid");
  ASSERT_TRUE(again.ok()) << again.error->description;
  EXPECT_NE(again.result.get<pid_t>(), victim);
  client.connection->invalidate();
  const auto workers = launchedHere();
  ASSERT_EQ(workers.size(), 2u);
  EXPECT_TRUE(WIFSIGNALED(*workers[0].waitStatus));
  EXPECT_EQ(WTERMSIG(*workers[0].waitStatus), SIGKILL);
  EXPECT_TRUE(WIFEXITED(*workers[1].waitStatus));
  EXPECT_EQ(done.value(), 3);
  EXPECT_EQ(client.interruptions.value(), 1);
}

TEST_F(Launch, TwoClientsLaunchingAtOnceShareOneWorker) {
  Client a;
  Client b;
  std::promise<CallOutcome> pa, pb;
  a.connection->call("pid", Json::object(), [&](CallOutcome o) { pa.set_value(std::move(o)); });
  b.connection->call("pid", Json::object(), [&](CallOutcome o) { pb.set_value(std::move(o)); });
  const auto ra = pa.get_future().get();
  const auto rb = pb.get_future().get();
  ASSERT_TRUE(ra.ok() && rb.ok());
  EXPECT_EQ(ra.result, rb.result);
  a.connection->invalidate();
  // One connection left: the worker goes on serving.
  EXPECT_EQ(b.call("echo", Json{{"x", 1}}).result, (Json{{"x", 1}}));
  b.connection->invalidate();
  const auto workers = launchedHere();
  ASSERT_EQ(workers.size(), 1u);
  EXPECT_TRUE(WIFEXITED(*workers[0].waitStatus));
  EXPECT_EQ(WEXITSTATUS(*workers[0].waitStatus), 0);
}

TEST_F(Launch, AWorkerThatCannotBeReachedLeavesTheConnectionInvalid) {
  ::setenv("VELMORIA_WORKER_PATH", "/bin/true", 1);  // starts, never listens
  platform::ipc::ConnectionOptions quick;
  quick.launchTimeout = std::chrono::milliseconds(1500);
  Client client(quick);
  const auto outcome = client.call("pid");
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, 4099);
  EXPECT_TRUE(client.invalidations.waitFor(1));
  EXPECT_TRUE(client.connection->isInvalid());
  EXPECT_EQ(client.call("pid").error->code, 4099);
  // Started again each time the previous child had ended.
  EXPECT_GE(launchedHere().size(), 2u);

  ::setenv("VELMORIA_WORKER_PATH", (folder_.path() / "missing-worker").c_str(), 1);
  Client missing(quick);
  EXPECT_EQ(missing.call("pid").error->code, 4099);
  EXPECT_TRUE(missing.invalidations.waitFor(1));
}

TEST_F(Launch, AnUnsafeSocketFolderIsRefusedBeforeAnythingStarts) {
  const auto open = folder_.path() / "open";
  std::filesystem::create_directory(open);
  std::filesystem::permissions(open, std::filesystem::perms(0755));
  ::setenv("VELMORIA_WORKER_SOCKET", (open / "echo.sock").c_str(), 1);
  Client client;
  EXPECT_EQ(client.call("pid").error->code, 4099);
  EXPECT_EQ(launchedHere().size(), 0u);
}

void expectRefused(const std::filesystem::path& folder, IpcErrorCase expected = IpcErrorCase::unsafeSocketFolder) {
  try {
    platform::ipc::ensureSocketFolder(folder);
    ADD_FAILURE() << folder << " accepted";
  } catch (const IpcError& e) {
    EXPECT_EQ(e.errorCase(), expected) << e.description();
  }
}

TEST(SocketFolder, IsMadePrivateAndRefusedWhenLinkedForeignOrOpen) {
  ipctest::TempFolder tmp;
  const auto made = tmp.path() / "velmoria";
  platform::ipc::ensureSocketFolder(made);
  struct stat st {};
  ASSERT_EQ(::lstat(made.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  platform::ipc::ensureSocketFolder(made);  // an existing private folder is fine

  const auto link = tmp.path() / "link";
  std::filesystem::create_directory_symlink(made, link);
  expectRefused(link);

  const auto group = tmp.path() / "group";
  std::filesystem::create_directory(group);
  std::filesystem::permissions(group, std::filesystem::perms(0710));
  expectRefused(group);

  const auto file = tmp.path() / "file";
  { std::ofstream(file.string()) << "x"; }
  expectRefused(file);
  expectRefused(tmp.path() / "no" / "parent", IpcErrorCase::systemCallFailed);

  if (::geteuid() == 0) {
    const auto foreign = tmp.path() / "foreign";
    std::filesystem::create_directory(foreign);
    std::filesystem::permissions(foreign, std::filesystem::perms(0700));
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    expectRefused(foreign);
  }
}

TEST(SocketPath, ComesFromTheEnvironmentAndMustFitTheAddress) {
  ::setenv("VELMORIA_WORKER_SOCKET", "/x/y.sock", 1);
  EXPECT_EQ(platform::ipc::socketPathFor("svc"), "/x/y.sock");
  ::unsetenv("VELMORIA_WORKER_SOCKET");
  ::setenv("XDG_RUNTIME_DIR", "/run/user/7", 1);
  EXPECT_EQ(platform::ipc::socketPathFor("svc"), "/run/user/7/velmoria/svc.sock");
  ::setenv("XDG_RUNTIME_DIR", "relative", 1);
  EXPECT_EQ(platform::ipc::socketPathFor("svc"),
            std::filesystem::path("/tmp/velmoria-" + std::to_string(::geteuid())) / "svc.sock");

  const std::size_t room = sizeof(sockaddr_un{}.sun_path) - 1;
  EXPECT_NO_THROW(platform::ipc::socketAddress("/" + std::string(room - 1, 'a')));
  try {
    platform::ipc::socketAddress("/" + std::string(room, 'a'));
    FAIL() << "no error";
  } catch (const IpcError& e) {
    EXPECT_EQ(e.errorCase(), IpcErrorCase::socketPathTooLong);
  }
  ipctest::TempFolder tmp;
  ::setenv("VELMORIA_WORKER_SOCKET", (tmp.path() / std::string(120, 's')).c_str(), 1);
  EXPECT_THROW(platform::ipc::Listener::service("svc"), IpcError);
}

TEST(Listener, ReplacesAStaleSocketAndYieldsToTheHolderOfTheLock) {
  ipctest::TempFolder tmp;
  const auto path = tmp.path() / "svc.sock";
  {
    // A socket file left behind by a worker that died.
    platform::fs::UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
    const auto address = platform::ipc::socketAddress(path);
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  ::setenv("VELMORIA_WORKER_SOCKET", path.c_str(), 1);
  auto listener = platform::ipc::Listener::service("svc");
  ASSERT_TRUE(listener);
  EXPECT_EQ(listener->socketPath(), path);
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // The lock is held: a second listener for the same path stands down.
  EXPECT_EQ(platform::ipc::Listener::service("svc"), nullptr);

  platform::fs::UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM, 0));
  const auto address = platform::ipc::socketAddress(path);
  EXPECT_EQ(::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
}

}  // namespace
