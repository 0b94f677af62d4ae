// Connections inside one process: two ends of a socket pair, or one end and a raw peer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <thread>
#include <vector>

#include "echo_service.hpp"
#include "platform/ipc/connection.hpp"
#include "platform/ipc/thread_registry.hpp"
#include "test_support.hpp"

namespace {

using ipctest::Counter;
using ipctest::Json;
using ipctest::RawPeer;
using platform::ipc::CallOutcome;
using platform::ipc::Connection;
using platform::ipc::ConnectionOptions;
using platform::ipc::ErrorRecord;

struct Pair {
  std::shared_ptr<Connection> service;
  std::shared_ptr<Connection> client;
  std::shared_ptr<echo::EchoClient> clientObject;
  Counter serviceInvalidations;
  Counter clientInvalidations;

  explicit Pair(ConnectionOptions serviceOptions = {}, ConnectionOptions clientOptions = {}) {
    auto [a, b] = ipctest::socketPair();
    service = Connection::adopt(std::move(a), serviceOptions);
    client = Connection::adopt(std::move(b), clientOptions);
    echo::configureServiceSide(service);
    clientObject = echo::configureClientSide(client);
    service->setInvalidationHandler([this] { serviceInvalidations.bump(); });
    client->setInvalidationHandler([this] { clientInvalidations.bump(); });
    service->resume();
    client->resume();
  }
  ~Pair() {
    client->invalidate();
    service->invalidate();
    serviceInvalidations.waitFor(1);
    clientInvalidations.waitFor(1);
  }
  std::shared_ptr<echo::EchoServiceProxy> proxy() { return client->remoteObjectProxy<echo::EchoServiceProxy>(); }
};

CallOutcome callAndWait(Connection& c, const std::string& method, Json args) {
  std::promise<CallOutcome> p;
  auto f = p.get_future();
  c.call(method, std::move(args), [&p](CallOutcome o) { p.set_value(std::move(o)); });
  return f.get();
}

// A service end whose peer is driven by the test.
struct RawClient {
  std::shared_ptr<Connection> service;
  std::unique_ptr<RawPeer> peer;
  Counter invalidations;
  explicit RawClient(ConnectionOptions options = {}) {
    auto [a, b] = ipctest::socketPair();
    service = Connection::adopt(std::move(a), options);
    echo::configureServiceSide(service);
    service->setInvalidationHandler([this] { invalidations.bump(); });
    service->resume();
    peer = std::make_unique<RawPeer>(std::move(b));
    auto hello = peer->read();
    EXPECT_TRUE(hello && (*hello)["kind"] == "hello");
  }
  ~RawClient() {
    service->invalidate();
    invalidations.waitFor(1);
  }
};

TEST(Connection, CallsRepliesErrorsAndCallsBackThroughTheRemoteProxy) {
  Pair pair;
  auto proxy = pair.proxy();
  ASSERT_TRUE(proxy);
  EXPECT_EQ(proxy->callAndWait("echo", Json{{"a", 1}}), (Json{{"a", 1}}));
  EXPECT_EQ(proxy->callAndWait("callBack", Json{{"text", "hi"}}), (Json{{"answer", "re: hi"}}));
  EXPECT_EQ(proxy->callAndWait("notifyBack", Json{{"text", "step 1"}}), (Json{{"sent", true}}));
  EXPECT_TRUE(
      ipctest::eventually([&] { return pair.clientObject->notifications() == std::vector<std::string>{"step 1"}; }));
  try {
    proxy->callAndWait("fail", Json{{"message", "no"}});
    FAIL() << "no error";
  } catch (const platform::ipc::RemoteError& e) {
    EXPECT_EQ(e.record(), (ErrorRecord{"Echo.EchoError", 0, "Echo refused: no"}));
  }
  // The proxy of the wrong protocol is null; a method the remote interface lacks fails here.
  EXPECT_EQ(pair.client->remoteObjectProxy<echo::EchoClientProxy>(), nullptr);
  EXPECT_TRUE(pair.service->remoteObjectProxy<echo::EchoClientProxy>());
  const auto unknown = callAndWait(*pair.client, "transmogrify", Json::object());
  ASSERT_TRUE(unknown.error);
  EXPECT_EQ(unknown.error->code, 2);
  EXPECT_EQ(pair.service->peerProcessId(), ::getpid());
}

TEST(Connection, CompletionsRunInOrderOnTheDeliveryThreadNeverOnTheCaller) {
  Pair pair;
  std::mutex callerLock;
  std::vector<int> order;
  std::vector<std::thread::id> threads;
  Counter done;
  {
    std::lock_guard<std::mutex> held(callerLock);
    for (int i = 0; i < 20; ++i) {
      pair.client->call("echo", Json{{"i", i}}, [&, i](CallOutcome o) {
        // Taking the caller's lock would deadlock if the completion ran under it.
        std::lock_guard<std::mutex> g(callerLock);
        EXPECT_EQ(o.result, (Json{{"i", i}}));
        order.push_back(i);
        threads.push_back(std::this_thread::get_id());
        done.bump();
      });
    }
  }
  ASSERT_TRUE(done.waitFor(20));
  std::lock_guard<std::mutex> g(callerLock);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i], i);
  for (auto id : threads) {
    EXPECT_NE(id, std::this_thread::get_id());
    EXPECT_EQ(id, threads.front());
  }
}

TEST(Connection, RepliesInAnyOrderAreMatchedByIdAndAMissingResultIsTheEmptyAnswer) {
  auto [a, b] = ipctest::socketPair();
  auto client = Connection::adopt(std::move(a));
  echo::configureClientSide(client);
  client->resume();
  RawPeer service(std::move(b));
  service.send(platform::ipc::helloMessage(std::string("EchoService")));
  ASSERT_TRUE(service.read());

  std::map<int, Json> results;
  std::mutex m;
  Counter done;
  for (int i = 0; i < 3; ++i) {
    client->call("echo", Json{{"n", i}}, [&, i](CallOutcome o) {
      std::lock_guard<std::mutex> g(m);
      results[i] = o.result;
      done.bump();
    });
  }
  client->call("quiet", Json::object(), [&](CallOutcome o) {
    std::lock_guard<std::mutex> g(m);
    results[10] = o.result;
    done.bump();
  });
  std::vector<Json> calls;
  for (int i = 0; i < 4; ++i) {
    auto call = service.read();
    ASSERT_TRUE(call);
    calls.push_back(*call);
  }
  for (int i = 2; i >= 0; --i) service.send(platform::ipc::replyMessage(calls[i]["id"], calls[i]["args"]["n"]));
  service.send(Json{{"kind", "reply"}, {"id", calls[3]["id"]}});
  // A second answer to the same id is dropped: the call completed once.
  service.send(platform::ipc::replyMessage(calls[0]["id"], "again"));
  ASSERT_TRUE(done.waitFor(4));
  client->invalidate();
  std::lock_guard<std::mutex> g(m);
  EXPECT_EQ(results[0], 0);
  EXPECT_EQ(results[1], 1);
  EXPECT_EQ(results[2], 2);
  EXPECT_EQ(results[10], (Json{{"quiet", true}}));
  EXPECT_EQ(done.value(), 4);
}

TEST(Connection, InvalidateCompletesEveryPendingAndLaterCallOnceWith4099) {
  Pair pair;
  std::vector<std::atomic<int>> hits(11);
  std::vector<std::optional<ErrorRecord>> errors(11);
  Counter done;
  for (int i = 0; i < 10; ++i) {
    pair.client->call("hold", Json::object(), [&, i](CallOutcome o) {
      errors[i] = o.error;
      ++hits[i];
      done.bump();
    });
  }
  // One round trip so that the holds are in the service's hands.
  const auto roundTrip = callAndWait(*pair.client, "echo", Json::object());
  ASSERT_EQ(roundTrip.result, Json::object()) << (roundTrip.error ? roundTrip.error->description : "");
  pair.client->invalidate();
  pair.client->invalidate();
  pair.client->call("echo", Json::object(), [&](CallOutcome o) {
    errors[10] = o.error;
    ++hits[10];
    done.bump();
  });
  ASSERT_TRUE(done.waitFor(11));
  ASSERT_TRUE(pair.clientInvalidations.waitFor(1));
  // The service end sees its peer close: an invalidation there too.
  ASSERT_TRUE(pair.serviceInvalidations.waitFor(1));
  EXPECT_TRUE(pair.client->isInvalid());
  for (int i = 0; i < 11; ++i) {
    EXPECT_EQ(hits[i], 1);
    ASSERT_TRUE(errors[i]);
    EXPECT_EQ(errors[i]->domain, "NSCocoaErrorDomain");
    EXPECT_EQ(errors[i]->code, 4099);
  }
  EXPECT_EQ(pair.clientInvalidations.value(), 1);
  EXPECT_EQ(pair.serviceInvalidations.value(), 1);
}

TEST(Connection, AServiceEndWhosePeerClosesFailsItsOwnCallsAndIsInvalidatedOnce) {
  RawClient raw;
  auto proxy = raw.service->remoteObjectProxy<echo::EchoClientProxy>();
  ASSERT_TRUE(proxy);
  // Before the peer's hello nothing is sent; the call waits.
  std::optional<ErrorRecord> error;
  Counter done;
  proxy->call("ask", Json{{"text", "q"}}, [&](CallOutcome o) {
    error = o.error;
    done.bump();
  });
  raw.peer->send(platform::ipc::helloMessage(std::string("EchoClient")));
  auto ask = raw.peer->read();
  ASSERT_TRUE(ask);
  EXPECT_EQ((*ask)["method"], "ask");
  raw.peer->endStream();
  ASSERT_TRUE(done.waitFor(1));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, 4099);
  ASSERT_TRUE(raw.invalidations.waitFor(1));
  raw.service->invalidate();
  EXPECT_EQ(raw.invalidations.value(), 1);
}

TEST(Connection, AnotherVersionOrAnotherFirstMessageClosesTheConnection) {
  for (const Json& first :
       {Json{{"kind", "hello"}, {"version", 2}, {"exports", nullptr}}, Json{{"kind", "hello"}, {"exports", nullptr}},
        platform::ipc::callMessage(1, "echo", Json::object())}) {
    RawClient raw;
    raw.peer->send(first);
    std::vector<Json> rest;
    EXPECT_TRUE(raw.peer->waitForEnd(&rest)) << first.dump();
    EXPECT_TRUE(rest.empty());
    EXPECT_TRUE(raw.invalidations.waitFor(1));
  }
}

TEST(Connection, LimitsCallsInFlightBothWays) {
  RawClient raw;
  raw.peer->send(platform::ipc::helloMessage(std::string("EchoClient")));
  for (int id = 1; id <= 65; ++id) raw.peer->send(platform::ipc::callMessage(id, "hold", Json::object()));
  auto refused = raw.peer->read();
  ASSERT_TRUE(refused);
  EXPECT_EQ((*refused)["kind"], "error");
  EXPECT_EQ((*refused)["id"], 65);
  EXPECT_EQ((*refused)["error"]["code"], 5);
  // Answered calls leave the count: with room for 3, a release frees the two it answers.
  ConnectionOptions three;
  three.maximumCallsInFlight = 3;
  RawClient small(three);
  small.peer->send(platform::ipc::helloMessage(std::string("EchoClient")));
  for (int id : {1, 2}) small.peer->send(platform::ipc::callMessage(id, "hold", Json::object()));
  small.peer->send(platform::ipc::callMessage(3, "release", Json::object()));
  for (int i = 0; i < 3; ++i) {
    auto m = small.peer->read();
    ASSERT_TRUE(m);
    EXPECT_EQ((*m)["kind"], "reply");
  }
  for (int id : {4, 5, 6, 7}) small.peer->send(platform::ipc::callMessage(id, "hold", Json::object()));
  auto over = small.peer->read();
  ASSERT_TRUE(over);
  EXPECT_EQ((*over)["id"], 7);
  EXPECT_EQ((*over)["error"]["code"], 5);

  // Declared before the pair: the held calls complete (with 4099) when it goes.
  Counter done;
  std::vector<std::optional<ErrorRecord>> errors(3);
  ConnectionOptions two;
  two.maximumCallsInFlight = 2;
  Pair pair({}, two);
  for (int i = 0; i < 3; ++i) {
    pair.client->call("hold", Json::object(), [&, i](CallOutcome o) {
      errors[i] = o.error;
      done.bump();
    });
  }
  ASSERT_TRUE(done.waitFor(1));
  ASSERT_TRUE(errors[2]);
  EXPECT_EQ(errors[2]->code, 5);
  EXPECT_EQ(errors[2]->domain, "platform.ipc");
  pair.client->call("release", Json::object(), [&](CallOutcome) { done.bump(); });  // over the limit too
  ASSERT_TRUE(done.waitFor(2));
}

TEST(Connection, MessagesOverTheLimitAreNotSent) {
  ConnectionOptions small;
  small.frameLimit = 1024;
  Pair pair(small, small);
  auto call = callAndWait(*pair.client, "echo", Json{{"s", std::string(2000, 'x')}});
  ASSERT_TRUE(call.error);
  EXPECT_EQ(call.error->code, 4);
  // The service's answer would be over the limit: the reply becomes error 4.
  auto reply = callAndWait(*pair.client, "big", Json{{"bytes", 2000}});
  ASSERT_TRUE(reply.error);
  EXPECT_EQ(reply.error->code, 4);
  EXPECT_EQ(reply.error->domain, "platform.ipc");
  // Both ends carry on.
  EXPECT_EQ(callAndWait(*pair.client, "big", Json{{"bytes", 10}}).result, std::string(10, 'b'));
}

// An answer whose text cannot be written as it stands still goes out, and the connection stays.
TEST(Connection, ErrorsWhoseTextIsNotUtf8OrOverTheLimitAreAnsweredWithTheirCode) {
  // An error's message is repaired: each invalid byte becomes U+FFFD.
  Pair pair;
  const auto thrown = callAndWait(*pair.client, "failBytes", Json{{"text", "file "}});
  ASSERT_TRUE(thrown.error);
  EXPECT_EQ(*thrown.error, (ErrorRecord{"Echo.EchoError", 0, "Echo refused: file \uFFFD"}));
  // A record made by hand keeps its domain and code; its description is replaced.
  const auto record = callAndWait(*pair.client, "failRecord", Json{{"text", "file "}});
  ASSERT_TRUE(record.error);
  EXPECT_EQ(record.error->domain, "Echo.Raw");
  EXPECT_EQ(record.error->code, 7);
  EXPECT_EQ(callAndWait(*pair.client, "echo", Json{{"still", true}}).result, (Json{{"still", true}}));

  // The layer's own answers quote the peer: an unknown method or kind as long as the limit.
  ConnectionOptions small;
  small.frameLimit = 4096;
  RawClient raw(small);
  raw.peer->send(platform::ipc::helloMessage(std::string("EchoClient")));
  raw.peer->send(platform::ipc::callMessage(1, std::string(4040, 'm'), Json::object()));
  raw.peer->send(Json{{"kind", std::string(4040, 'k')}, {"id", 2}});
  for (const int code : {2, 1}) {
    const auto answer = raw.peer->read();
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["kind"], "error");
    EXPECT_EQ((*answer)["id"], code == 2 ? 1 : 2);
    EXPECT_EQ((*answer)["error"]["code"], code);
    EXPECT_LE(platform::json::dump(*answer).size(), small.frameLimit);
  }
  raw.peer->send(platform::ipc::callMessage(3, "echo", Json{{"k", 1}}));
  const auto echoed = raw.peer->read();
  ASSERT_TRUE(echoed);
  EXPECT_EQ(*echoed, platform::ipc::replyMessage(3, Json{{"k", 1}}));
}

// What a completion or handler throws is logged; the delivery thread runs on.
TEST(Connection, ACompletionThatThrowsLeavesTheDeliveryThreadRunning) {
  Pair pair;
  Counter ran;
  pair.client->call("echo", Json::object(), [&](CallOutcome) {
    ran.bump();
    throw std::runtime_error("completion failed");
  });
  pair.client->call("echo", Json::object(), [&](CallOutcome) {
    ran.bump();
    throw 42;
  });
  ASSERT_TRUE(ran.waitFor(2));
  EXPECT_EQ(callAndWait(*pair.client, "echo", Json{{"after", 1}}).result, (Json{{"after", 1}}));
}

TEST(Connection, APeerThatStopsReadingEndsTheConnectionWhenAWriteStalls) {
  ConnectionOptions impatient;
  impatient.writeStallLimit = std::chrono::milliseconds(100);
  RawClient raw(impatient);
  raw.peer->send(platform::ipc::helloMessage(std::string("EchoClient")));
  // Answers far larger than the socket buffers, never read.
  for (int id = 1; id <= 8; ++id) raw.peer->send(platform::ipc::callMessage(id, "big", Json{{"bytes", 1 << 20}}));
  EXPECT_TRUE(raw.invalidations.waitFor(1));
}

// While a handler holds the service's delivery thread, the socket is still read: the client,
// which gives up on a write after 500 ms, gets far more than the socket buffers hold across
// during a 2 s handler, and every call is answered, in order.
TEST(Connection, TheSocketIsStillReadWhileAHandlerRunsLong) {
  ConnectionOptions impatient;
  impatient.writeStallLimit = std::chrono::milliseconds(500);
  Pair pair({}, impatient);
  std::mutex m;
  std::vector<int> order;
  Counter done;
  pair.client->call("sleep", Json{{"ms", 2000}}, [&](CallOutcome o) {
    EXPECT_TRUE(o.ok());
    std::lock_guard<std::mutex> g(m);
    order.push_back(-1);
    done.bump();
  });
  constexpr int kCalls = 40;
  const std::string big(32 << 10, 'x');
  for (int i = 0; i < kCalls; ++i) {
    pair.client->call("echo", Json{{"i", i}, {"s", big}}, [&, i](CallOutcome o) {
      EXPECT_TRUE(o.ok()) << (o.error ? o.error->description : "");
      EXPECT_EQ(o.ok() ? o.result.value("s", std::string()).size() : 0, big.size());
      std::lock_guard<std::mutex> g(m);
      order.push_back(i);
      done.bump();
    });
  }
  ASSERT_TRUE(done.waitFor(kCalls + 1));
  EXPECT_EQ(pair.clientInvalidations.value(), 0);
  std::vector<int> expected{-1};
  for (int i = 0; i < kCalls; ++i) expected.push_back(i);
  std::lock_guard<std::mutex> g(m);
  EXPECT_EQ(order, expected);
}

TEST(Connection, TheLastReferenceMayDropOnTheDeliveryThread) {
  Counter done;
  Counter invalidations;
  {
    auto [a, b] = ipctest::socketPair();
    auto service = Connection::adopt(std::move(a));
    echo::configureServiceSide(service);
    service->resume();
    auto client = Connection::adopt(std::move(b));
    echo::configureClientSide(client);
    client->setInvalidationHandler([&] { invalidations.bump(); });
    client->resume();
    client->call("sleep", Json{{"ms", 20}}, [&done, kept = client](CallOutcome) mutable {
      kept->invalidate();
      kept.reset();
      done.bump();
    });
    client.reset();
    service->invalidate();
  }
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_TRUE(invalidations.waitFor(1));
}

// Invalidated from its own completion, while its delivery thread is busy: the connection still
// reads its stream to the end, its threads end and it goes, and the peer sees it close.
TEST(Connection, AConnectionInvalidatedFromItsDeliveryThreadStillGoes) {
  auto [a, b] = ipctest::socketPair();
  auto service = Connection::adopt(std::move(a));
  echo::configureServiceSide(service);
  Counter serviceInvalidations;
  service->setInvalidationHandler([&] { serviceInvalidations.bump(); });
  service->resume();
  std::weak_ptr<Connection> gone;
  Counter done;
  {
    auto client = Connection::adopt(std::move(b));
    echo::configureClientSide(client);
    client->resume();
    gone = client;
    client->call("echo", Json::object(), [&done, kept = client](CallOutcome o) mutable {
      EXPECT_TRUE(o.ok());
      kept->invalidate();
      kept.reset();
      done.bump();
    });
  }
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_TRUE(ipctest::eventually([&] { return gone.expired(); }));
  EXPECT_TRUE(serviceInvalidations.waitFor(1));
  service->invalidate();
}

// Eight threads call while the connection is invalidated under them: each call completes
// exactly once, with its answer or with 4099.
TEST(ConnectionThreads, EightThreadsCallWhileTheConnectionIsInvalidated) {
  Pair pair;
  constexpr int kThreads = 8;
  constexpr int kCalls = 150;
  std::vector<std::atomic<int>> hits(kThreads * kCalls);
  std::atomic<int> answered{0}, refused{0}, other{0};
  Counter done;
  std::atomic<int> started{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ++started;
      for (int i = 0; i < kCalls; ++i) {
        const int k = t * kCalls + i;
        pair.client->call("echo", Json{{"k", k}}, [&, k](CallOutcome o) {
          ++hits[k];
          if (o.ok() && o.result == Json{{"k", k}}) {
            ++answered;
          } else if (o.error && o.error->code == 4099) {
            ++refused;
          } else if (o.error && o.error->code == 5) {
            ++refused;  // too many in flight at that moment: completed locally, once
          } else {
            ++other;
          }
          done.bump();
        });
      }
    });
  }
  while (started < kThreads) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  pair.client->invalidate();
  for (auto& t : threads) t.join();
  ASSERT_TRUE(done.waitFor(kThreads * kCalls));
  for (auto& h : hits) EXPECT_EQ(h, 1);
  EXPECT_EQ(other, 0);
  EXPECT_EQ(answered + refused, kThreads * kCalls);
  // The handler runs after the calls that invalidate() ended, possibly after the last of them.
  EXPECT_TRUE(pair.clientInvalidations.waitFor(1));
  EXPECT_EQ(pair.clientInvalidations.value(), 1);
}

// No thread of a connection is left behind: one that drops the last reference to its own
// connection is joined once it has ended, the exit's stop ends live connections and waits for
// their handlers and threads, and a process that exits with a live connection runs its
// invalidation handler before it ends.
bool noThreadLeft() {
  const auto counts = platform::ipc::threadCounts();
  return counts.running == 0 && counts.awaitingJoin == 0;
}

TEST(ConnectionThreads, AThreadThatDropsItsOwnConnectionIsJoinedOnceItHasEnded) {
  Counter done;
  std::weak_ptr<Connection> gone;
  {
    auto [a, b] = ipctest::socketPair();
    auto service = Connection::adopt(std::move(a));
    echo::configureServiceSide(service);
    service->resume();
    auto client = Connection::adopt(std::move(b));
    echo::configureClientSide(client);
    client->resume();
    gone = client;
    // Only the client's own threads hold it after this block.
    client->call("echo", Json::object(), [&done, kept = client](CallOutcome) mutable {
      kept.reset();
      done.bump();
    });
    client.reset();
    service->invalidate();
  }
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_TRUE(ipctest::eventually([&] { return gone.expired(); }));
  EXPECT_TRUE(ipctest::eventually(noThreadLeft));
}

TEST(ConnectionThreads, TheExitStopEndsLiveConnectionsAndWaitsForTheirThreads) {
  auto [a, b] = ipctest::socketPair();
  auto service = Connection::adopt(std::move(a));
  echo::configureServiceSide(service);
  std::atomic<bool> handlerFinished{false};
  service->setInvalidationHandler([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    handlerFinished = true;
  });
  service->resume();
  auto client = Connection::adopt(std::move(b));
  echo::configureClientSide(client);
  Counter clientInvalidations;
  client->setInvalidationHandler([&] { clientInvalidations.bump(); });
  client->resume();
  ASSERT_TRUE(callAndWait(*client, "echo", Json{{"k", 1}}).ok());

  EXPECT_TRUE(platform::ipc::stopAndJoinThreads(std::chrono::seconds(20)));
  // The wait covered the handlers that the stop started.
  EXPECT_TRUE(handlerFinished);
  EXPECT_EQ(clientInvalidations.value(), 1);
  EXPECT_TRUE(client->isInvalid());
  EXPECT_TRUE(service->isInvalid());
  EXPECT_TRUE(noThreadLeft());
  // A connection made afterwards works as before.
  Pair next;
  EXPECT_TRUE(callAndWait(*next.client, "echo", Json{{"k", 2}}).ok());
}

// Makes a live pair whose service end prints a line when invalidated, then exits.
[[noreturn]] void exitWithALiveConnection() {
  auto [a, b] = ipctest::socketPair();
  auto service = Connection::adopt(std::move(a));
  echo::configureServiceSide(service);
  service->setInvalidationHandler([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::fprintf(stderr, "service invalidated at exit\n");
  });
  service->resume();
  auto client = Connection::adopt(std::move(b));
  echo::configureClientSide(client);
  client->resume();
  if (!callAndWait(*client, "echo", Json::object()).ok()) std::_Exit(3);
  std::exit(0);
}

TEST(ConnectionThreadsDeathTest, AProcessThatExitsWithALiveConnectionRunsItsInvalidationHandler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exitWithALiveConnection(), ::testing::ExitedWithCode(0), "service invalidated at exit");
}

}  // namespace
