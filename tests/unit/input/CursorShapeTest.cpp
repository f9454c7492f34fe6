// Station pointer shapes against hand-built pixels, and shapes whose header lies about its bytes.
#include <gtest/gtest.h>

#include "zep/cursor/CursorShape.h"

namespace cursor {
namespace {

MOUSE_INFO Shape(uint32_t type, uint32_t w, uint32_t h, uint32_t pitch, std::vector<uint8_t> bytes) {
  MOUSE_INFO m;
  m.header.shapeType = type;
  m.header.width = w;
  m.header.height = h;
  m.header.pitch = pitch;
  m.header.visible = 1;
  m.header.shapeSize = static_cast<uint32_t>(bytes.size());
  m.shape = std::move(bytes);
  return m;
}

TEST(CursorShape, MonochromeMasksGiveHalfTheHeight) {
  // 8x2 cursor, pitch 2 (a padding byte per row). AND rows then XOR rows.
  // Row 0: AND 0xF0 (left half keeps the screen), XOR 0xCC.  Row 1: AND 0x00, XOR 0xFF.
  MOUSE_INFO m = Shape(1, 8, 4, 2, {0xF0, 0xAA, 0x00, 0xAA, 0xCC, 0xAA, 0xFF, 0xAA});
  m.header.hotSpotX = 3;
  m.header.hotSpotY = 1;
  const auto image = ConvertCursorShape(m);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width, 8);
  EXPECT_EQ(image->height, 2);
  EXPECT_EQ(image->hotX, 3);
  EXPECT_EQ(image->hotY, 1);
  const uint32_t T = 0, B = 0xFF000000u, W = 0xFFFFFFFFu;
  // keep+xor 1 (inversion) is drawn black; keep+xor 0 transparent; paint+xor 1 white; paint+0 black.
  const std::vector<uint32_t> want = {B, B, T, T, W, W, B, B, W, W, W, W, W, W, W, W};
  EXPECT_EQ(image->argb, want);
}

TEST(CursorShape, ColourKeepsItsAlphaAndMaskedColourXorsOnlyWhereAlphaIsFull) {
  // 2x1 colour: a half-transparent red, a transparent pixel. Bytes are B, G, R, A.
  MOUSE_INFO colour = Shape(2, 2, 1, 8, {0, 0, 0xFF, 0x80, 1, 2, 3, 0});
  auto image = ConvertCursorShape(colour);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->argb, (std::vector<uint32_t>{0x80FF0000u, 0x00030201u}));
  // Without any alpha the shape is opaque.
  colour = Shape(2, 2, 1, 8, {0, 0, 0xFF, 0, 1, 2, 3, 0});
  image = ConvertCursorShape(colour);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->argb, (std::vector<uint32_t>{0xFFFF0000u, 0xFF030201u}));

  // Masked 3x1: alpha 0 paints green; alpha 0xFF with black leaves the screen; alpha 0xFF with
  // a colour (an XOR) shows that colour.
  MOUSE_INFO masked = Shape(4, 3, 1, 12, {0, 0xFF, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  image = ConvertCursorShape(masked);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->argb, (std::vector<uint32_t>{0xFF00FF00u, 0u, 0xFFFFFFFFu}));
}

TEST(CursorShape, HeadersThatDoNotFitTheirBytesAreRefused) {
  std::string why;
  // Rows of 128 bytes x 32 = 4096, but only 4095 bytes came.
  EXPECT_FALSE(ConvertCursorShape(Shape(2, 32, 32, 128, std::vector<uint8_t>(4095)), &why));
  EXPECT_NE(why.find("do not fit"), std::string::npos) << why;
  // A pitch shorter than a row of its width would read the next row (or past the end).
  EXPECT_FALSE(ConvertCursorShape(Shape(2, 32, 1, 64, std::vector<uint8_t>(4096)), &why));
  EXPECT_NE(why.find("pitch"), std::string::npos) << why;
  EXPECT_FALSE(ConvertCursorShape(Shape(1, 33, 2, 4, std::vector<uint8_t>(64)), &why));
  // Empty and giant sizes, and a product that overflows 32 bits.
  EXPECT_FALSE(ConvertCursorShape(Shape(2, 0, 32, 128, std::vector<uint8_t>(4096)), &why));
  EXPECT_FALSE(ConvertCursorShape(Shape(1, 8, 1, 1, std::vector<uint8_t>(4096)), &why));
  EXPECT_FALSE(ConvertCursorShape(Shape(2, 1025, 1, 4100, std::vector<uint8_t>(4100)), &why));
  EXPECT_FALSE(ConvertCursorShape(Shape(2, 1000, 1000, 0x80000000u, std::vector<uint8_t>(64)), &why));
  EXPECT_FALSE(ConvertCursorShape(Shape(3, 8, 8, 32, std::vector<uint8_t>(256)), &why));
  // The largest cursor is fine.
  EXPECT_TRUE(ConvertCursorShape(Shape(2, 1024, 1024, 4096, std::vector<uint8_t>(4096 * 1024))));
  // A hot spot outside the shape is pulled onto its edge.
  MOUSE_INFO far = Shape(2, 4, 4, 16, std::vector<uint8_t>(64));
  far.header.hotSpotX = 99;
  far.header.hotSpotY = -5;
  const auto image = ConvertCursorShape(far);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->hotX, 3);
  EXPECT_EQ(image->hotY, 0);
}

}  // namespace
}  // namespace cursor
