// The monotonic clock behind HPCWrapper: CLOCK_MONOTONIC in nanoseconds.
#include <cerrno>
#include <ctime>

#include "platform/HPCWrapper.h"
#include "sov/base/BaseException.h"

namespace {
constexpr int64_t kNsPerSecond = 1'000'000'000;
}  // namespace

int64_t HPCWrapper::Frequency() {
  static const int64_t frequency = [] {
    timespec res{};
    if (::clock_getres(CLOCK_MONOTONIC, &res) != 0) throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
    return kNsPerSecond;
  }();
  return frequency;
}

int64_t HPCWrapper::RawCounter() {
  timespec ts{};
  if (::clock_gettime(CLOCK_MONOTONIC, &ts) != 0) throw ErrCodeException(errno, ZEP_SOURCE, __LINE__);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}
