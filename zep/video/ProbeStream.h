#pragma once
#include <cstdint>
#include <vector>

namespace video {

// Annex-B H.264: parameter sets, one key picture and one predicted picture.
const std::vector<uint8_t>& ProbeStreamH264();

}  // namespace video
