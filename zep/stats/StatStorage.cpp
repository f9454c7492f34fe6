#include "zep/stats/StatStorage.h"

#include "platform/Wait.h"

CStatStorage::Hold::Hold(platform::Semaphore& s) : s_(s) {
  // Held for a few stores only, so the fast path nearly always succeeds.
  if (!s_.TryAcquire()) platform::WaitAny({&s_}, platform::kInfinite);
}

CStatStorage::CStatStorage() : startUs_(HPCWrapper::NowUs()) {}

double CStatStorage::NowMs() const {
  return static_cast<double>(HPCWrapper::NowUs() - startUs_) / 1000.0;
}

void CStatStorage::Add(std::size_t index, double startMs, double endMs) {
  if (index >= kAgregators) return;
  Slot& s = slots_[index];
  Hold hold(s.guard);
  s.window.Add({startMs, endMs});
}

void CStatStorage::Begin(std::size_t index) {
  if (index >= kAgregators) return;
  const double now = NowMs();
  Slot& s = slots_[index];
  Hold hold(s.guard);
  s.pendingStart = now;
}

void CStatStorage::End(std::size_t index) {
  if (index >= kAgregators) return;
  const double now = NowMs();
  Slot& s = slots_[index];
  Hold hold(s.guard);
  if (s.pendingStart < 0) return;
  s.window.Add({s.pendingStart, now});
  s.pendingStart = -1;
}

std::array<double, CStatStorage::kAgregators> CStatStorage::Snapshot() {
  std::array<double, kAgregators> shares{};
  for (std::size_t i = 0; i < kAgregators; ++i) {
    Hold hold(slots_[i].guard);
    shares[i] = slots_[i].window.Result();
  }
  return shares;
}
