#pragma once
// The session's busy-share windows that several threads feed: six aggregators of 120
// samples, each behind its own binary semaphore, on one millisecond clock. A thread marks
// the start of a busy stretch (Begin) and its end (End); the render thread reads all six
// shares once a second (Snapshot).
#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/HPCWrapper.h"
#include "platform/Semaphore.h"
#include "zep/stats/StatAgregator.h"

class CStatStorage {
 public:
  static constexpr std::size_t kAgregators = 6;
  static constexpr std::size_t kWindow = 120;
  static constexpr std::size_t kRenderLoop = 4;  // the presentation loop's busy share

  CStatStorage();

  std::size_t Count() const { return kAgregators; }
  // Milliseconds since construction.
  double NowMs() const;

  // Indices at or beyond Count() are ignored.
  void Add(std::size_t index, double startMs, double endMs);
  // Remembers now as the pending start of aggregator `index`.
  void Begin(std::size_t index);
  // Adds (pending start, now); nothing when no Begin preceded it.
  void End(std::size_t index);

  // The current busy share of each aggregator, in order.
  std::array<double, kAgregators> Snapshot();

 private:
  struct Slot {
    Slot() : guard(1, 1), window(kWindow) {}
    platform::Semaphore guard;  // guards window and pendingStart
    BusyShareAgregator window;
    double pendingStart = -1;  // < 0: no stretch open
  };

  // Holds a slot's semaphore for one scope.
  class Hold {
   public:
    explicit Hold(platform::Semaphore& s);
    ~Hold() { s_.Release(1); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

   private:
    platform::Semaphore& s_;
  };

  const int64_t startUs_;  // HPCWrapper::NowUs() at construction: the clock's origin
  std::array<Slot, kAgregators> slots_;
};

// The "Render loop" cell's value: the shares' parts of their total in whole percent, seven bits
// each, share i in bits 7i..7i+6, at most eight shares. All zero while nothing was busy.
template <std::size_t N>
uint64_t PackBusyShares(const std::array<double, N>& shares) {
  static_assert(N <= 8);
  double sum = 0;
  for (double s : shares) sum += s < 0 ? -s : s;
  uint64_t packed = 0;
  if (!(sum > 0)) return packed;
  for (std::size_t i = 0; i < N; ++i) {
    const double part = (shares[i] < 0 ? -shares[i] : shares[i]) / sum * 100;
    packed |= (static_cast<uint64_t>(part) & 0x7f) << (7 * i);
  }
  return packed;
}
