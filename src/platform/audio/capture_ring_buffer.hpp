// A lock-free single-producer, single-consumer ring of float samples: hands captured frames
// from the audio backend's real-time delivery thread to the capture engine's processing thread.
//
// The producer (one thread) calls write(); the consumer (one other thread) calls read() and
// readable(). Neither side blocks, locks or allocates; the storage is allocated once at
// construction.
#pragma once

#include <atomic>
#include <cstddef>
#include <vector>

namespace platform::audio {

class CaptureRingBuffer {
 public:
  // Room for at least `minimumCapacity` samples (rounded up to a power of two, at least 2).
  explicit CaptureRingBuffer(std::size_t minimumCapacity);
  CaptureRingBuffer(const CaptureRingBuffer&) = delete;
  CaptureRingBuffer& operator=(const CaptureRingBuffer&) = delete;

  std::size_t capacity() const { return storage_.size(); }

  // Producer: appends the first min(count, free room rounded down to a multiple of `unit`)
  // samples of `samples` and returns how many were taken (a multiple of `unit` when unit >= 1).
  std::size_t write(const float* samples, std::size_t count, std::size_t unit = 1) noexcept;

  // Consumer: samples ready to read.
  std::size_t readable() const noexcept;
  // Consumer: moves up to `count` samples into `out` and returns how many were moved.
  std::size_t read(float* out, std::size_t count) noexcept;

 private:
  std::vector<float> storage_;
  std::size_t mask_;
  std::atomic<std::size_t> head_{0};  // total samples written; changed by the producer only
  std::atomic<std::size_t> tail_{0};  // total samples read; changed by the consumer only
};

}  // namespace platform::audio
