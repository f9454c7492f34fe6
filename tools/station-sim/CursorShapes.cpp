#include "tools/station-sim/CursorShapes.h"

namespace station {
namespace {

constexpr int kSize = 32;

// An arrow: the pixel at (x, y) is inside when it lies under the diagonal and near the left.
bool InArrow(int x, int y) {
  return y < 20 && x <= y && x < 14;
}
bool ArrowEdge(int x, int y) {
  return InArrow(x, y) && (x == 0 || x == y || y == 19 || x == 13);
}

}  // namespace

CursorUpdate MonochromeArrow() {
  CursorUpdate c;
  c.type = 1;
  c.width = kSize;
  c.height = kSize * 2;
  c.pitch = kSize / 8;
  c.shape.assign(c.pitch * c.height, 0);
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      const uint8_t bit = static_cast<uint8_t>(0x80 >> (x % 8));
      // AND mask: 1 keeps the screen (outside the arrow); XOR mask: 1 inverts to white.
      if (!InArrow(x, y)) c.shape[y * c.pitch + x / 8] |= bit;
      if (InArrow(x, y) && !ArrowEdge(x, y)) c.shape[(kSize + y) * c.pitch + x / 8] |= bit;
    }
  }
  return c;
}

CursorUpdate ColourArrow() {
  CursorUpdate c;
  c.type = 2;
  c.width = kSize;
  c.height = kSize;
  c.pitch = kSize * 4;
  c.shape.assign(c.pitch * c.height, 0);
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      uint8_t* px = &c.shape[y * c.pitch + x * 4];  // B, G, R, A
      if (ArrowEdge(x, y)) {
        px[0] = px[1] = px[2] = 0;
        px[3] = 0xFF;
      } else if (InArrow(x, y)) {
        px[0] = 0x20;
        px[1] = 0xA0;
        px[2] = 0xFF;
        px[3] = 0xFF;
      }
    }
  }
  return c;
}

CursorUpdate MaskedColourBlock() {
  CursorUpdate c;
  c.type = 4;
  c.width = kSize;
  c.height = kSize;
  c.pitch = kSize * 4;
  c.hotX = kSize / 2;
  c.hotY = kSize / 2;
  c.shape.assign(c.pitch * c.height, 0);
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      uint8_t* px = &c.shape[y * c.pitch + x * 4];
      const bool ring = (x - 16) * (x - 16) + (y - 16) * (y - 16) < 14 * 14;
      // Alpha 0xFF marks pixels XORed with the screen; alpha 0 pixels replace it.
      px[0] = ring ? 0xFF : 0x00;
      px[1] = ring ? 0xFF : 0x00;
      px[2] = ring ? 0xFF : 0x00;
      px[3] = ring ? 0xFF : 0x00;
      if (ring && (x == 16 || y == 16)) {
        px[0] = 0x00;
        px[1] = 0x00;
        px[2] = 0xC0;
        px[3] = 0x00;
      }
    }
  }
  return c;
}

CursorUpdate ScheduledCursor(uint64_t step) {
  switch (step % 5) {
    case 0:
      return MonochromeArrow();
    case 1: {
      CursorUpdate hide;
      hide.visible = false;
      return hide;
    }
    case 2: {
      CursorUpdate show;
      return show;
    }
    case 3:
      return ColourArrow();
    default:
      return MaskedColourBlock();
  }
}

}  // namespace station
