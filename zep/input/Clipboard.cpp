#include "zep/input/Clipboard.h"

#include <SDL.h>

#include <cstdint>
#include <memory>

#include "sov/base/Log.h"
#include "sov/protocol/Codec.h"

namespace input {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The code point starting at text[i]; advances i past it (one byte for a malformed one).
char32_t NextCodePoint(std::string_view text, std::size_t& i) {
  const auto b0 = static_cast<uint8_t>(text[i]);
  std::size_t length = 0;
  char32_t cp = 0;
  char32_t least = 0;
  if (b0 < 0x80) {
    ++i;
    return b0;
  } else if ((b0 & 0xE0) == 0xC0) {
    length = 2, cp = b0 & 0x1F, least = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3, cp = b0 & 0x0F, least = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4, cp = b0 & 0x07, least = 0x10000;
  } else {
    ++i;
    return kReplacement;
  }
  if (i + length > text.size()) {
    ++i;
    return kReplacement;
  }
  for (std::size_t k = 1; k < length; ++k) {
    const auto b = static_cast<uint8_t>(text[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  i += length;
  // Overlong forms, surrogates and values past Unicode are not characters.
  if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
  return cp;
}

}  // namespace

std::u16string ClipboardUnits(std::string_view utf8, std::size_t maxUnits) {
  std::u16string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const char32_t cp = NextCodePoint(utf8, i);
    const std::size_t units = cp >= 0x10000 ? 2 : 1;
    if (out.size() + units > maxUnits) break;
    if (units == 2) {
      const char32_t v = cp - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::optional<proto::CLIPBOARD_TEXT> ReadClipboardBlock(uint32_t mode) {
  if (!SDL_HasClipboardText()) return std::nullopt;
  std::unique_ptr<char, decltype(&SDL_free)> text(SDL_GetClipboardText(), SDL_free);
  if (!text) {
    LOGD << "HotkeyHandleProc: no clipboard text: " << SDL_GetError();
    return std::nullopt;
  }
  return proto::MakeClipboardText(ClipboardUnits(text.get()), mode);
}

}  // namespace input
