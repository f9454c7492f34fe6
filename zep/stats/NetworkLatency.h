#pragma once
// Cells 16 and 20 from the ping replies of the control channel. Cell 16 first gets the
// window's mean delay in milliseconds and then keeps the last raw delay as an integer
// number of microseconds, which the slow-connection warning reads.
#include <cstdint>

#include "zep/stats/StatAgregator.h"
#include "zep/stats/StatsTable.h"

class NetworkLatencyMeter {
 public:
  static constexpr std::size_t kWindow = 80;

  // Adds one one-way delay in microseconds and updates the cells.
  void Add(StatsTable& table, int64_t delayUs);

 private:
  MeanDeviationAgregator window_{kWindow};
};
