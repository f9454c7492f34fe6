#pragma once
// A GUID in the Windows layout: Data1 (u32), Data2 (u16), Data3 (u16), Data4 (8 bytes).
// Bytes() is the in-memory form (first three fields little-endian), as it travels on the wire.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  std::array<uint8_t, 8> data4{};

  // A random version-4 GUID.
  static Guid NewRandom();
  // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", optionally in braces; hex digits of either case.
  static std::optional<Guid> Parse(std::string_view text);
  static Guid FromBytes(const std::array<uint8_t, 16>& bytes);

  std::array<uint8_t, 16> Bytes() const;
  // Lower-case 8-4-4-4-12 text without braces.
  std::string ToString() const;

  friend bool operator==(const Guid&, const Guid&) = default;
};

// Fills `size` bytes from the kernel's random source; throws ErrCodeException on failure.
void RandomBytes(void* out, std::size_t size);

}  // namespace platform
