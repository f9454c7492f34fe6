#pragma once
// The clipboard hot keys: the local clipboard text, scrambled into the session's clipboard block
// for the API sender.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sov/protocol/Messages.h"

namespace input {

// The block carries 127 UTF-16 units and a terminating zero.
constexpr std::size_t kClipboardUnits = 127;

// UTF-8 text as UTF-16, cut after the last whole character that fits in maxUnits (a character
// is never split, neither a UTF-8 sequence nor a surrogate pair). Malformed bytes become U+FFFD.
std::u16string ClipboardUnits(std::string_view utf8, std::size_t maxUnits = kClipboardUnits);

// The local clipboard text (SDL; window thread) scrambled with `mode`; nothing when there is no text.
std::optional<proto::CLIPBOARD_TEXT> ReadClipboardBlock(uint32_t mode);

}  // namespace input
