#pragma once
// The process-wide high-resolution clock (CLOCK_MONOTONIC, counted in nanoseconds)
// and a small elapsed-time counter on it.
#include <cstdint>

class HPCWrapper {
 public:
  // Counter ticks per second; read once and cached.
  static int64_t Frequency();
  // The counter itself. Failures throw ErrCodeException with errno.
  static int64_t RawCounter();
  // Microseconds, rounded to nearest.
  static int64_t NowUs();
  // Milliseconds: NowUs() / 1000 truncated, so it never runs ahead of NowUs().
  static int64_t NowMs();

  // The conversions NowUs and NowMs use, exposed for callers holding raw counters.
  static int64_t CounterToUs(int64_t counter);
  static int64_t UsToMs(int64_t us) { return us / 1000; }
};

class CHighPrecTimeCounter {
 public:
  // Starts counting at construction.
  CHighPrecTimeCounter();
  virtual ~CHighPrecTimeCounter();

  void Start();
  // Milliseconds since Start (or construction).
  double ElapsedMs();
  // The counter read by the last Start or ElapsedMs.
  int64_t LastCounter() const { return last_; }

 private:
  double ticksPerMs_;
  int64_t start_ = 0;
  int64_t last_ = 0;
};
