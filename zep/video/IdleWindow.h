#pragma once
// The idle share of a loop over its last N iterations: 100 x sum of waits / sum of totals.
#include <cstddef>
#include <utility>
#include <vector>

namespace video {

class IdleWindow {
 public:
  explicit IdleWindow(std::size_t size) : ring_(size) {}
  void Add(double waitMs, double totalMs) {
    auto& slot = ring_[next_];
    waitSum_ += waitMs - slot.first;
    totalSum_ += totalMs - slot.second;
    slot = {waitMs, totalMs};
    next_ = (next_ + 1) % ring_.size();
  }
  double Percent() const { return totalSum_ > 0 ? 100.0 * waitSum_ / totalSum_ : 0.0; }

 private:
  std::vector<std::pair<double, double>> ring_;
  std::size_t next_ = 0;
  double waitSum_ = 0;
  double totalSum_ = 0;
};

}  // namespace video
