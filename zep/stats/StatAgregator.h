#pragma once
// Windowed aggregators: a ring of the last N samples and one result over them. The
// sample kind S says what a sample holds, the counter C how the window is reduced.
// Every sample is 32 bytes and starts with a start and an end time in milliseconds.
// Aggregators are not locked: each belongs to one thread, or sits behind its owner's lock.
#include <cstddef>
#include <vector>

// (start, end) of one busy stretch; the result is the busy share of the window.
struct CUMUL_RELATION_STAT {
  double start = 0;
  double end = 0;
  double reserved[2] = {};
};
// One event at `start` (> 0); the result is the event rate per second.
struct FPS_STAT {
  double start = 0;
  double end = 0;
  double reserved[2] = {};
};
// One measurement; the result is the mean (and, with a variance counter, the deviation).
struct LONG_DOUBLE_STAT {
  double start = 0;
  double end = 0;
  double value = 0;
  double reserved = 0;
};
// Bytes received over [start, end]; the result is megabits (2^20 bits) per second.
struct MBPS_DATA {
  double start = 0;
  double end = 0;
  double bytes = 0;
  double reserved = 0;
};
static_assert(sizeof(CUMUL_RELATION_STAT) == 32 && sizeof(FPS_STAT) == 32 && sizeof(LONG_DOUBLE_STAT) == 32 &&
              sizeof(MBPS_DATA) == 32);

template <class S, class C>
class TStatAgregator;

// Sums over the window: busy shares and event rates.
struct TSummatorCounter {
  // Σ(end − start) over Σ(start − previous start), each sample's busy time paired with
  // the stretch up to the next start, so a share never exceeds 1 for samples that do not
  // overlap; clamped to [0, 1]. 0 while fewer than two samples or no time has passed.
  static double Result(const TStatAgregator<CUMUL_RELATION_STAT, TSummatorCounter>& a);
  // With n samples whose time is > 0: (n − 1) / (latest − earliest) × 1000.
  // 0 with fewer than two such samples or when they share one time.
  static double Result(const TStatAgregator<FPS_STAT, TSummatorCounter>& a);
};

// The mean of the window's values; 0 for an empty window.
struct TMediumCounter {
  static double Result(const TStatAgregator<LONG_DOUBLE_STAT, TMediumCounter>& a);
};

// Bytes over time: Σbytes × 8 / 2^20 / (Σ(end − start) / 1000); 0 while no time is covered.
struct COUNTER_MEDIUM {
  static double Result(const TStatAgregator<MBPS_DATA, COUNTER_MEDIUM>& a);
};

// Sample standard deviation (n − 1 in the denominator); 0 for fewer than two samples.
template <class S>
struct TCounterVariance;
template <>
struct TCounterVariance<LONG_DOUBLE_STAT> {
  static double Result(const TStatAgregator<LONG_DOUBLE_STAT, TMediumCounter>& a);
};

template <class S, class C>
class TStatAgregator {
 public:
  // A window below 1 keeps one sample.
  explicit TStatAgregator(std::size_t window) : ring_(window < 1 ? 1 : window) {}
  virtual ~TStatAgregator() = default;

  void Add(const S& sample) {
    ring_[write_] = sample;
    write_ = (write_ + 1) % ring_.size();
    if (fill_ < ring_.size()) ++fill_;
  }
  void Clear() { write_ = fill_ = 0; }

  std::size_t Window() const { return ring_.size(); }
  std::size_t Count() const { return fill_; }
  // The i-th sample held, oldest first (i < Count()).
  const S& At(std::size_t i) const { return ring_[(write_ + ring_.size() - fill_ + i) % ring_.size()]; }

  double Result() const { return C::Result(*this); }

 private:
  std::vector<S> ring_;
  std::size_t write_ = 0;  // next slot to fill
  std::size_t fill_ = 0;   // samples held
};

// The same window with a second result, the spread of its values.
template <class S, class C, class V>
class TStatAgregatorVariance : public TStatAgregator<S, C> {
 public:
  using TStatAgregator<S, C>::TStatAgregator;
  double Deviation() const { return V::Result(*this); }
};

using BusyShareAgregator = TStatAgregator<CUMUL_RELATION_STAT, TSummatorCounter>;
using RateAgregator = TStatAgregator<FPS_STAT, TSummatorCounter>;
using MeanAgregator = TStatAgregator<LONG_DOUBLE_STAT, TMediumCounter>;
using MeanDeviationAgregator =
    TStatAgregatorVariance<LONG_DOUBLE_STAT, TMediumCounter, TCounterVariance<LONG_DOUBLE_STAT>>;
using MbpsAgregator = TStatAgregator<MBPS_DATA, COUNTER_MEDIUM>;
