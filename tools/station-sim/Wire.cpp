#include "tools/station-sim/Wire.h"

#include "sov/base/Text.h"

namespace station {

std::string Hex(const uint8_t* p, std::size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  s.reserve(n * 2);
  for (std::size_t i = 0; i < n; ++i) {
    s.push_back(digits[p[i] >> 4]);
    s.push_back(digits[p[i] & 15]);
  }
  return s;
}

std::vector<uint8_t> PcmFormatBlock(uint32_t sampleRate, uint16_t channels, uint16_t bits) {
  // WAVEFORMATEXTENSIBLE with the KSDATAFORMAT_SUBTYPE_PCM sub-format.
  static const uint8_t kSubtypePcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                          0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71};
  std::vector<uint8_t> f(kFormatSize, 0);
  uint16_t blockAlign = static_cast<uint16_t>(channels * bits / 8);
  PutU16(&f[0], 0xFFFE);
  PutU16(&f[2], channels);
  PutU32(&f[4], sampleRate);
  PutU32(&f[8], sampleRate * blockAlign);
  PutU16(&f[12], blockAlign);
  PutU16(&f[14], bits);
  PutU16(&f[16], 22);
  PutU16(&f[18], bits);
  PutU32(&f[20], channels == 1 ? 0x4u : 0x3u);  // front centre, or front left and right
  std::memcpy(&f[24], kSubtypePcm, 16);
  return f;
}

std::string Utf16ToUtf8(const std::u16string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    text::AppendUtf8(out, c);  // a lone surrogate becomes U+FFFD
  }
  return out;
}

std::u16string Utf8ToUtf16(const std::string& s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    const char32_t c = text::DecodeUtf8(s, i);
    if (c < 0x10000) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
  return out;
}

}  // namespace station
