#include "zep/overlay/OverlayRules.h"

namespace overlay {

bool ConnectingRule::Update(bool streaming, int64_t nowMs) {
  if (hidden_) return false;
  if (!streaming) {
    streamingSince_.reset();
    return true;
  }
  if (!streamingSince_) streamingSince_ = nowMs;
  if (nowMs - *streamingSince_ > kStreamingMs) hidden_ = true;
  return !hidden_;
}

std::optional<int> SlowConnectionMs(const StatValue& networkLatency) {
  constexpr int32_t kSlowUs = 300000;
  if (networkLatency.tag != VT_INT || networkLatency.i <= kSlowUs) return std::nullopt;
  return networkLatency.i / 1000;
}

int ConfirmSecondsLeft(int64_t elapsedMs) {
  constexpr int64_t kConfirmMs = 150000;
  const int64_t left = kConfirmMs - elapsedMs;
  // Floor, also below zero: -0.5 s left is -1.
  return static_cast<int>(left >= 0 ? left / 1000 : -((-left + 999) / 1000));
}

}  // namespace overlay
