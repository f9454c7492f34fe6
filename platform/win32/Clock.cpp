// The monotonic clock behind HPCWrapper: QueryPerformanceCounter, converted to nanoseconds so
// that the counter keeps the unit the rest of the program counts in.
#include <windows.h>

#include "platform/HPCWrapper.h"

namespace {
constexpr int64_t kNsPerSecond = 1'000'000'000;

int64_t CounterFrequency() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f{};
    ::QueryPerformanceFrequency(&f);  // never fails on Windows XP and later
    return static_cast<int64_t>(f.QuadPart);
  }();
  return frequency;
}
}  // namespace

int64_t HPCWrapper::Frequency() {
  return kNsPerSecond;
}

int64_t HPCWrapper::RawCounter() {
  LARGE_INTEGER c{};
  ::QueryPerformanceCounter(&c);
  const int64_t f = CounterFrequency();
  // Whole seconds and the rest apart, so the product cannot overflow however long the machine runs.
  const int64_t ticks = c.QuadPart;
  return ticks / f * kNsPerSecond + ticks % f * kNsPerSecond / f;
}
