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
