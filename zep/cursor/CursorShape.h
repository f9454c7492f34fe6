#pragma once
// The station's pointer shapes (monochrome AND/XOR masks, colour, masked colour) as straight
// 32-bit ARGB images, ready to become a colour cursor. A screen inversion (the XOR part of a
// shape) cannot be shown by a colour cursor: inverted pixels become black, or the shape's
// colour for masked colour, so the pointer keeps its outline.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sov/protocol/Messages.h"

namespace cursor {

// Larger shapes are not cursors; refusing them bounds the allocation.
constexpr uint32_t kMaxCursorSide = 1024;

struct CursorImage {
  int width = 0;
  int height = 0;
  int hotX = 0;
  int hotY = 0;
  std::vector<uint32_t> argb;  // row after row, 0xAARRGGBB
};

// The image of a shape, or nothing (with the reason in *why) when its header does not describe
// the bytes it carries.
std::optional<CursorImage> ConvertCursorShape(const MOUSE_INFO& shape, std::string* why = nullptr);

}  // namespace cursor
