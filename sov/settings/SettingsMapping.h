#pragma once
// What the runtime-settings indices mean: the numbers the API sender sends to
// the station and the values the media threads act on. Each function takes any
// index, also one that was never valid.
#include <cstdint>

namespace RunTimeMapping {

// "NetworkUsageIndex": 0, 30, 70, 100; any other index 0.
uint32_t NetworkUsage(uint32_t index);

// "NetworkBandwidthIndex": bitrate limit in bits per second, 10, 20, 30, 40 and
// 70 times 2^20; any other index counts as index 1.
uint32_t BitrateLimit(uint32_t index);
constexpr uint32_t kDefaultBitrateLimit = 20 * 1048576u;

// "ServerFPSIndex": the frame-rate limit message's fields. Index 8 means no
// limit (limited 0, rate 100); an index past 8 counts as 55 frames per second.
struct FrameRateLimit {
  uint32_t framesPerSecond;
  uint8_t limited;
  bool operator==(const FrameRateLimit&) const = default;
};
FrameRateLimit ServerFrameRate(uint32_t index);

// "NetworkTransportIndex": the transport mode put in both KCP channel blocks:
// index 0 ("green") gives mode 1, any other index mode 2 ("yellow").
uint32_t TransportMode(uint32_t index);

// "AudioBufferSizeIndex": at most index + 1 decoded audio frames stay queued;
// an index past 2 counts as 2.
uint32_t AudioQueueFrames(uint32_t index);

// "AllowGamepadIndex" and "AllowIncomingIndex": 4 when on (non-zero), else 0.
uint32_t SwitchValue(uint32_t index);

// "VideoResolutionIndex", read once when the control thread starts: 0 asks for
// 1280x720, 2 for the station's high resolution, anything else for neither
// (width and height 0: the station's own size).
struct ResolutionChoice {
  uint32_t width;
  uint16_t height;
  uint16_t highResolution;
  bool operator==(const ResolutionChoice&) const = default;
};
ResolutionChoice VideoResolution(uint32_t index);

}  // namespace RunTimeMapping
