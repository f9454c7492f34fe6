#include "sov/settings/SettingsMapping.h"

namespace RunTimeMapping {

uint32_t NetworkUsage(uint32_t index) {
  static constexpr uint32_t kUsage[] = {0, 30, 70, 100};
  return index < 4 ? kUsage[index] : 0;
}

uint32_t BitrateLimit(uint32_t index) {
  static constexpr uint32_t kMiB = 1048576;
  static constexpr uint32_t kLimits[] = {10 * kMiB, 20 * kMiB, 30 * kMiB, 40 * kMiB, 70 * kMiB};
  return index < 5 ? kLimits[index] : kLimits[1];
}

FrameRateLimit ServerFrameRate(uint32_t index) {
  // Sent below the labels' rates: "30" is sent as 25, "60" as 55, "144" as 125.
  static constexpr uint32_t kRates[] = {15, 25, 40, 55, 70, 90, 115, 125};
  if (index < 8) return {kRates[index], 1};
  if (index == 8) return {100, 0};
  return {55, 1};
}

uint32_t TransportMode(uint32_t index) {
  return index == 0 ? 1 : 2;
}

uint32_t AudioQueueFrames(uint32_t index) {
  return (index < 2 ? index : 2) + 1;
}

uint32_t SwitchValue(uint32_t index) {
  return index != 0 ? 4 : 0;
}

ResolutionChoice VideoResolution(uint32_t index) {
  if (index == 0) return {1280, 720, 0};
  if (index == 2) return {0, 0, 1};
  return {0, 0, 0};
}

}  // namespace RunTimeMapping
