#pragma once
// A one-word lock for critical sections of a few instructions (a statistics cell).
// Taken by exchange; a contended taker pauses 1, 2, 4 ... 64 times between tries,
// so a reader never parks its thread behind a producer.
#include <atomic>
#include <cstdint>

namespace stats {

class SpinLock {
 public:
  void lock() noexcept {
    int backoff = 1;
    while (word_.exchange(1, std::memory_order_acquire) != 0) {
      for (int i = 0; i < backoff; ++i) Pause();
      if (backoff < kMaxBackoff) backoff *= 2;
    }
  }
  void unlock() noexcept { word_.store(0, std::memory_order_release); }

 private:
  static constexpr int kMaxBackoff = 64;

  static void Pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
  }

  std::atomic<uint32_t> word_{0};  // 0 free, 1 held
};

}  // namespace stats
