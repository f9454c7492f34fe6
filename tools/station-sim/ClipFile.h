#pragma once
// Pre-encoded video: the test pattern encoded once into a file, then streamed in a loop, so that
// large benchmark pictures do not compete with a live encoder for the CPU.
// File layout (little-endian): "ZEPCLIP1", u32 codec, u32 width, u32 height, u32 fps, u32 count,
// then count times (u32 size, size bytes of one coded picture).
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/station-sim/VideoEncoder.h"

namespace station {

struct Clip {
  int codec = 0;
  int width = 0;
  int height = 0;
  int fps = 0;
  std::string path;
  std::vector<std::vector<uint8_t>> pictures;
};

// Encodes `frames` pictures of the test pattern and writes them; returns the encoder used.
// Throws std::runtime_error on failure.
std::string MakeClip(const std::string& path, const VideoSettings& settings, int frames);
// Reads a clip; throws std::runtime_error on a missing, short or implausible file.
Clip LoadClip(const std::string& path);

}  // namespace station
