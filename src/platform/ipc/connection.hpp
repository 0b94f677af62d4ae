// Connections between the app and its worker: the stand-in for the platform's inter-process
// connection framework.
//
// A Connection joins two processes over one Unix-domain stream socket. Each side exports an
// object described by an Interface, and reaches the other side's object through a remote proxy
// (remoteObjectProxy<P>()). Calls carry a JSON object of arguments and complete exactly once:
// with the peer's result, the peer's error record, or a local record of the connection itself
// (NSCocoaErrorDomain 4097 when the peer went away, 4099 when the connection is invalid).
//
// Threads: per connection one delivery thread runs, in order, every incoming call and one-way
// message, every completion of our own calls and the interruption and invalidation handlers;
// none of them ever runs on a caller's thread or under a lock of this layer. A handler may call
// on another connection, or on this one with a completion, but must not block waiting for a
// completion of this same connection (that completion runs on the thread it blocks). The
// delivery thread reads the socket while it has nothing to run; while a handler holds it for
// more than a few milliseconds, a stand-by thread reads in its place.
//
// Two kinds of connection:
// - toService(name), the app side: nothing is contacted until the first call; then the worker
//   is reached at socketPathFor(name) and started on demand (launcher.hpp). A peer that closes
//   without our invalidate() interrupts the connection: the interruption handler runs, pending
//   calls complete with 4097, and the next call reconnects (starting the worker again).
// - accepted by a Listener, the worker side: a peer that closes invalidates the connection.
// invalidate() ends either kind for good: pending and later calls complete with 4099 and the
// invalidation handler runs once.
//
// Connection is always held by std::shared_ptr; all members are thread-safe. A live connection
// keeps itself alive until it is interrupted (app side) or invalidated.
//
// Exit: no thread of this layer outlives main. When the process exits, every connection still
// alive is invalidated (its invalidation handler runs) and the exit waits for every thread of
// every connection, including those of connections already dropped, to end (thread_registry.hpp).
// What a handler touches must therefore exist before the first connection is made, or outlive
// the exit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fs/unique_fd.hpp"
#include "platform/ipc/ipc_error.hpp"
#include "platform/json/json.hpp"

namespace platform::ipc {

// A protocol: its name as peers know it and its methods. A one-way method is never answered.
struct Interface {
  struct Method {
    std::string name;
    bool oneway = false;
    // What a reply without a result slot completes with.
    json::Json emptyAnswer = nullptr;
  };
  std::string name;
  std::vector<Method> methods;

  const Method* find(std::string_view method) const;
};

// The outcome of one call: a result, or an error record.
struct CallOutcome {
  json::Json result;
  std::optional<ErrorRecord> error;
  bool ok() const { return !error.has_value(); }
};
using Completion = std::function<void(CallOutcome)>;

class Connection;
struct Session;

// The answer slot of one incoming call. Move-only; answering a second time does nothing. A
// Reply dropped unanswered answers with {"platform.ipc", 0, "The service dropped the reply."}
// and logs. May be answered from any thread, at any later time.
class Reply {
 public:
  Reply() = default;
  Reply(Reply&& other) noexcept;
  Reply& operator=(Reply&&) noexcept;
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;
  ~Reply();

  void succeed(json::Json result = nullptr);
  void fail(ErrorRecord error);
  void fail(const sys::Error& error) { fail(ErrorRecord::from(error)); }
  bool answered() const { return !pending_; }

 private:
  friend class Connection;
  friend struct SessionRunner;
  Reply(std::weak_ptr<Connection> connection, std::weak_ptr<Session> session, std::uint64_t id);
  // Sends the reply with `result`, or the error answer with `error` when given. When not even
  // an error answer can be sent, the connection is invalidated.
  void send(json::Json result, std::optional<ErrorRecord> error);

  std::weak_ptr<Connection> connection_;
  std::weak_ptr<Session> session_;
  std::uint64_t id_ = 0;
  bool pending_ = false;
};

// The object a connection exports. Runs on the connection's delivery thread. handleCall
// answers through `reply` at once, or moves it away to answer later from any thread. An
// exception thrown by handleCall answers the call with its record (ErrorRecord::fromException)
// when `reply` is still unanswered there.
class ExportedObject {
 public:
  virtual ~ExportedObject() = default;
  virtual void handleCall(const std::string& method, const json::Json& args, Reply& reply) = 0;
  virtual void handleOneway(const std::string& method, const json::Json& args) {
    (void)method;
    (void)args;
  }
};

// Base of the typed proxies. A proxy class P derives from RemoteProxy, is constructible from a
// std::shared_ptr<Connection>, and has `static const Interface& interface()`.
class RemoteProxy {
 public:
  explicit RemoteProxy(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}
  virtual ~RemoteProxy() = default;
  Connection& connection() const { return *connection_; }

 protected:
  void call(std::string_view method, json::Json args, Completion completion) const;
  // Waits for the outcome; returns the result or throws RemoteError. Never call it on the
  // delivery thread of the same connection.
  json::Json callAndWait(std::string_view method, json::Json args) const;
  void send(std::string_view method, json::Json args) const;

 private:
  std::shared_ptr<Connection> connection_;
};

struct ConnectionOptions {
  std::uint32_t frameLimit = 64u << 20;
  std::size_t maximumCallsInFlight = 64;
  std::chrono::milliseconds writeStallLimit{30000};
  std::chrono::milliseconds launchTimeout{10000};
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // The app side: reaches `serviceName` on the first call. Contacts nothing now.
  static std::shared_ptr<Connection> toService(std::string serviceName, ConnectionOptions options = {});
  // The worker side of an accepted (or any connected) socket. Reads nothing before resume().
  static std::shared_ptr<Connection> adopt(platform::fs::UniqueFd socket, ConnectionOptions options = {});

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Set these before resume().
  void setExportedInterface(Interface interface);
  void setExportedObject(std::shared_ptr<ExportedObject> object);
  void setRemoteObjectInterface(Interface interface);
  void setInterruptionHandler(std::function<void()> handler);
  void setInvalidationHandler(std::function<void()> handler);

  // Starts delivery (and reading, on the worker side). Calls made before are kept until then.
  void resume();
  // Ends the connection for good. Idempotent; returns without waiting for the handlers.
  void invalidate();

  // A proxy of the remote object when the remote interface is P's, else null. Sends nothing.
  template <class P>
  std::shared_ptr<P> remoteObjectProxy() {
    if (!remoteInterface_ || remoteInterface_->name != P::interface().name) return nullptr;
    return std::make_shared<P>(shared_from_this());
  }
  const std::optional<Interface>& remoteInterface() const { return remoteInterface_; }

  // Sends a call; `completion` runs exactly once on the delivery thread.
  void call(std::string_view method, json::Json args, Completion completion);
  // Sends a one-way message; dropped (and logged) when it cannot be sent.
  void send(std::string_view method, json::Json args);

  // The peer's process id while connected (SO_PEERCRED), else absent.
  std::optional<pid_t> peerProcessId() const;
  bool isInvalid() const;

  struct Impl;

 private:
  friend class Reply;
  friend struct SessionRunner;
  explicit Connection(ConnectionOptions options);

  std::optional<Interface> remoteInterface_;  // set before resume(), read-only after
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform::ipc
