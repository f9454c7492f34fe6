#include "sov/queue/HPCWrapper.h"

#include <cerrno>
#include <ctime>

#include "sov/base/BaseException.h"

namespace {
constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr int64_t kNsPerUs = 1000;
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

// Integer arithmetic keeps the rounding exact however long the machine has been up
// (a double would drop nanoseconds after about 104 days); halves round up, as the
// counter is never negative.
int64_t HPCWrapper::CounterToUs(int64_t counter) {
  return counter >= 0 ? (counter + kNsPerUs / 2) / kNsPerUs : -((-counter + kNsPerUs / 2) / kNsPerUs);
}

int64_t HPCWrapper::NowUs() {
  return CounterToUs(RawCounter());
}

int64_t HPCWrapper::NowMs() {
  return UsToMs(NowUs());
}

CHighPrecTimeCounter::CHighPrecTimeCounter()
    : ticksPerMs_(static_cast<double>(HPCWrapper::Frequency()) / 1000.0) {
  Start();
}

CHighPrecTimeCounter::~CHighPrecTimeCounter() = default;

void CHighPrecTimeCounter::Start() {
  start_ = HPCWrapper::RawCounter();
  last_ = start_;
}

double CHighPrecTimeCounter::ElapsedMs() {
  last_ = HPCWrapper::RawCounter();
  return static_cast<double>(last_ - start_) / ticksPerMs_;
}
