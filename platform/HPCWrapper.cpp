#include "platform/HPCWrapper.h"

#include "sov/base/BaseException.h"

namespace {
constexpr int64_t kNsPerUs = 1000;
}  // namespace

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
