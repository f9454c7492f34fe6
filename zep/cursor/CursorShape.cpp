#include "zep/cursor/CursorShape.h"

#include <algorithm>

namespace cursor {
namespace {

constexpr uint32_t kOpaqueBlack = 0xFF000000u;
constexpr uint32_t kOpaqueWhite = 0xFFFFFFFFu;
constexpr uint32_t kTransparent = 0;

uint32_t PixelAt(const uint8_t* row, int x) {
  const uint8_t* p = row + 4 * x;  // B, G, R, A
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool Bit(const uint8_t* row, int x) {
  return (row[x / 8] >> (7 - x % 8)) & 1;
}

bool Fail(std::string* why, const std::string& text) {
  if (why) *why = text;
  return false;
}

// Every row the image reads lies inside the shape bytes.
bool Fits(const proto::CURSOR_SHAPE_HEADER& h, std::size_t bytes, std::string* why) {
  if (h.shapeType != proto::kCursorMonochrome && h.shapeType != proto::kCursorColor &&
      h.shapeType != proto::kCursorMaskedColor)
    return Fail(why, "unknown shape type " + std::to_string(h.shapeType));
  const uint32_t rows = h.shapeType == proto::kCursorMonochrome ? h.height / 2 : h.height;
  if (h.width == 0 || rows == 0 || h.width > kMaxCursorSide || rows > kMaxCursorSide)
    return Fail(why, "size " + std::to_string(h.width) + "x" + std::to_string(h.height) + " is not a cursor");
  const uint64_t rowBytes =
      h.shapeType == proto::kCursorMonochrome ? (h.width + 7) / 8 : uint64_t{h.width} * 4;
  if (h.pitch < rowBytes)
    return Fail(why, "pitch " + std::to_string(h.pitch) + " is shorter than a row of " +
                         std::to_string(h.width) + " pixels");
  if (uint64_t{h.pitch} * h.height > bytes)
    return Fail(why, std::to_string(h.height) + " rows of " + std::to_string(h.pitch) +
                         " bytes do not fit in " + std::to_string(bytes) + " shape bytes");
  return true;
}

}  // namespace

std::optional<CursorImage> ConvertCursorShape(const MOUSE_INFO& shape, std::string* why) {
  const proto::CURSOR_SHAPE_HEADER& h = shape.header;
  if (!Fits(h, shape.shape.size(), why)) return std::nullopt;
  CursorImage image;
  image.width = static_cast<int>(h.width);
  image.height = static_cast<int>(h.shapeType == proto::kCursorMonochrome ? h.height / 2 : h.height);
  image.hotX = std::clamp(h.hotSpotX, 0, image.width - 1);
  image.hotY = std::clamp(h.hotSpotY, 0, image.height - 1);
  image.argb.resize(static_cast<std::size_t>(image.width) * image.height);
  const uint8_t* bits = shape.shape.data();
  uint32_t* out = image.argb.data();

  if (h.shapeType == proto::kCursorMonochrome) {
    // AND 1 keeps the screen, AND 0 paints: XOR 0 black, XOR 1 white; both 1 inverts.
    for (int y = 0; y < image.height; ++y) {
      const uint8_t* andRow = bits + static_cast<std::size_t>(y) * h.pitch;
      const uint8_t* xorRow = bits + static_cast<std::size_t>(y + image.height) * h.pitch;
      for (int x = 0; x < image.width; ++x) {
        const bool keep = Bit(andRow, x), flip = Bit(xorRow, x);
        *out++ = keep ? (flip ? kOpaqueBlack : kTransparent) : (flip ? kOpaqueWhite : kOpaqueBlack);
      }
    }
    return image;
  }

  // A colour shape without any alpha is an old-style opaque one.
  bool anyAlpha = false;
  if (h.shapeType == proto::kCursorColor) {
    for (int y = 0; y < image.height && !anyAlpha; ++y) {
      const uint8_t* row = bits + static_cast<std::size_t>(y) * h.pitch;
      for (int x = 0; x < image.width && !anyAlpha; ++x) anyAlpha = row[4 * x + 3] != 0;
    }
  }
  for (int y = 0; y < image.height; ++y) {
    const uint8_t* row = bits + static_cast<std::size_t>(y) * h.pitch;
    for (int x = 0; x < image.width; ++x) {
      const uint32_t px = PixelAt(row, x);
      const uint32_t rgb = px & 0x00FFFFFFu;
      if (h.shapeType == proto::kCursorColor) {
        *out++ = anyAlpha ? px : (rgb | kOpaqueBlack);
      } else {
        // Masked colour: alpha 0 paints the colour; alpha 0xFF XORs it with the screen, which
        // leaves the screen alone where the colour is black.
        const bool xorWithScreen = (px >> 24) == 0xFF;
        *out++ = xorWithScreen && rgb == 0 ? kTransparent : (rgb | kOpaqueBlack);
      }
    }
  }
  return image;
}

}  // namespace cursor
