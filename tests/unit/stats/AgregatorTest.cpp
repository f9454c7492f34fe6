#include <gtest/gtest.h>

#include <cmath>

#include "zep/stats/NetworkLatency.h"
#include "zep/stats/StatAgregator.h"
#include "zep/stats/StatStorage.h"

namespace {

TEST(StatAgregator, BusyShareOverCompleteCyclesOfTheWindow) {
  BusyShareAgregator a(3);
  a.Add({0, 2});
  EXPECT_EQ(a.Result(), 0.0);  // one sample: no time between starts yet
  a.Add({10, 15});
  a.Add({20, 21});
  // Busy 2 + 5 over the 20 ms from the first start to the last.
  EXPECT_DOUBLE_EQ(a.Result(), 7.0 / 20.0);
  a.Add({30, 40});  // (0, 2) leaves the window of three
  EXPECT_DOUBLE_EQ(a.Result(), 6.0 / 20.0);

  BusyShareAgregator overlapping(4);
  overlapping.Add({0, 50});
  overlapping.Add({10, 11});
  EXPECT_EQ(overlapping.Result(), 1.0);  // never more than all of the time
}

TEST(StatAgregator, RateCountsIntervalsBetweenValidSamples) {
  RateAgregator a(60);
  a.Add({100});
  EXPECT_EQ(a.Result(), 0.0);  // a single frame has no rate
  a.Add({100});
  EXPECT_EQ(a.Result(), 0.0);  // two frames at one instant: no division by zero
  for (double t : {120.0, 140.0, 160.0, 180.0}) a.Add({t});
  a.Add({0});  // time 0 is no sample
  // Six frames, five intervals over 80 ms.
  EXPECT_DOUBLE_EQ(a.Result(), 5.0 / 80.0 * 1000.0);

  RateAgregator small(3);
  for (double t : {100.0, 200.0, 250.0, 300.0}) small.Add({t});
  EXPECT_DOUBLE_EQ(small.Result(), 20.0);  // 200, 250, 300: two frames per 100 ms
}

TEST(StatAgregator, MeanAndSampleDeviation) {
  MeanDeviationAgregator a(8);
  EXPECT_EQ(a.Result(), 0.0);
  a.Add({0, 0, 7});
  EXPECT_EQ(a.Deviation(), 0.0);  // one sample has no spread
  for (double v : {2, 4, 4, 4, 5, 5, 7, 9}) a.Add({0, 0, v});
  EXPECT_DOUBLE_EQ(a.Result(), 5.0);
  EXPECT_DOUBLE_EQ(a.Deviation(), std::sqrt(32.0 / 7.0));
}

TEST(StatAgregator, MbpsOverTheLastFiveIntervals) {
  MbpsAgregator a(5);
  a.Add({10, 10, 5000});
  EXPECT_EQ(a.Result(), 0.0);  // no time covered yet
  a.Add({0, 1000, 100e6});     // a burst that leaves the window below
  for (int i = 1; i <= 5; ++i) a.Add({i * 1000.0, i * 1000.0 + 1000.0, 262144});  // 2 Mbit/s
  EXPECT_DOUBLE_EQ(a.Result(), 2.0);
}

TEST(StatStorage, EachAgregatorKeepsItsOwnSamples) {
  CStatStorage s;
  s.Add(4, 0, 5);
  s.Add(4, 10, 11);
  s.Add(6, 0, 1000);  // beyond the storage: ignored
  s.End(4);           // no open stretch: nothing added
  EXPECT_EQ(s.Snapshot(), (std::array<double, 6>{0, 0, 0, 0, 0.5, 0}));
}

TEST(BusyShares, PackedAsWholePercentOfTheirSumInSevenBitFields) {
  // 0.1 : 0.3 : 0.6 of a sum of 1 -> 10, 30 and 60 in fields 0, 1 and 4.
  EXPECT_EQ(PackBusyShares(std::array<double, 6>{0.1, 0.3, 0, 0, 0.6, 0}),
            10u + (30u << 7) + (uint64_t{60} << 28));
  // Only magnitudes count; a lone share is 100 %.
  EXPECT_EQ(PackBusyShares(std::array<double, 6>{0, -0.2, 0, 0, 0, 0}), 100u << 7);
  // 1/3 each of three: truncated to 33.
  EXPECT_EQ(PackBusyShares(std::array<double, 3>{0.5, 0.5, 0.5}), 33u + (33u << 7) + (33u << 14));
  // Nothing busy: zero, not a division by zero.
  EXPECT_EQ(PackBusyShares(std::array<double, 6>{}), 0u);
}

TEST(NetworkLatency, CellsKeepRawMicrosecondsAndWindowDeviation) {
  StatsTable t;
  NetworkLatencyMeter m;
  m.Add(t, 10000);
  m.Add(t, 30000);
  EXPECT_EQ(t.Value(kStatNetworkLatency), (StatValue{VT_INT, 30000}));
  EXPECT_FLOAT_EQ(t.Value(kStatNetworkJitter).r, static_cast<float>(std::sqrt(200.0)));
  m.Add(t, int64_t{1} << 40);  // an absurd echo saturates
  EXPECT_EQ(t.Value(kStatNetworkLatency).i, 2147483647);
}

}  // namespace
