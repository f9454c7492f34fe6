#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sov/settings/RunTimeSettings.h"
#include "sov/settings/SettingsMapping.h"
#include "sov/settings/SettingsText.h"

namespace {

using namespace RunTimeMapping;

TEST(SettingsMapping, NetworkUsage) {
  const uint32_t expected[] = {0, 30, 70, 100};
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(NetworkUsage(i), expected[i]) << i;
  EXPECT_EQ(NetworkUsage(4), 0u);
  EXPECT_EQ(NetworkUsage(0xFFFFFFFF), 0u);
}

TEST(SettingsMapping, BitrateLimitInBitsPerSecond) {
  const uint32_t expected[] = {10485760, 20971520, 31457280, 41943040, 73400320};
  for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(BitrateLimit(i), expected[i]) << i;
  // Anything else counts as index 1.
  EXPECT_EQ(BitrateLimit(5), 20971520u);
  EXPECT_EQ(BitrateLimit(0xFFFFFFFF), 20971520u);
  EXPECT_EQ(kDefaultBitrateLimit, 20971520u);
}

TEST(SettingsMapping, ServerFrameRate) {
  const uint32_t expected[] = {15, 25, 40, 55, 70, 90, 115, 125};
  for (uint32_t i = 0; i < 8; ++i) EXPECT_EQ(ServerFrameRate(i), (FrameRateLimit{expected[i], 1})) << i;
  EXPECT_EQ(ServerFrameRate(8), (FrameRateLimit{100, 0}));  // no limit
  EXPECT_EQ(ServerFrameRate(9), (FrameRateLimit{55, 1}));
  EXPECT_EQ(ServerFrameRate(1000), (FrameRateLimit{55, 1}));
}

TEST(SettingsMapping, TransportAudioSwitchesAndResolution) {
  EXPECT_EQ(TransportMode(0), 1u);
  EXPECT_EQ(TransportMode(1), 2u);
  EXPECT_EQ(TransportMode(7), 2u);

  EXPECT_EQ(AudioQueueFrames(0), 1u);
  EXPECT_EQ(AudioQueueFrames(1), 2u);
  EXPECT_EQ(AudioQueueFrames(2), 3u);
  EXPECT_EQ(AudioQueueFrames(50), 3u);

  EXPECT_EQ(SwitchValue(0), 0u);
  EXPECT_EQ(SwitchValue(1), 4u);
  EXPECT_EQ(SwitchValue(2), 4u);

  EXPECT_EQ(VideoResolution(0), (ResolutionChoice{1280, 720, 0}));
  EXPECT_EQ(VideoResolution(1), (ResolutionChoice{0, 0, 0}));
  EXPECT_EQ(VideoResolution(2), (ResolutionChoice{0, 0, 1}));
  EXPECT_EQ(VideoResolution(3), (ResolutionChoice{0, 0, 0}));
}

std::size_t LabelCount(const char* valueName) {
  using namespace SettingsText;
  const std::string n = valueName;
  if (n == "AudioBufferSizeIndex") return kAudioBufferLabels.size();
  if (n == "NetworkUsageIndex") return kNetworkUsageLabels.size();
  if (n == "NetworkBandwidthIndex") return kBitrateLabels.size();
  if (n == "CodecIndex") return kCodecLabels.size();
  if (n == "NetworkTransportIndex") return kNetworkTransportLabels.size();
  if (n == "VideoResolutionIndex") return kVideoResolutionLabels.size();
  if (n == "ServerFPSIndex") return kServerFpsLabels.size();
  return 2;  // an on/off switch
}

TEST(SettingsText, EveryStoredIndexHasALabel) {
  for (const auto& info : RunTimeSettingTable())
    EXPECT_EQ(LabelCount(info.valueName), info.maxIndex + 1) << info.valueName;
  EXPECT_STREQ(SettingsText::kCodecLabels[SettingsText::kCodecLabelsShown - 1], "av1");
  EXPECT_STREQ(SettingsText::kVideoResolutionLabels[SettingsText::kVideoResolutionLabelsShown - 1], "1080p");
  // "∞" and the typographic apostrophe are UTF-8.
  EXPECT_STREQ(SettingsText::kServerFpsLabels[8], "\xe2\x88\x9e");
  EXPECT_NE(std::strstr(SettingsText::kLimitBitrate.hint, "it\xe2\x80\x99s"), nullptr);
}

}  // namespace
