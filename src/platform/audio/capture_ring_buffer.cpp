#include "platform/audio/capture_ring_buffer.hpp"

#include <algorithm>
#include <bit>

namespace platform::audio {

CaptureRingBuffer::CaptureRingBuffer(std::size_t minimumCapacity)
    : storage_(std::bit_ceil(std::max<std::size_t>(minimumCapacity, 2))), mask_(storage_.size() - 1) {}

std::size_t CaptureRingBuffer::write(const float* samples, std::size_t count, std::size_t unit) noexcept {
  const std::size_t head = head_.load(std::memory_order_relaxed);
  const std::size_t tail = tail_.load(std::memory_order_acquire);
  std::size_t n = std::min(count, storage_.size() - (head - tail));
  if (unit > 1) n -= n % unit;
  const std::size_t start = head & mask_;
  const std::size_t first = std::min(n, storage_.size() - start);
  std::copy_n(samples, first, storage_.data() + start);
  std::copy_n(samples + first, n - first, storage_.data());
  head_.store(head + n, std::memory_order_release);
  return n;
}

std::size_t CaptureRingBuffer::readable() const noexcept {
  return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed);
}

std::size_t CaptureRingBuffer::read(float* out, std::size_t count) noexcept {
  const std::size_t tail = tail_.load(std::memory_order_relaxed);
  const std::size_t head = head_.load(std::memory_order_acquire);
  const std::size_t n = std::min(count, head - tail);
  const std::size_t start = tail & mask_;
  const std::size_t first = std::min(n, storage_.size() - start);
  std::copy_n(storage_.data() + start, first, out);
  std::copy_n(storage_.data(), n - first, out + first);
  tail_.store(tail + n, std::memory_order_release);
  return n;
}

}  // namespace platform::audio
