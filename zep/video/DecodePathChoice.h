#pragma once
// The choice of decoding path at session start: the hardware devices in order (VAAPI, VDPAU,
// CUDA), each kept only once it has decoded a short H.264 stream into pictures, else software
// decoding. "forcedx9" on the command line (forceSoftware) skips the devices.
#include <string>
#include <vector>

#include "zep/video/VideoDecoder.h"

namespace video {

// The devices to try, from $ZEP_HWACCEL when set ("vaapi", "vdpau", "cuda" or "none"), else all.
std::vector<AVHWDeviceType> HardwareCandidates();

// True when the path decodes the embedded H.264 stream into at least one picture; the reason is
// logged otherwise.
bool ProvesOnProbeStream(const DecodePath& path);

// The first path that proves itself. When none does, logs "No supported card found", opens the
// help page in the browser and throws.
DecodePath ChooseDecodePath(bool forceSoftware);

// Where the player reads about supported video cards.
extern const char* const kSupportedCardsPage;

}  // namespace video
