// A single-producer, many-consumer broadcaster of values: every subscriber receives, in order,
// the values broadcast after it subscribed, preceded by the latest value broadcast before (or the
// initial value when nothing was broadcast yet).
//
// The Downloader publishes its DownloadState values through it; the per-file download step and
// tests consume them. Streams are never finished by the broadcaster: consumers stop on a
// terminal value; a stream ends only when the broadcaster is destroyed. All members are thread-safe; no lock is held
// while a channel is touched from the consumer side or while the initial-value provider runs.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

#include "platform/sync/channel.hpp"
#include "platform/sync/uuid.hpp"

namespace noxtal {

template <class T>
class Broadcaster {
  struct Shared {
    std::mutex m;
    std::optional<T> latest;                                                                  // guarded by m
    std::map<platform::sync::Uuid, std::shared_ptr<platform::sync::Channel<T>>> subscribers;  // guarded by m
  };

 public:
  // A subscriber's end of the stream. Move-only; destroying it unsubscribes.
  class Subscription {
   public:
    Subscription() = default;
    Subscription(Subscription&&) noexcept = default;
    Subscription& operator=(Subscription&& other) noexcept {
      if (this != &other) {
        reset();
        channel_ = std::move(other.channel_);
      }
      return *this;
    }
    ~Subscription() { reset(); }

    // Waits for the next value. Absent once the broadcaster is gone and every queued value was
    // read, and for an empty (moved-from) subscription. Throws
    // platform::sync::CancellationError when `token` is stopped while waiting.
    std::optional<T> next(std::stop_token token = {}) {
      if (!channel_) return std::nullopt;
      return channel_->pop(token);
    }
    // Values waiting to be read.
    std::size_t pending() const { return channel_ ? channel_->bufferedCount() : 0; }

   private:
    friend class Broadcaster;
    explicit Subscription(std::shared_ptr<platform::sync::Channel<T>> channel) : channel_(std::move(channel)) {}
    void reset() {
      if (channel_) channel_->cancel();  // runs the termination handler, which unsubscribes
      channel_.reset();
    }
    std::shared_ptr<platform::sync::Channel<T>> channel_;
  };

  // `initialState` supplies the first value of subscribers that join before any broadcast; it
  // may return nothing. It is called without any lock held.
  explicit Broadcaster(std::function<std::optional<T>()> initialState)
      : initialState_(std::move(initialState)), shared_(std::make_shared<Shared>()) {}
  Broadcaster(const Broadcaster&) = delete;
  Broadcaster& operator=(const Broadcaster&) = delete;
  // Ends every subscriber's stream (after the values already queued).
  ~Broadcaster() {
    std::map<platform::sync::Uuid, std::shared_ptr<platform::sync::Channel<T>>> subscribers;
    {
      std::lock_guard<std::mutex> guard(shared_->m);
      subscribers.swap(shared_->subscribers);
    }
    for (auto& [id, channel] : subscribers) channel->finish();
  }

  // Stores `value` as the latest and hands it to every subscriber (unbounded buffers).
  void broadcast(const T& value) {
    std::lock_guard<std::mutex> guard(shared_->m);
    shared_->latest = value;
    for (auto& [id, channel] : shared_->subscribers) channel->push(value);
  }

  // A new subscription whose first value (the latest broadcast, else the initial state) is
  // already queued when this returns.
  Subscription subscribe() {
    auto channel = std::make_shared<platform::sync::Channel<T>>();
    const platform::sync::Uuid id = platform::sync::Uuid::random();
    std::weak_ptr<Shared> weak = shared_;
    channel->onTermination([weak, id](typename platform::sync::Channel<T>::Termination) {
      if (auto shared = weak.lock()) {
        std::shared_ptr<platform::sync::Channel<T>> removed;  // released after the lock
        std::lock_guard<std::mutex> guard(shared->m);
        if (auto it = shared->subscribers.find(id); it != shared->subscribers.end()) {
          removed = std::move(it->second);
          shared->subscribers.erase(it);
        }
      }
    });
    std::optional<T> first;
    {
      std::lock_guard<std::mutex> guard(shared_->m);
      first = shared_->latest;
    }
    if (!first && initialState_) first = initialState_();
    {
      std::lock_guard<std::mutex> guard(shared_->m);
      // A broadcast between the two sections is newer than `first`; deliver that instead.
      if (shared_->latest) first = shared_->latest;
      if (first) channel->push(*first);
      shared_->subscribers.emplace(id, channel);
    }
    return Subscription(std::move(channel));
  }

  // Forgets the latest value, so that new subscribers start from the initial state again.
  void resetLatest() {
    std::lock_guard<std::mutex> guard(shared_->m);
    shared_->latest.reset();
  }

  std::optional<T> latest() const {
    std::lock_guard<std::mutex> guard(shared_->m);
    return shared_->latest;
  }

  std::size_t subscriberCount() const {
    std::lock_guard<std::mutex> guard(shared_->m);
    return shared_->subscribers.size();
  }

 private:
  std::function<std::optional<T>()> initialState_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace noxtal
