#include <gtest/gtest.h>

#include "sov/settings/SettingsMapping.h"

namespace {

using namespace RunTimeMapping;

// The wire values of valid indices are checked against hand-made bytes with the
// protocol layouts; here, what an index that was never valid turns into.
TEST(SettingsMapping, IndicesOutOfRangeFallBackToSafeValues) {
  EXPECT_EQ(NetworkUsage(4), 0u);
  EXPECT_EQ(BitrateLimit(5), 20u << 20);
  EXPECT_EQ(ServerFrameRate(9), (FrameRateLimit{55, 1}));
  EXPECT_EQ(TransportMode(7), 2u);
  EXPECT_EQ(AudioQueueFrames(50), 3u);
  EXPECT_EQ(SwitchValue(2), 4u);
  EXPECT_EQ(VideoResolution(3), (ResolutionChoice{0, 0, 0}));
}

}  // namespace
