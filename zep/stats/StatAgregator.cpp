#include "zep/stats/StatAgregator.h"

#include <algorithm>
#include <cmath>

double TSummatorCounter::Result(const TStatAgregator<CUMUL_RELATION_STAT, TSummatorCounter>& a) {
  double busy = 0;
  double elapsed = 0;
  for (std::size_t i = 1; i < a.Count(); ++i) {
    const CUMUL_RELATION_STAT& prev = a.At(i - 1);
    busy += prev.end - prev.start;
    elapsed += a.At(i).start - prev.start;
  }
  if (elapsed <= 0) return 0;
  return std::clamp(busy / elapsed, 0.0, 1.0);
}

double TSummatorCounter::Result(const TStatAgregator<FPS_STAT, TSummatorCounter>& a) {
  std::size_t n = 0;
  double earliest = 0;
  double latest = 0;
  for (std::size_t i = 0; i < a.Count(); ++i) {
    const double t = a.At(i).start;
    if (!(t > 0)) continue;
    earliest = n == 0 ? t : std::min(earliest, t);
    latest = n == 0 ? t : std::max(latest, t);
    ++n;
  }
  if (n < 2 || latest <= earliest) return 0;
  return static_cast<double>(n - 1) / (latest - earliest) * 1000.0;
}

double TMediumCounter::Result(const TStatAgregator<LONG_DOUBLE_STAT, TMediumCounter>& a) {
  if (a.Count() == 0) return 0;
  double sum = 0;
  for (std::size_t i = 0; i < a.Count(); ++i) sum += a.At(i).value;
  return sum / static_cast<double>(a.Count());
}

double TCounterVariance<LONG_DOUBLE_STAT>::Result(const TStatAgregator<LONG_DOUBLE_STAT, TMediumCounter>& a) {
  const std::size_t n = a.Count();
  if (n < 2) return 0;
  const double mean = TMediumCounter::Result(a);
  double squares = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double d = a.At(i).value - mean;
    squares += d * d;
  }
  return std::sqrt(squares / static_cast<double>(n - 1));
}

double COUNTER_MEDIUM::Result(const TStatAgregator<MBPS_DATA, COUNTER_MEDIUM>& a) {
  double bytes = 0;
  double ms = 0;
  for (std::size_t i = 0; i < a.Count(); ++i) {
    bytes += a.At(i).bytes;
    ms += a.At(i).end - a.At(i).start;
  }
  if (ms <= 0) return 0;
  return bytes * 8.0 / 1048576.0 / (ms / 1000.0);
}
