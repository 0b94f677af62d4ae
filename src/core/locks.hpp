// Locks and locked-value wrappers shared by all libraries: a plain lock (UnfairLock), a value
// guarded by its own lock that reads and writes as the bare value in JSON (PropertyLock), a
// value whose copies share one guarded state (Protected), a weak reference that may be handed
// to another thread (WeakSendableWrapper), and the processor count used to size worker pools.
//
// Compound updates go through modify(), which holds the lock for the whole update and commits
// only when the body returns normally; there is deliberately no unlocked read-change-write path,
// so two threads appending to one wrapped list never lose an element. Bodies passed to
// withLock()/modify() must not call back into the same wrapper (the locks are not recursive).
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

#include "platform/json/json.hpp"
#include "platform/sync/mutex.hpp"

namespace noxtal {

// A non-recursive mutual-exclusion lock. Not copyable. Thread-safe.
class UnfairLock {
 public:
  UnfairLock() = default;
  UnfairLock(const UnfairLock&) = delete;
  UnfairLock& operator=(const UnfairLock&) = delete;

  // Runs `body` with the lock held and returns its result; the lock is released whether `body`
  // returns or throws, and an exception passes through unchanged.
  template <class F>
  decltype(auto) withLock(F&& body) {
    return mutex_.withLock(std::forward<F>(body));
  }

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool try_lock() { return mutex_.try_lock(); }

 private:
  platform::sync::Mutex mutex_;
};

namespace detail {

// Runs `body` on a working copy of `value` and commits the copy only when `body` returns
// normally. The caller holds the lock guarding `value`. The body's result is returned by value
// (a reference into the working copy would dangle once the copy is committed).
template <class T, class F>
auto modifyCommitting(T& value, F&& body) -> std::remove_cvref_t<std::invoke_result_t<F, T&>> {
  T work = value;
  if constexpr (std::is_void_v<std::invoke_result_t<F, T&>>) {
    std::forward<F>(body)(work);
    value = std::move(work);
  } else {
    std::remove_cvref_t<std::invoke_result_t<F, T&>> result = std::forward<F>(body)(work);
    value = std::move(work);
    return result;
  }
}

}  // namespace detail

// One value guarded by its own UnfairLock. Every member is thread-safe. A copy takes a snapshot
// of the value under the source's lock and gets a lock of its own. In JSON a PropertyLock<T> is
// written and read exactly as a T (see to_json/from_json below).
template <class T>
class PropertyLock {
 public:
  PropertyLock() : value_() {}
  explicit PropertyLock(T value) : value_(std::move(value)) {}
  PropertyLock(const PropertyLock& other) : value_(other.get()) {}
  PropertyLock& operator=(const PropertyLock& other) {
    if (this != &other) set(other.get());
    return *this;
  }
  PropertyLock& operator=(T value) {
    set(std::move(value));
    return *this;
  }

  // A copy of the value.
  T get() const {
    return lock_.withLock([&] { return value_; });
  }

  // Replaces the value.
  void set(T value) {
    lock_.withLock([&] { value_ = std::move(value); });
  }

  // Atomic compound update: `body(T&)` runs on a working copy with the lock held for the whole
  // call, and the copy replaces the value only when `body` returns normally (a throwing body
  // leaves the value unchanged and its exception passes through). Returns a copy of the body's
  // result.
  template <class F>
  auto modify(F&& body) -> std::remove_cvref_t<std::invoke_result_t<F, T&>> {
    return lock_.withLock([&] { return detail::modifyCommitting(value_, std::forward<F>(body)); });
  }

  // Read-only access without a copy: `body(const T&)` runs with the lock held.
  template <class F>
  decltype(auto) withLock(F&& body) const {
    return lock_.withLock([&]() -> decltype(auto) { return std::forward<F>(body)(static_cast<const T&>(value_)); });
  }

 private:
  mutable UnfairLock lock_;
  T value_;  // guarded by lock_
};

// JSON transparency: a PropertyLock<T> encodes as its value alone and decodes from a bare T.
// A float is written in its shortest round-trip form; a non-finite float, or a value that
// cannot be decoded as T, throws platform::json::JsonError.
template <class T>
void to_json(platform::json::Json& json, const PropertyLock<T>& wrapper) {
  wrapper.withLock([&](const T& value) {
    if constexpr (std::is_same_v<T, float>) {
      json = platform::json::fromFloat(value);
    } else {
      json = value;
      platform::json::checkFinite(json);
    }
  });
}

template <class T>
void from_json(const platform::json::Json& json, PropertyLock<T>& wrapper) {
  try {
    wrapper = PropertyLock<T>(json.template get<T>());
  } catch (const nlohmann::json::exception& e) {
    throw platform::json::JsonError(std::string("cannot decode wrapped value: ") + e.what());
  }
}

// A value whose copies share one guarded state: copying a Protected<T> copies a reference to the
// same lock and value (the way each model wrapper shares its loaded model). Default-constructed
// it holds T{} (an empty optional for an optional model). Every member is thread-safe.
template <class T>
class Protected {
 public:
  Protected() : state_(std::make_shared<platform::sync::Locked<T>>()) {}
  explicit Protected(T value) : state_(std::make_shared<platform::sync::Locked<T>>(std::move(value))) {}
  // Copies (and moves, which copy) share the state, so no Protected is ever left empty.
  Protected(const Protected&) = default;
  Protected& operator=(const Protected&) = default;

  // A copy of the value.
  T get() const { return state_->get(); }
  // Replaces the value (the old one is destroyed under the lock).
  void set(T value) { state_->set(std::move(value)); }
  // Swaps in `value` and returns the previous one.
  T exchange(T value) { return state_->exchange(std::move(value)); }

  // Atomic compound update with commit-on-success, as PropertyLock::modify (the result is a
  // copy).
  template <class F>
  auto modify(F&& body) -> std::remove_cvref_t<std::invoke_result_t<F, T&>> {
    return state_->modify(std::forward<F>(body));
  }

  // Read-only access without a copy: `body(const T&)` runs with the lock held.
  template <class F>
  decltype(auto) withLock(F&& body) const {
    return static_cast<const platform::sync::Locked<T>&>(*state_).withLock(std::forward<F>(body));
  }

  // True when both wrappers share one state.
  bool sharesStateWith(const Protected& other) const { return state_ == other.state_; }

 private:
  std::shared_ptr<platform::sync::Locked<T>> state_;  // never null
};

// Holds an object weakly so that work running on another thread can reach its owner without
// keeping it alive. Every member is thread-safe.
template <class T>
class WeakSendableWrapper {
 public:
  WeakSendableWrapper() = default;
  explicit WeakSendableWrapper(const std::shared_ptr<T>& value) : value_(std::weak_ptr<T>(value)) {}
  WeakSendableWrapper(const WeakSendableWrapper&) = delete;
  WeakSendableWrapper& operator=(const WeakSendableWrapper&) = delete;

  // A strong reference, or null once the object has been freed.
  std::shared_ptr<T> value() const {
    return value_.withLock([](const std::weak_ptr<T>& weak) { return weak.lock(); });
  }

  // Replaces the weak reference.
  void setValue(const std::shared_ptr<T>& value) { value_.set(std::weak_ptr<T>(value)); }

  // Atomic update: `body(std::shared_ptr<T>&)` gets a strong reference (null when gone) and may
  // replace it; the result is stored back weakly.
  template <class F>
  void modify(F&& body) {
    value_.withLock([&](std::weak_ptr<T>& weak) {
      std::shared_ptr<T> strong = weak.lock();
      std::forward<F>(body)(strong);
      weak = strong;
    });
  }

 private:
  platform::sync::Locked<std::weak_ptr<T>> value_;
};

struct ConcurrencyUtilities {
  // Processors this process may run on, read afresh on every call; at least 1. Thread-safe.
  static int activeProcessorCount();
};

}  // namespace noxtal
