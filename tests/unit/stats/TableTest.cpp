#include <gtest/gtest.h>

#include <thread>

#include "zep/stats/StatStorage.h"
#include "zep/stats/StatsTable.h"
#include "zep/stats/StatsThread.h"

namespace {

TEST(StatsTable, CellsOutsideTheTableAndChangeTimes) {
  StatsTable t;
  t.SetInt(23, 5);
  t.SetLabel(-1, "x");
  EXPECT_EQ(t.Format(23), "-1");
  t.SetInt(3, 7);
  const int64_t first = t.Row(3).changedMs;
  EXPECT_GT(first, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  t.SetInt(3, 7);  // the same value: no change
  EXPECT_EQ(t.Row(3).changedMs, first);
}

TEST(StatsTable, LabelsAreCutToTwentyFiveCharacters) {
  StatsTable t;
  t.SetLabel(0, "abcdefghijklmnopqrstuvwxyz0123");
  EXPECT_EQ(t.Row(0).label, "abcdefghijklmnopqrstuvwxy");
  std::string cyrillic;  // two bytes a letter: 25 letters, never half of one
  for (int i = 0; i < 30; ++i) cyrillic += "\xD0\x96";
  t.SetLabel(1, cyrillic);
  EXPECT_EQ(t.Row(1).label, cyrillic.substr(0, 50));
  SetStandardLabels(t);
  EXPECT_EQ(t.Row(kStatMouseShapesPerSecond).label, "Mouse shapes obtained per");
}

TEST(StatsTable, CsvLineCarriesTheKeyCellsWithTheirDecimals) {
  StatsTable t;
  SetStandardLabels(t);
  EXPECT_EQ(StatsCsvLine(t), "0;0;0;0;0;0");
  t.SetReal(kStatNetworkLatency, 12.5f);
  t.SetInt(kStatFullLatency, 48000);
  t.SetInt(kStatFramesQueuedBeforeDecoder, 3);
  t.SetReal(kStatFpsServer, 59.5f);
  t.SetInt(kStatMouseShapesPerSecond, 7);
  t.SetInt(kStatAudioObtainedPerSecond, 50);
  EXPECT_EQ(StatsCsvLine(t), "12.50;48000;3;59.5;7;50");
  t.SetInt(kStatNetworkLatency, 30512);  // the raw delay replaces the mean
  t.SetReal(kStatFullLatency, 15.678f);
  EXPECT_EQ(StatsCsvLine(t), "30512;15.68;3;59.5;7;50");
}

TEST(StatsTable, ReadersNeverSeeATornCell) {
  StatsTable t;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (uint32_t i = 0; i < 200000; ++i) t.SetUInt64(kStatRenderLoop, uint64_t{i} * 0x100000001ull);
    done = true;
  });
  for (uint64_t v = 0; !done; v = t.Value(kStatRenderLoop).u) ASSERT_EQ(v >> 32, v & 0xFFFFFFFFu);
  writer.join();
}

TEST(StatsTable, RenderLoopSharesReadAsPercentagesNotAsThePackedNumber) {
  StatsTable t;
  t.SetUInt64(kStatRenderLoop, PackBusyShares(std::array<double, 6>{0.1, 0.3, 0, 0, 0.6, 0}));
  EXPECT_EQ(t.Format(kStatRenderLoop), "10/30/0/0/60 %");
  t.SetUInt64(kStatRenderLoop, PackBusyShares(std::array<double, 6>{0, 0, 0, 0, 0.25, 0}));
  EXPECT_EQ(t.Format(kStatRenderLoop), "0/0/0/0/100 %");  // only the presentation loop was busy
  t.SetUInt64(kStatRenderLoop, 0);
  EXPECT_EQ(t.Format(kStatRenderLoop), "0 %");
}

}  // namespace
