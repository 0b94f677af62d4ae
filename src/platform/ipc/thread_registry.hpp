// The threads of the connections (internal to platform::ipc): every thread this layer starts
// goes through here, so that none is still running when the process exits.
//
// A thread that drops the last reference to the object owning it cannot join itself. Instead of
// detaching (a detached thread can outlive main and touch what the exit destroys), it hands
// itself over with joinOrHandOff(); the registry joins it once it has ended, when the next
// thread starts or at exit.
//
// At exit (the destructor of a static made together with the registry, at the first
// connection, so it runs before the log state and everything else made earlier is destroyed)
// the registry runs the stop step installed with setStopAtExit(): connection.cpp invalidates
// every live connection and ends its delivery once it has run what is queued (a call made on one
// after that is dropped). Then it waits until every thread started here has ended, at most
// kExitPatience, and joins them. The registry's own state is never destroyed, so destructors
// that run later still reach it.
//
// Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <thread>

namespace platform::ipc {

inline constexpr std::chrono::seconds kExitPatience{10};

// Starts `body` on a new counted thread. The captures of `body` are destroyed on that thread
// before it counts itself ended. What `body` throws is logged and ends only that thread.
std::thread startThread(std::function<void()> body);

// Joins `t` when it is joinable and not the calling thread; the calling thread hands itself
// over instead and `t` is left empty.
void joinOrHandOff(std::thread& t);

// Hands `t` (if joinable) to the registry, which joins it once it has ended; `t` is left empty.
// For a thread whose owner stays alive but will not join it (stopped at exit).
void handOver(std::thread& t);

// Installs the step that makes every thread of this layer end; it runs once, at exit. Makes the
// registry (and its exit step) now, so call it before the first thread starts.
void setStopAtExit(std::function<void()> stop);

struct ThreadCounts {
  std::size_t running = 0;       // started here and not ended
  std::size_t awaitingJoin = 0;  // handed over and not joined
};
// Joins the handed-over threads that have ended, then counts.
ThreadCounts threadCounts();

// Runs the exit step now: the stop step, then the wait for every thread (except the calling
// one) and the joins. True when all ended within `patience`. The exit runs it again.
bool stopAndJoinThreads(std::chrono::milliseconds patience);

}  // namespace platform::ipc
