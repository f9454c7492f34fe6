#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/HPCWrapper.h"

using namespace std::chrono_literals;

TEST(HPCWrapperTest, CountsNanosecondsOfTheMonotonicClock) {
  EXPECT_EQ(HPCWrapper::Frequency(), 1'000'000'000);
  int64_t a = HPCWrapper::RawCounter();
  std::this_thread::sleep_for(20ms);
  int64_t b = HPCWrapper::RawCounter();
  EXPECT_GE(b - a, 20'000'000);
  EXPECT_LT(b - a, 10'000'000'000);
}

TEST(HPCWrapperTest, MicrosecondsRoundToNearest) {
  EXPECT_EQ(HPCWrapper::CounterToUs(0), 0);
  EXPECT_EQ(HPCWrapper::CounterToUs(499), 0);
  EXPECT_EQ(HPCWrapper::CounterToUs(500), 1);
  EXPECT_EQ(HPCWrapper::CounterToUs(1499), 1);
  EXPECT_EQ(HPCWrapper::CounterToUs(1500), 2);
  // Exact even for a counter far beyond the precision of a double.
  EXPECT_EQ(HPCWrapper::CounterToUs(9'007'199'254'740'993'499), 9'007'199'254'740'993);
  EXPECT_EQ(HPCWrapper::CounterToUs(9'007'199'254'740'993'500), 9'007'199'254'740'994);
}

TEST(HPCWrapperTest, MillisecondsTruncateAndNeverRunAhead) {
  EXPECT_EQ(HPCWrapper::UsToMs(1999), 1);
  EXPECT_EQ(HPCWrapper::UsToMs(2000), 2);
  for (int i = 0; i < 10000; ++i) {
    int64_t us1 = HPCWrapper::NowUs();
    int64_t ms = HPCWrapper::NowMs();
    int64_t us2 = HPCWrapper::NowUs();
    ASSERT_LE(us1 / 1000, ms);
    ASSERT_LE(ms, us2 / 1000);
  }
}

TEST(HPCWrapperTest, ElapsedMsFollowsTheClock) {
  CHighPrecTimeCounter counter;
  // Long enough that a restarted counter read right away stays below it even on a loaded machine.
  std::this_thread::sleep_for(200ms);
  double first = counter.ElapsedMs();
  EXPECT_GE(first, 200.0);
  EXPECT_LT(first, 10000.0);
  EXPECT_GE(counter.ElapsedMs(), first);
  counter.Start();
  EXPECT_LT(counter.ElapsedMs(), first);
  int64_t before = HPCWrapper::RawCounter();
  counter.ElapsedMs();
  EXPECT_GE(counter.LastCounter(), before);
}
