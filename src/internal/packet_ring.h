// A single-producer, single-consumer ring of packets with their monotonic
// timestamps: the control thread copies a packet in, the recorder's writer
// thread takes it out. Putting a packet in never waits, allocates, locks or
// enters the kernel; a full ring drops the packet and counts it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "kalvent_legged_sdk/clock.h"

// Not hidden like the rest of src/internal/: UDP holds a pointer to a
// PacketTap. Everything here is inline and compiled into the library.
namespace KALVENT_LEGGED_SDK {

class PacketRing {
 public:
  // One packet taken out of the ring; valid until pop().
  struct Packet {
    int64_t monotonicNs;
    int length;
    const char* bytes;
  };

  // Room for `slots` packets (rounded up to a power of two) of at most
  // `maxLength` bytes each.
  PacketRing(size_t slots, int maxLength)
      : maxLength_(maxLength),
        slotBytes_(roundUp(kHeaderBytes + static_cast<size_t>(maxLength), kHeaderBytes)),
        mask_(powerOfTwoAtLeast(slots) - 1),
        storage_(std::make_unique<unsigned char[]>(slotBytes_ * (mask_ + 1))) {}

  // Producer: copies the packet in, or counts it as dropped when the ring is
  // full (or the packet longer than a slot). True when it was kept.
  bool push(const char* packet, int length, int64_t monotonicNs) noexcept {
    const uint64_t head = head_.load(std::memory_order_relaxed);
    if (head - cachedTail_ > mask_) cachedTail_ = tail_.load(std::memory_order_acquire);
    if (head - cachedTail_ > mask_ || length < 0 || length > maxLength_) {
      dropped_.store(dropped_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
      return false;
    }
    unsigned char* slot = slotAt(head);
    const int64_t header[2] = {monotonicNs, length};
    std::memcpy(slot, header, sizeof header);
    std::memcpy(slot + kHeaderBytes, packet, static_cast<size_t>(length));
    head_.store(head + 1, std::memory_order_release);
    return true;
  }

  // Consumer: the oldest packet, or false when the ring is empty.
  bool front(Packet& packet) const noexcept {
    const uint64_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load(std::memory_order_acquire)) return false;
    const unsigned char* slot = slotAt(tail);
    int64_t header[2];
    std::memcpy(header, slot, sizeof header);
    packet.monotonicNs = header[0];
    packet.length = static_cast<int>(header[1]);
    packet.bytes = reinterpret_cast<const char*>(slot + kHeaderBytes);
    return true;
  }
  // Consumer: releases the packet front() gave.
  void pop() noexcept {
    tail_.store(tail_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }

  // Any thread.
  uint64_t kept() const noexcept { return head_.load(std::memory_order_relaxed); }
  uint64_t dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }
  size_t capacity() const noexcept { return mask_ + 1; }

 private:
  static constexpr size_t kHeaderBytes = 2 * sizeof(int64_t);
  static constexpr size_t kCacheLine = 64;

  static size_t roundUp(size_t n, size_t step) { return (n + step - 1) / step * step; }
  static size_t powerOfTwoAtLeast(size_t n) {
    size_t p = 1;
    while (p < n) p <<= 1;
    return p;
  }
  unsigned char* slotAt(uint64_t index) const noexcept {
    return storage_.get() + static_cast<size_t>(index & mask_) * slotBytes_;
  }

  // Written by the producer only; the consumer reads head_ on every look
  // anyway, so the fixed figures share its cache line.
  alignas(kCacheLine) std::atomic<uint64_t> head_{0};
  std::atomic<uint64_t> dropped_{0};
  uint64_t cachedTail_ = 0;
  const int maxLength_;
  const size_t slotBytes_;
  const size_t mask_;
  const std::unique_ptr<unsigned char[]> storage_;
  // Written by the consumer only.
  alignas(kCacheLine) std::atomic<uint64_t> tail_{0};
};

// What an endpoint hands its recorder: one ring per direction, since one
// thread sends and another may receive (the three-loop pattern), and each
// ring has a single producer.
struct PacketTap {
  PacketTap(size_t slots, int commandLength, int stateLength)
      : commands(slots, commandLength), states(slots, stateLength) {}
  PacketRing commands;
  PacketRing states;
};

}  // namespace KALVENT_LEGGED_SDK
