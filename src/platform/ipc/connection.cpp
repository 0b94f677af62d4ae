#include "platform/ipc/connection.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "platform/ipc/delivery_queue.hpp"
#include "platform/ipc/launcher.hpp"
#include "platform/ipc/socket_path.hpp"
#include "platform/ipc/thread_registry.hpp"
#include "platform/ipc/wire.hpp"
#include "platform/ipc/ipc_log.hpp"
#include "platform/log/log.hpp"
#include "platform/sync/mutex.hpp"
#include "platform/sys/error_description.hpp"

namespace platform::ipc {
namespace {

const log::Logger& logger() { return ipcLogger(); }

// How long the delivery thread may run one task before the stand-by reader of its session
// reads the socket in its place (between one and two of these).
constexpr std::chrono::milliseconds kStandbyPeriod{10};

// Serialises the launch-or-connect step of the connections of this process, so that two of
// them never start two workers for one service.
sync::Mutex& launchMutex() {
  static sync::Mutex* m = new sync::Mutex();
  return *m;
}

// Every connection of the process that may still be alive, so that the exit can stop them all
// (thread_registry.hpp). Never destroyed.
struct LiveConnections {
  sync::Mutex mutex;
  std::vector<std::weak_ptr<Connection>> all;  // guarded by mutex
};

LiveConnections& liveConnections();
void addLiveConnection(const std::shared_ptr<Connection>& connection);

// The frame of an `error` answer (encodeErrorAnswer); what kept the record from going out as
// it stands is logged. Absent when not even the replacement fits the limit: the caller ends
// the connection.
std::optional<std::string> errorAnswerFrame(std::optional<std::uint64_t> id, const ErrorRecord& record,
                                            std::uint32_t limit) {
  ErrorAnswer answer = encodeErrorAnswer(id, record, limit);
  const std::string which = id ? "error answer to call " + std::to_string(*id) : std::string("error answer");
  if (!answer.frame) {
    logger().error(which + " cannot be sent (" + answer.problem + "); ending the connection");
  } else if (!answer.problem.empty()) {
    logger().error(which + " sent without its description: " + answer.problem);
  }
  return std::move(answer.frame);
}

}  // namespace

// One socket's life: from connect (or adopt) to the end of its stream. Fields other than the
// descriptors, the threads and the reading state are guarded by the owning connection's mutex.
//
// Reading: one thread at a time holds the turn to read the socket. Normally the delivery
// thread reads while it has nothing to run. The session's stand-by thread holds the turn at
// first, and takes it whenever the delivery thread is held up in one task (or the session is
// detached from its connection and nobody else would read it to its end); the delivery thread
// asks for it back through `standbyWake` once it is idle again. The turn fields are guarded by
// the connection's DeliveryQueue::turnMutex; `frames` and `readBuffer` belong to the turn.
struct Session {
  platform::fs::UniqueFd socket;
  platform::fs::UniqueFd standbyWake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  std::thread standby;
  std::thread writer;
  std::deque<std::string> outbox;
  bool ready = false;                // the peer's hello has arrived
  bool closing = false;              // the writer stops; the socket is shut down
  bool flushBeforeClose = false;     // write the outbox out before shutting down
  bool writing = true;               // a thread is writing a frame (at first: our hello)
  std::set<std::uint64_t> incoming;  // ids of the peer's calls not yet answered
  std::optional<pid_t> peerPid;

  // guarded by DeliveryQueue::turnMutex:
  bool standbyReads = true;    // the stand-by thread holds the turn
  bool deliveryReads = false;  // the delivery thread is reading (or waiting to)
  bool turnWanted = false;     // the delivery thread asked for the turn back
  bool ended = false;          // the stream has ended: nobody reads any more
  bool detached = false;       // no longer the connection's session

  FrameReader frames;
  std::string readBuffer = std::string(64 * 1024, '\0');

  explicit Session(std::uint32_t frameLimit) : frames(frameLimit) {}
  ~Session() {
    joinOrHandOff(standby);
    joinOrHandOff(writer);
  }
};

struct Connection::Impl {
  enum class State { idle, connecting, connected, invalid };
  struct Pending {
    Completion completion;
    json::Json emptyAnswer;
    std::shared_ptr<Session> session;  // null while queued
    std::string frame;                 // kept while queued
  };

  ConnectionOptions options;
  bool appSide = false;
  std::string serviceName;
  platform::fs::UniqueFd adopted;

  // Set before resume(), read-only after.
  std::optional<Interface> exportedInterface;
  std::shared_ptr<ExportedObject> exportedObject;
  std::function<void()> interruptionHandler;
  std::function<void()> invalidationHandler;

  std::shared_ptr<DeliveryQueue> delivery = std::make_shared<DeliveryQueue>();
  std::thread deliveryThread;

  mutable sync::Mutex mutex;
  std::condition_variable_any changed;
  // guarded by mutex:
  State state = State::idle;
  bool resumed = false;
  std::shared_ptr<Session> session;
  std::uint64_t nextId = 1;
  std::map<std::uint64_t, Pending> pending;

  void post(Task task) { delivery->push(std::move(task)); }

  // Sends `frame` on `s`, in order after what is queued. `lock` holds `mutex` and is released.
  // When nothing is queued or being written, the calling thread writes at once without
  // waiting (saving a hand-over to the writer thread); what the socket does not take at once
  // goes to the writer, ahead of anything queued meanwhile.
  void sendOrQueue(std::unique_lock<sync::Mutex>& lock, Session& s, std::string frame) {
    if (s.writing || !s.outbox.empty() || !s.ready || s.closing) {
      s.outbox.push_back(std::move(frame));
      lock.unlock();
      changed.notify_all();
      return;
    }
    s.writing = true;
    lock.unlock();
    std::size_t done = 0;
    while (done < frame.size()) {
      const ssize_t n = ::send(s.socket.get(), frame.data() + done, frame.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        break;  // full (the writer waits for room) or broken (the writer finds out)
      }
    }
    lock.lock();
    s.writing = false;
    if (done < frame.size()) s.outbox.push_front(frame.substr(done));
    // The writer waits only for queued frames or the end of the session (and then for this
    // write to finish); nothing else waits on `writing`. When neither is the case, waking it
    // would only cost a thread switch on every message.
    const bool wake = s.closing || !s.outbox.empty();
    lock.unlock();
    if (wake) changed.notify_all();
  }
  void complete(Completion completion, CallOutcome outcome) {
    if (!completion) return;
    post([c = std::move(completion), o = std::move(outcome)]() mutable { c(std::move(o)); });
  }
  void fail(Completion completion, ErrorRecord record) {
    complete(std::move(completion), CallOutcome{nullptr, std::move(record)});
  }
};

const Interface::Method* Interface::find(std::string_view method) const {
  for (const auto& m : methods) {
    if (m.name == method) return &m;
  }
  return nullptr;
}

namespace {
// The delivery thread of a connection (SessionRunner::deliveryLoop).
std::thread startDelivery(std::shared_ptr<DeliveryQueue> delivery, std::weak_ptr<Connection> connection);
}  // namespace

// ---- Reply ----

Reply::Reply(std::weak_ptr<Connection> connection, std::weak_ptr<Session> session, std::uint64_t id)
    : connection_(std::move(connection)), session_(std::move(session)), id_(id), pending_(true) {}

Reply::Reply(Reply&& other) noexcept
    : connection_(std::move(other.connection_)),
      session_(std::move(other.session_)),
      id_(other.id_),
      pending_(std::exchange(other.pending_, false)) {}

Reply& Reply::operator=(Reply&& other) noexcept {
  if (this != &other) {
    if (pending_) fail(ErrorRecord{kIpcErrorDomain, 0, "The service dropped the reply."});
    connection_ = std::move(other.connection_);
    session_ = std::move(other.session_);
    id_ = other.id_;
    pending_ = std::exchange(other.pending_, false);
  }
  return *this;
}

Reply::~Reply() {
  if (pending_) {
    logger().error("reply to call " + std::to_string(id_) + " dropped unanswered");
    fail(ErrorRecord{kIpcErrorDomain, 0, "The service dropped the reply."});
  }
}

void Reply::succeed(json::Json result) {
  if (!pending_) return;
  send(std::move(result), std::nullopt);
}

void Reply::fail(ErrorRecord error) {
  if (!pending_) return;
  send(nullptr, std::move(error));
}

void Reply::send(json::Json result, std::optional<ErrorRecord> error) {
  pending_ = false;
  auto connection = connection_.lock();
  auto session = session_.lock();
  if (!connection || !session) return;
  auto& impl = *connection->impl_;
  std::optional<std::string> frame;
  if (!error) {
    try {
      frame = encodeMessage(replyMessage(id_, std::move(result)), impl.options.frameLimit);
    } catch (const IpcError& e) {
      logger().error("reply to call " + std::to_string(id_) + " not sent: " + e.description());
      error = ErrorRecord::from(e);
    }
  }
  if (!frame) frame = errorAnswerFrame(id_, *error, impl.options.frameLimit);
  if (!frame) {
    connection->invalidate();
    return;
  }
  std::unique_lock<sync::Mutex> lock(impl.mutex);
  if (session->incoming.erase(id_) == 0 || session->closing) return;
  impl.sendOrQueue(lock, *session, std::move(*frame));
}

// ---- RemoteProxy ----

void RemoteProxy::call(std::string_view method, json::Json args, Completion completion) const {
  connection_->call(method, std::move(args), std::move(completion));
}

json::Json RemoteProxy::callAndWait(std::string_view method, json::Json args) const {
  auto promise = std::make_shared<std::promise<CallOutcome>>();
  auto future = promise->get_future();
  connection_->call(method, std::move(args),
                    [promise](CallOutcome outcome) { promise->set_value(std::move(outcome)); });
  CallOutcome outcome = future.get();
  if (outcome.error) throw RemoteError(std::move(*outcome.error));
  return std::move(outcome.result);
}

void RemoteProxy::send(std::string_view method, json::Json args) const { connection_->send(method, std::move(args)); }

// ---- Connection: set-up ----

Connection::Connection(ConnectionOptions options) : impl_(std::make_unique<Impl>()) { impl_->options = options; }

std::shared_ptr<Connection> Connection::toService(std::string serviceName, ConnectionOptions options) {
  std::shared_ptr<Connection> c(new Connection(options));
  c->impl_->appSide = true;
  c->impl_->serviceName = std::move(serviceName);
  addLiveConnection(c);
  return c;
}

std::shared_ptr<Connection> Connection::adopt(platform::fs::UniqueFd socket, ConnectionOptions options) {
  std::shared_ptr<Connection> c(new Connection(options));
  c->impl_->adopted = std::move(socket);
  c->impl_->state = Impl::State::connecting;
  addLiveConnection(c);
  return c;
}

Connection::~Connection() {
  auto& impl = *impl_;
  std::vector<Completion> orphans;
  {
    std::lock_guard<sync::Mutex> guard(impl.mutex);
    for (auto& [id, p] : impl.pending) orphans.push_back(std::move(p.completion));
    impl.pending.clear();
    if (impl.session) {
      impl.session->closing = true;
      ::shutdown(impl.session->socket.get(), SHUT_RDWR);
    }
  }
  impl.changed.notify_all();
  for (auto& c : orphans) impl.fail(std::move(c), invalidRecord());
  if (!impl.deliveryThread.joinable() && impl.delivery->bufferedCount() > 0) {
    impl.deliveryThread = startDelivery(impl.delivery, {});
  }
  impl.delivery->finish();
  joinOrHandOff(impl.deliveryThread);
}

void Connection::setExportedInterface(Interface interface) { impl_->exportedInterface = std::move(interface); }
void Connection::setExportedObject(std::shared_ptr<ExportedObject> object) {
  impl_->exportedObject = std::move(object);
}
void Connection::setRemoteObjectInterface(Interface interface) { remoteInterface_ = std::move(interface); }
void Connection::setInterruptionHandler(std::function<void()> handler) {
  impl_->interruptionHandler = std::move(handler);
}
void Connection::setInvalidationHandler(std::function<void()> handler) {
  impl_->invalidationHandler = std::move(handler);
}

std::optional<pid_t> Connection::peerProcessId() const {
  std::lock_guard<sync::Mutex> guard(impl_->mutex);
  if (!impl_->session || !impl_->session->ready) return std::nullopt;
  return impl_->session->peerPid;
}

bool Connection::isInvalid() const {
  std::lock_guard<sync::Mutex> guard(impl_->mutex);
  return impl_->state == Impl::State::invalid;
}

// ---- Connection: the threads of a session ----

namespace {

// Writes all of `frame`, waiting at most `stall` for the socket to take more. False when the
// peer is gone or stalled.
bool writeFrame(int fd, const std::string& frame, std::chrono::milliseconds stall) {
  std::size_t done = 0;
  while (done < frame.size()) {
    const ssize_t n = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      int r;
      do {
        r = ::poll(&p, 1, static_cast<int>(stall.count()));
      } while (r < 0 && errno == EINTR);
      if (r == 0) {
        logger().error("write stalled for " + std::to_string(stall.count()) + " ms; ending the connection");
        return false;
      }
      if (r < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

struct SessionRunner {
  static void start(const std::shared_ptr<Connection>& connection, Connection::Impl& impl,
                    const std::shared_ptr<Session>& session) {
    const int fd = session->socket.get();
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.pid > 0) session->peerPid = cred.pid;
    std::optional<std::string> exports;
    if (impl.exportedInterface) exports = impl.exportedInterface->name;
    std::string hello = encodeMessage(helloMessage(exports), impl.options.frameLimit);
    session->writer =
        startThread([connection, session, hello = std::move(hello)] { writerLoop(*connection->impl_, *session, hello); });
    session->standby = startThread([connection, session] { standbyLoop(connection, *session); });
  }

  static void writerLoop(Connection::Impl& impl, Session& s, const std::string& hello) {
    const int fd = s.socket.get();
    // Our hello goes first: `writing` is set from the session's start until it is out, so no
    // other thread writes a frame ahead of it.
    bool alive = writeFrame(fd, hello, impl.options.writeStallLimit);
    {
      std::lock_guard<sync::Mutex> guard(impl.mutex);
      s.writing = false;
    }
    impl.changed.notify_all();
    while (alive) {
      std::string frame;
      {
        std::unique_lock<sync::Mutex> lock(impl.mutex);
        impl.changed.wait(lock, [&] { return s.closing || (s.ready && !s.writing && !s.outbox.empty()); });
        if (s.closing && !s.flushBeforeClose) break;
        impl.changed.wait(lock, [&] { return !s.writing; });
        if (s.outbox.empty()) break;
        frame = std::move(s.outbox.front());
        s.outbox.pop_front();
        s.writing = true;
      }
      alive = writeFrame(fd, frame, impl.options.writeStallLimit);
      {
        std::lock_guard<sync::Mutex> guard(impl.mutex);
        s.writing = false;
      }
      impl.changed.notify_all();
    }
    // Wakes the thread that reads, which ends the session.
    ::shutdown(fd, SHUT_RDWR);
  }

  // Reads what the socket holds and handles the messages in it: until the socket has no more,
  // or a read brought at least one whole message (so that the delivery thread runs it before
  // reading on). False once the session has ended. Only the holder of the session's turn.
  static bool readAvailable(const std::shared_ptr<Connection>& connection, Session& s) {
    auto& impl = *connection->impl_;
    while (true) {
      const ssize_t n = ::recv(s.socket.get(), s.readBuffer.data(), s.readBuffer.size(), MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (n <= 0) {
        if (s.frames.insideFrame()) logger().notice("stream ended inside a frame");
        endSession(connection, s);
        return false;
      }
      s.frames.append(std::string_view(s.readBuffer.data(), static_cast<std::size_t>(n)));
      bool handled = false;
      while (true) {
        auto next = s.frames.next();
        if (std::holds_alternative<FrameReader::NeedMore>(next)) break;
        if (auto* bad = std::get_if<FrameReader::BadHeader>(&next)) {
          const IpcError error(bad->code, "frame length " + std::to_string(bad->length));
          logger().error("closing the connection: " + error.description());
          auto answer = errorAnswerFrame(std::nullopt, ErrorRecord::from(error), impl.options.frameLimit);
          {
            std::lock_guard<sync::Mutex> guard(impl.mutex);
            if (answer) s.outbox.push_back(std::move(*answer));
            s.flushBeforeClose = true;
            s.closing = true;
          }
          impl.changed.notify_all();
          endSession(connection, s);
          return false;
        }
        bool keep = false;
        try {
          keep = handleBody(connection, s, std::get<std::string>(next));
        } catch (...) {
          // Whatever a message does, it ends no more than its own connection.
          logger().error("closing the connection: a message could not be handled: " +
                         sys::describeError(std::current_exception()));
        }
        if (!keep) {
          endSession(connection, s);
          return false;
        }
        handled = true;
      }
      if (handled || static_cast<std::size_t>(n) < s.readBuffer.size()) return true;
    }
  }

  // The stream of `s` has ended: nobody reads it any more; its calls end.
  static void endSession(const std::shared_ptr<Connection>& connection, Session& s) {
    auto& delivery = *connection->impl_->delivery;
    {
      std::lock_guard<std::mutex> guard(delivery.turnMutex);
      s.ended = true;
    }
    delivery.turnChanged.notify_all();
    sessionEnded(connection, s);
  }

  // The stand-by thread of a session: reads while it holds the turn, else watches the delivery
  // thread and takes the turn when that is held up in one task for a while. Ends with the
  // session's stream.
  static void standbyLoop(const std::shared_ptr<Connection>& connection, Session& s) {
    auto& delivery = *connection->impl_->delivery;
    std::unique_lock<std::mutex> lock(delivery.turnMutex);
    bool watching = false;  // lastRunning and lastStarted hold the previous look
    bool lastRunning = false;
    std::uint64_t lastStarted = 0;
    while (!s.ended) {
      if (s.standbyReads) {
        watching = false;
        if (s.turnWanted) {
          s.standbyReads = false;
          s.turnWanted = false;
          lock.unlock();
          delivery.kick();
          lock.lock();
          continue;
        }
        lock.unlock();
        pollfd fds[2] = {{s.socket.get(), POLLIN, 0}, {s.standbyWake.get(), POLLIN, 0}};
        int r;
        do {
          r = ::poll(fds, s.standbyWake ? 2 : 1, -1);
        } while (r < 0 && errno == EINTR);
        if (r > 0 && s.standbyWake && (fds[1].revents & POLLIN)) {
          std::uint64_t count;
          [[maybe_unused]] const ssize_t n = ::read(s.standbyWake.get(), &count, sizeof count);
        }
        if (r > 0 && fds[0].revents != 0) readAvailable(connection, s);
        lock.lock();
        continue;
      }
      const bool running = delivery.running();
      const std::uint64_t started = delivery.started();
      const bool heldUp = watching && running && lastRunning && started == lastStarted;
      if ((heldUp || s.detached) && !s.deliveryReads) {
        s.standbyReads = true;
        continue;
      }
      if (watching && !running && !lastRunning && started == lastStarted && !s.detached) {
        // Nothing ran for a whole period: sleep until a task starts.
        ++delivery.parkedWatchers();
        delivery.turnChanged.wait(lock, [&] { return s.ended || s.detached || delivery.started() != started; });
        --delivery.parkedWatchers();
        watching = false;
        continue;
      }
      watching = true;
      lastRunning = running;
      lastStarted = started;
      delivery.turnChanged.wait_for(lock, kStandbyPeriod, [&] { return s.ended || (s.detached && !s.deliveryReads); });
    }
  }

  // The delivery thread: runs the tasks in order and, while it has none, reads the socket of
  // the current session when it holds the turn (asking the stand-by thread for it when not).
  // Touches the connection only through `weak`: the last reference may drop on this thread.
  static void deliveryLoop(const std::shared_ptr<DeliveryQueue>& delivery, const std::weak_ptr<Connection>& weak) {
    while (true) {
      if (auto task = delivery->tryPop()) {
        delivery->run(*task);
        continue;
      }
      if (delivery->drained()) return;
      std::shared_ptr<Connection> connection = delivery->canPoll() ? weak.lock() : nullptr;
      std::shared_ptr<Session> session;
      if (connection) {
        std::lock_guard<sync::Mutex> guard(connection->impl_->mutex);
        session = connection->impl_->session;
      }
      bool reads = false;
      bool ask = false;
      if (session) {
        std::lock_guard<std::mutex> guard(delivery->turnMutex);
        if (!session->ended && !session->detached) {
          if (!session->standbyReads) {
            session->deliveryReads = true;
            reads = true;
          } else if (!session->turnWanted && session->standbyWake) {
            session->turnWanted = true;
            ask = true;
          }
        }
      }
      if (ask) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(session->standbyWake.get(), &one, sizeof one);
      }
      if (!reads) {
        session.reset();
        connection.reset();
        delivery->waitForWork(-1);
        continue;
      }
      if (delivery->waitForWork(session->socket.get())) readAvailable(connection, *session);
      bool detached;
      {
        std::lock_guard<std::mutex> guard(delivery->turnMutex);
        session->deliveryReads = false;
        detached = session->detached;
      }
      if (detached) delivery->turnChanged.notify_all();
      session.reset();
      connection.reset();
    }
  }

  // False when the connection must close.
  static bool handleBody(const std::shared_ptr<Connection>& connection, Session& s, const std::string& body) {
    auto& impl = *connection->impl_;
    Decoded decoded = decodeMessage(body);
    std::unique_lock<sync::Mutex> lock(impl.mutex);
    if (!s.ready) {
      auto* m = std::get_if<Message>(&decoded);
      if (!m || m->kind != MessageKind::hello) {
        logger().error("first message is not a hello; closing the connection");
        return false;
      }
      if (m->version != kProtocolVersion) {
        logger().error("peer speaks another protocol version; closing the connection");
        return false;
      }
      s.ready = true;
      if (impl.session.get() == &s) {
        if (impl.state == Connection::Impl::State::connecting) impl.state = Connection::Impl::State::connected;
        auto shared = impl.session;
        for (auto& [id, p] : impl.pending) {
          if (!p.session) {
            p.session = shared;
            s.outbox.push_back(std::move(p.frame));
            p.frame.clear();
          }
        }
      }
      lock.unlock();
      impl.changed.notify_all();
      return true;
    }
    // Answers with the layer's error; false when even that cannot be sent. Releases `lock`.
    const auto answerError = [&](std::optional<std::uint64_t> id, IpcErrorCase code, std::string why) {
      lock.unlock();
      auto frame = errorAnswerFrame(id, ErrorRecord::from(IpcError(code, std::move(why))), impl.options.frameLimit);
      if (!frame) return false;
      {
        std::lock_guard<sync::Mutex> guard(impl.mutex);
        s.outbox.push_back(std::move(*frame));
      }
      impl.changed.notify_all();
      return true;
    };
    if (auto* fault = std::get_if<MessageFault>(&decoded)) {
      logger().notice("malformed message: " + fault->reason);
      if (fault->kindIsError) return true;
      return answerError(fault->id, fault->code, fault->reason);
    }
    auto& m = std::get<Message>(decoded);
    switch (m.kind) {
      case MessageKind::hello:
        logger().notice("second hello ignored");
        return true;
      case MessageKind::call: {
        const std::uint64_t id = *m.id;
        if (s.incoming.count(id)) return answerError(id, IpcErrorCase::invalidArguments, "id already in flight");
        if (s.incoming.size() >= impl.options.maximumCallsInFlight) {
          return answerError(id, IpcErrorCase::tooManyCalls, std::to_string(s.incoming.size()) + " calls in flight");
        }
        const Interface::Method* method = impl.exportedInterface ? impl.exportedInterface->find(m.method) : nullptr;
        if (!method || method->oneway || !impl.exportedObject) {
          return answerError(id, IpcErrorCase::unknownMethod, m.method);
        }
        s.incoming.insert(id);
        auto sessionPtr = impl.session.get() == &s ? impl.session : nullptr;
        lock.unlock();
        impl.post([object = impl.exportedObject, name = std::move(m.method), args = std::move(m.args),
                   reply = std::make_shared<Reply>(Reply(connection, sessionPtr, id))]() mutable {
          try {
            object->handleCall(name, args, *reply);
          } catch (...) {
            reply->fail(ErrorRecord::fromException(std::current_exception()));
          }
        });
        return true;
      }
      case MessageKind::oneway: {
        const Interface::Method* method = impl.exportedInterface ? impl.exportedInterface->find(m.method) : nullptr;
        if (!method || !impl.exportedObject) {
          logger().notice("one-way message for unknown method " + m.method + " dropped");
          return true;
        }
        lock.unlock();
        impl.post([object = impl.exportedObject, name = std::move(m.method), args = std::move(m.args)] {
          try {
            object->handleOneway(name, args);
          } catch (...) {
            logger().error("one-way handler of " + name + " failed: " + sys::describeError(std::current_exception()));
          }
        });
        return true;
      }
      case MessageKind::reply:
      case MessageKind::error: {
        if (!m.id) {
          logger().notice("peer reported an error: " + m.error.description);
          return true;
        }
        auto it = impl.pending.find(*m.id);
        if (it == impl.pending.end() || it->second.session.get() != &s) {
          logger().notice("answer for unknown call " + std::to_string(*m.id) + " dropped");
          return true;
        }
        Connection::Impl::Pending p = std::move(it->second);
        impl.pending.erase(it);
        lock.unlock();
        CallOutcome outcome;
        if (m.kind == MessageKind::reply) {
          outcome.result = m.result ? std::move(*m.result) : std::move(p.emptyAnswer);
        } else {
          outcome.result = nullptr;
          outcome.error = std::move(m.error);
        }
        impl.complete(std::move(p.completion), std::move(outcome));
        return true;
      }
    }
    return true;
  }

  static void sessionEnded(const std::shared_ptr<Connection>& connection, Session& s) {
    auto& impl = *connection->impl_;
    std::vector<Completion> failed;
    std::function<void()> handler;
    ErrorRecord record;
    bool reconnect = false;
    {
      std::lock_guard<sync::Mutex> guard(impl.mutex);
      s.closing = true;
      const bool current = impl.session.get() == &s;
      if (current) impl.session.reset();
      if (!current || impl.state == Connection::Impl::State::invalid) {
        // invalidate() already completed everything.
      } else if (impl.appSide && !s.ready) {
        // Closed before the worker's hello: the connect step retries; queued calls wait.
      } else {
        if (impl.appSide) {
          impl.state = Connection::Impl::State::idle;
          handler = impl.interruptionHandler;
          record = interruptedRecord();
          logger().info("connection to " + impl.serviceName + " interrupted");
        } else {
          impl.state = Connection::Impl::State::invalid;
          handler = impl.invalidationHandler;
          record = invalidRecord();
        }
        for (auto it = impl.pending.begin(); it != impl.pending.end();) {
          if (it->second.session.get() == &s || !impl.appSide) {
            failed.push_back(std::move(it->second.completion));
            it = impl.pending.erase(it);
          } else {
            ++it;
          }
        }
        if (impl.appSide && !impl.pending.empty()) {
          // Calls queued meanwhile reconnect.
          impl.state = Connection::Impl::State::connecting;
          reconnect = true;
        }
      }
      // Queued while the lock is held, as invalidate() does: whoever finds the connection ended
      // after this (the exit's stop among them) finds these already queued.
      // Interruption handler first, then the calls it ended; invalidation: calls first.
      if (impl.appSide && handler) impl.post(handler);
      for (auto& c : failed) impl.fail(std::move(c), record);
      if (!impl.appSide && handler) impl.post(handler);
      if (reconnect) {
        std::weak_ptr<Connection> weak = connection;
        impl.post([weak] {
          if (auto c = weak.lock()) connectStep(c);
        });
      }
    }
    impl.changed.notify_all();
  }

  // Connects the app side, starting the worker when nothing listens. Runs on the delivery
  // thread.
  static void connectStep(const std::shared_ptr<Connection>& connection) {
    auto& impl = *connection->impl_;
    std::lock_guard<sync::Mutex> launch(launchMutex());
    const auto deadline = std::chrono::steady_clock::now() + impl.options.launchTimeout;
    std::optional<pid_t> child;
    std::string why;
    try {
      const auto path = socketPathFor(impl.serviceName);
      ensureSocketFolder(path.parent_path());
      const sockaddr_un address = socketAddress(path);
      while (true) {
        {
          std::lock_guard<sync::Mutex> guard(impl.mutex);
          if (impl.state == Connection::Impl::State::invalid) return;
        }
        platform::fs::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd) throw systemCallError("socket", errno);
        int rc;
        do {
          rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        } while (rc != 0 && errno == EINTR);
        if (rc == 0) {
          auto session = std::make_shared<Session>(impl.options.frameLimit);
          session->socket = std::move(fd);
          {
            std::lock_guard<sync::Mutex> guard(impl.mutex);
            if (impl.state == Connection::Impl::State::invalid) return;
            impl.session = session;
          }
          start(connection, impl, session);
          std::unique_lock<sync::Mutex> lock(impl.mutex);
          impl.changed.wait_until(lock, deadline, [&] {
            return session->ready || session->closing || impl.state == Connection::Impl::State::invalid;
          });
          if (session->ready || impl.state == Connection::Impl::State::invalid) return;
          if (!session->closing) {
            why = "the worker did not greet in time";
            break;
          }
          // Closed before the worker's hello: as if nothing listened.
        } else if (errno != ENOENT && errno != ECONNREFUSED) {
          throw systemCallError("connect", errno, path.string());
        }
        if (std::chrono::steady_clock::now() >= deadline) {
          why = "no worker listens at " + path.string();
          break;
        }
        if (!child || launchedWorkerEnded(*child)) {
          child = spawnWorker();
          if (!child) {
            why = "the worker could not be started";
            break;
          }
        }
        std::unique_lock<sync::Mutex> lock(impl.mutex);
        impl.changed.wait_for(lock, std::chrono::milliseconds(20),
                              [&] { return impl.state == Connection::Impl::State::invalid; });
      }
    } catch (const IpcError& e) {
      why = e.description();
    } catch (const std::exception& e) {
      why = e.what();
    }
    logger().error("cannot reach " + impl.serviceName + ": " + why);
    connection->invalidate();
  }

  // At exit: ends the connection and, once it has run what is queued, its delivery thread,
  // which the registry then joins (the connection itself may never be destroyed).
  static void stopForExit(Connection& connection) {
    connection.invalidate();
    connection.impl_->delivery->finish();
    handOver(connection.impl_->deliveryThread);
  }
};

namespace {
std::thread startDelivery(std::shared_ptr<DeliveryQueue> delivery, std::weak_ptr<Connection> connection) {
  return startThread([delivery = std::move(delivery), connection = std::move(connection)] {
    SessionRunner::deliveryLoop(delivery, connection);
  });
}

// The exit's stop step: every live connection is invalidated and its delivery ends once it has
// run what is queued, so that each of its threads ends.
void stopLiveConnections() {
  std::vector<std::shared_ptr<Connection>> live;
  {
    auto& l = liveConnections();
    std::lock_guard<sync::Mutex> guard(l.mutex);
    for (const auto& weak : l.all) {
      if (auto c = weak.lock()) live.push_back(std::move(c));
    }
    l.all.clear();
  }
  for (const auto& c : live) SessionRunner::stopForExit(*c);
}

LiveConnections& liveConnections() {
  static LiveConnections* l = [] {
    auto* made = new LiveConnections();
    setStopAtExit(stopLiveConnections);
    return made;
  }();
  return *l;
}

void addLiveConnection(const std::shared_ptr<Connection>& connection) {
  auto& l = liveConnections();
  std::lock_guard<sync::Mutex> guard(l.mutex);
  std::erase_if(l.all, [](const std::weak_ptr<Connection>& w) { return w.expired(); });
  l.all.push_back(connection);
}
}  // namespace

// ---- Connection: operations ----

void Connection::resume() {
  auto& impl = *impl_;
  bool startConnect = false;
  std::shared_ptr<Session> session;
  {
    std::lock_guard<sync::Mutex> guard(impl.mutex);
    if (impl.resumed) return;
    impl.resumed = true;
    if (impl.state == Impl::State::invalid) {
      // Nothing to read; delivery still runs what invalidate() posted.
    } else if (!impl.appSide) {
      session = std::make_shared<Session>(impl.options.frameLimit);
      session->socket = std::move(impl.adopted);
      impl.session = session;
    } else if (impl.state == Impl::State::connecting) {
      startConnect = true;
    }
  }
  impl.deliveryThread = startDelivery(impl.delivery, weak_from_this());
  if (session) SessionRunner::start(shared_from_this(), impl, session);
  if (startConnect) {
    std::weak_ptr<Connection> weak = shared_from_this();
    impl.post([weak] {
      if (auto c = weak.lock()) SessionRunner::connectStep(c);
    });
  }
}

void Connection::invalidate() {
  auto& impl = *impl_;
  std::shared_ptr<Session> session;
  {
    std::lock_guard<sync::Mutex> guard(impl.mutex);
    if (impl.state == Impl::State::invalid) return;
    impl.state = Impl::State::invalid;
    session = std::move(impl.session);
    if (session) session->closing = true;
    // Queued while the lock is held: a call that finds the connection invalid completes after
    // these and after the handler.
    for (auto& [id, p] : impl.pending) impl.fail(std::move(p.completion), invalidRecord());
    impl.pending.clear();
    impl.adopted.reset();
    if (impl.invalidationHandler) impl.post(impl.invalidationHandler);
  }
  impl.changed.notify_all();
  if (session) {
    ::shutdown(session->socket.get(), SHUT_RDWR);
    // Whoever holds the turn reads the stream to its end; the stand-by thread takes the turn
    // when the delivery thread would not.
    {
      std::lock_guard<std::mutex> guard(impl.delivery->turnMutex);
      session->detached = true;
    }
    impl.delivery->turnChanged.notify_all();
  }
}

void Connection::call(std::string_view method, json::Json args, Completion completion) {
  auto& impl = *impl_;
  json::Json emptyAnswer = nullptr;
  if (remoteInterface_) {
    const Interface::Method* m = remoteInterface_->find(method);
    if (!m || m->oneway) {
      impl.fail(std::move(completion), ErrorRecord::from(IpcError(IpcErrorCase::unknownMethod, std::string(method))));
      return;
    }
    emptyAnswer = m->emptyAnswer;
  }
  std::uint64_t id;
  {
    std::lock_guard<sync::Mutex> guard(impl.mutex);
    if (impl.state == Impl::State::invalid) {
      impl.fail(std::move(completion), invalidRecord());
      return;
    }
    id = impl.nextId++;
  }
  std::string frame;
  try {
    frame = encodeMessage(callMessage(id, method, std::move(args)), impl.options.frameLimit);
  } catch (const IpcError& e) {
    impl.fail(std::move(completion), ErrorRecord::from(e));
    return;
  }
  bool startConnect = false;
  {
    std::unique_lock<sync::Mutex> lock(impl.mutex);
    if (impl.state == Impl::State::invalid) {
      impl.fail(std::move(completion), invalidRecord());
      return;
    }
    if (impl.pending.size() >= impl.options.maximumCallsInFlight) {
      impl.fail(std::move(completion),
                ErrorRecord::from(
                    IpcError(IpcErrorCase::tooManyCalls, std::to_string(impl.pending.size()) + " calls in flight")));
      return;
    }
    Impl::Pending p{std::move(completion), std::move(emptyAnswer), nullptr, {}};
    // Registered before the frame goes out: the answer may arrive at once.
    if (impl.session && impl.session->ready && !impl.session->closing) {
      auto session = impl.session;
      p.session = session;
      impl.pending.emplace(id, std::move(p));
      impl.sendOrQueue(lock, *session, std::move(frame));
      return;
    }
    p.frame = std::move(frame);
    impl.pending.emplace(id, std::move(p));
    if (impl.appSide && impl.state == Impl::State::idle) {
      impl.state = Impl::State::connecting;
      startConnect = impl.resumed;
    }
  }
  impl.changed.notify_all();
  if (startConnect) {
    std::weak_ptr<Connection> weak = shared_from_this();
    impl.post([weak] {
      if (auto c = weak.lock()) SessionRunner::connectStep(c);
    });
  }
}

void Connection::send(std::string_view method, json::Json args) {
  auto& impl = *impl_;
  std::string frame;
  try {
    frame = encodeMessage(onewayMessage(method, std::move(args)), impl.options.frameLimit);
  } catch (const IpcError& e) {
    logger().error("one-way message " + std::string(method) + " not sent: " + e.description());
    return;
  }
  std::unique_lock<sync::Mutex> lock(impl.mutex);
  if (!impl.session || !impl.session->ready || impl.session->closing) {
    logger().notice("one-way message " + std::string(method) + " dropped: not connected");
    return;
  }
  auto session = impl.session;
  impl.sendOrQueue(lock, *session, std::move(frame));
}

}  // namespace platform::ipc
