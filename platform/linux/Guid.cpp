#include "platform/Guid.h"

namespace platform {

// Random bytes with the version-4 and RFC 4122 variant bits set.
Guid Guid::NewRandom() {
  std::array<uint8_t, 16> b{};
  RandomBytes(b.data(), b.size());
  Guid g = FromBytes(b);
  g.data3 = static_cast<uint16_t>((g.data3 & 0x0FFF) | 0x4000);
  g.data4[0] = static_cast<uint8_t>((g.data4[0] & 0x3F) | 0x80);
  return g;
}

}  // namespace platform
