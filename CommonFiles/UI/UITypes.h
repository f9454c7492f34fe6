#pragma once
// Plain value types of the overlay toolkit: rectangles, colours, styles, anchors and labels.
#include <cstdint>
#include <string>

namespace VektaUI {

struct UIPoint {
  int x = 0;
  int y = 0;
  bool operator==(const UIPoint&) const = default;
};

struct UIRect {
  int x = 0;
  int y = 0;
  int w = 0;
  int h = 0;

  int Right() const { return x + w; }
  int Bottom() const { return y + h; }
  bool Contains(int px, int py) const { return px >= x && py >= y && px < x + w && py < y + h; }
  bool operator==(const UIRect&) const = default;
};

// Kinds of one coordinate of an anchored corner.
enum AnchorKind : int32_t {
  kFromStart = 0,   // offset from the parent's left (top) edge
  kFromEnd = 1,     // the parent's width (height) minus the offset
  kSize = 2,        // second corner only: the first corner plus the offset
  kFromCentre = 3,  // half the parent's width (height) plus the offset
};

struct CornerSpec {
  int32_t hKind = kFromStart;
  int32_t vKind = kFromStart;
  int32_t hOffset = 0;
  int32_t vOffset = 0;
};

// Text and colours of a component. Colours are 0xRRGGBB.
struct UIStyle {
  uint32_t background = 0x000000;
  uint32_t text = 0xFFFFFF;
  uint8_t reserved0 = 0;
  uint8_t opacity = 255;
  uint32_t reserved1 = 0;
  uint32_t reserved2 = 0;
  float fontSize = 21.0f;
  uint32_t reserved3 = 0;
  int fontWeight = 400;
  std::string fontFamily = "Arial";
  uint32_t reserved4 = 0;
};

// The two process-wide default styles.
const UIStyle& DefaultStyle();       // font size 21
const UIStyle& DefaultLargeStyle();  // font size 28

// A text shown by a component: a string identifier resolved in the UI language, or a given text.
struct UILabel {
  int stringId = 0;
  std::string text;

  static UILabel Id(int id) { return UILabel{id, {}}; }
  static UILabel Text(std::string t) { return UILabel{0, std::move(t)}; }
  bool operator==(const UILabel&) const = default;
};

// Change bits a component reports until its next draw into a cache. The low ones are the cache
// refresh flags they trigger.
enum ChangeBits : uint32_t {
  kChangeHover = 4,
  kChangePressed = 8,
  kChangeSelection = 16,
  kChangeChildVisibility = 32,  // a child appeared or disappeared
  kChangeContent = 64,          // text, image or a nested cache went stale
};

enum class TextAlign { kLeft, kCentre, kRight };

}  // namespace VektaUI
