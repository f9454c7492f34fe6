// The parsing, formatting and byte layout shared by every system; NewRandom is in the platform
// folders.
#include "platform/Guid.h"

#include <cstdio>

namespace platform {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `digits` hex digits at `pos`; false if any is not a hex digit.
bool ReadHex(std::string_view s, std::size_t pos, std::size_t digits, uint64_t& out) {
  out = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    int v = HexValue(s[pos + i]);
    if (v < 0) return false;
    out = (out << 4) | static_cast<uint64_t>(v);
  }
  return true;
}

}  // namespace

std::optional<Guid> Guid::Parse(std::string_view text) {
  if (text.size() == 38) {
    if (text.front() != '{' || text.back() != '}') return std::nullopt;
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return std::nullopt;
  Guid g;
  uint64_t v = 0;
  if (!ReadHex(text, 0, 8, v)) return std::nullopt;
  g.data1 = static_cast<uint32_t>(v);
  if (!ReadHex(text, 9, 4, v)) return std::nullopt;
  g.data2 = static_cast<uint16_t>(v);
  if (!ReadHex(text, 14, 4, v)) return std::nullopt;
  g.data3 = static_cast<uint16_t>(v);
  for (std::size_t i = 0; i < 2; ++i) {
    if (!ReadHex(text, 19 + 2 * i, 2, v)) return std::nullopt;
    g.data4[i] = static_cast<uint8_t>(v);
  }
  for (std::size_t i = 0; i < 6; ++i) {
    if (!ReadHex(text, 24 + 2 * i, 2, v)) return std::nullopt;
    g.data4[2 + i] = static_cast<uint8_t>(v);
  }
  return g;
}

Guid Guid::FromBytes(const std::array<uint8_t, 16>& b) {
  Guid g;
  g.data1 = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
            static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
  g.data2 = static_cast<uint16_t>(b[4] | b[5] << 8);
  g.data3 = static_cast<uint16_t>(b[6] | b[7] << 8);
  for (std::size_t i = 0; i < 8; ++i) g.data4[i] = b[8 + i];
  return g;
}

std::array<uint8_t, 16> Guid::Bytes() const {
  std::array<uint8_t, 16> b{};
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(data1 >> (8 * i));
  b[4] = static_cast<uint8_t>(data2);
  b[5] = static_cast<uint8_t>(data2 >> 8);
  b[6] = static_cast<uint8_t>(data3);
  b[7] = static_cast<uint8_t>(data3 >> 8);
  for (std::size_t i = 0; i < 8; ++i) b[8 + i] = data4[i];
  return b;
}

std::string Guid::ToString() const {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", data1, data2, data3,
                data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
  return buf;
}

}  // namespace platform
