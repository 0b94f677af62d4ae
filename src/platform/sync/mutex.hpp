// The project's mutual-exclusion lock and a value guarded by it.
//
// Mutex is a plain, non-recursive lock. Locked<T> keeps a value that several threads share:
// get/set copy the whole value under the lock; modify() performs a compound update as one
// critical section and commits it only when the body returns normally.
#pragma once

#include <mutex>
#include <type_traits>
#include <utility>

namespace platform::sync {

// Non-recursive lock. The thread that locked it must unlock it.
class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }
  bool try_lock() { return m_.try_lock(); }

  // Runs `body` with the lock held and returns its result. The lock is released whether
  // `body` returns or throws; the exception passes through unchanged. `body` must not take
  // this lock again.
  template <class F>
  decltype(auto) withLock(F&& body) {
    std::lock_guard<std::mutex> guard(m_);
    return std::forward<F>(body)();
  }

 private:
  std::mutex m_;
};

// A value of type T guarded by its own lock. Thread-safe. Never call back into the same
// Locked<T> from inside modify()/withLock() bodies.
template <class T>
class Locked {
 public:
  Locked() = default;
  explicit Locked(T value) : value_(std::move(value)) {}
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

  // A copy of the value.
  T get() const {
    std::lock_guard<std::mutex> guard(m_);
    return value_;
  }

  void set(T value) {
    std::lock_guard<std::mutex> guard(m_);
    value_ = std::move(value);
  }

  // Swaps in `value` and returns the previous one.
  T exchange(T value) {
    std::lock_guard<std::mutex> guard(m_);
    std::swap(value_, value);
    return value;
  }

  // Atomic compound update: the body receives a working copy of the value while the lock is
  // held for the whole call; the copy replaces the value only when the body returns normally,
  // so a throwing body leaves the value as it was. Returns a copy of the body's result (never a
  // reference: one into the working copy would dangle or reach the value outside the lock).
  template <class F>
  auto modify(F&& body) -> std::remove_cvref_t<std::invoke_result_t<F, T&>> {
    std::lock_guard<std::mutex> guard(m_);
    T work = value_;
    if constexpr (std::is_void_v<std::invoke_result_t<F, T&>>) {
      std::forward<F>(body)(work);
      value_ = std::move(work);
    } else {
      std::remove_cvref_t<std::invoke_result_t<F, T&>> result = std::forward<F>(body)(work);
      value_ = std::move(work);
      return result;
    }
  }

  // Direct access under the lock, without the copy of modify(): the body changes the value in
  // place, so a body that throws half-way leaves its partial change. Use for bodies that cannot
  // throw after they start changing the value (appending one element, bumping a counter).
  template <class F>
  decltype(auto) withLock(F&& body) {
    std::lock_guard<std::mutex> guard(m_);
    return std::forward<F>(body)(value_);
  }

  template <class F>
  decltype(auto) withLock(F&& body) const {
    std::lock_guard<std::mutex> guard(m_);
    return std::forward<F>(body)(static_cast<const T&>(value_));
  }

 private:
  mutable std::mutex m_;
  T value_{};  // guarded by m_
};

}  // namespace platform::sync
