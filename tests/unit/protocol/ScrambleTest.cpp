// Stream key and clipboard scrambling: vectors computed by hand and round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "sov/protocol/Codec.h"

using namespace proto;

// Copies a field out of a packed record; gtest would bind a reference to it, which may be misaligned.
template <class T>
T V(T value) {
  return value;
}

namespace {

// Pad bytes first (0x80, 0x81, ...), then the filler bytes (0x40, 0x41, ...), in call order.
RandomByteFn Counter(uint8_t padStart, std::size_t padCount, uint8_t fillStart) {
  auto n = std::make_shared<std::size_t>(0);
  return [=]() {
    std::size_t i = (*n)++;
    return static_cast<uint8_t>(i < padCount ? padStart + i : fillStart + (i - padCount));
  };
}

uint32_t B4(std::span<const uint8_t> bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t(bytes[at + 3]) << 24;
}

}  // namespace

TEST(StreamKey, SwitchedOffIsAllZero) {
  STREAM_KEY k = MakeStreamKey(std::nullopt);
  auto bytes = AsBytes(k);
  for (uint8_t b : bytes) ASSERT_EQ(b, 0);
  EXPECT_FALSE(ReadStreamKey(k).has_value());
}

TEST(Clipboard, ShortTextByHand) {
  // Q[0] = 0x8180, Q[1] = 0x8382.
  CLIPBOARD_TEXT c = MakeClipboardText(u"A", 1, Counter(0x80, 256, 0x40));
  // rotl5(0x0041) = 0x0820; 0x0820 ^ 0x8180 = 0x89A0.
  EXPECT_EQ(c.scrambled[0], 0xA0);
  EXPECT_EQ(c.scrambled[1], 0x89);
  // Terminator: rotl5(0) ^ Q[1].
  EXPECT_EQ(c.scrambled[2], 0x82);
  EXPECT_EQ(c.scrambled[3], 0x83);
  EXPECT_EQ(c.scrambled[4], 0x44);  // filler
  EXPECT_EQ(V(c.mode), 1u);
  EXPECT_EQ(AsBytes(c)[512], 1);
  EXPECT_EQ(ReadClipboardText(c), u"A");
}

TEST(Clipboard, RotationWrapsHighBits) {
  // 0xF801 rotated left by 5 is 0x003F; with a zero pad it shows directly.
  CLIPBOARD_TEXT c = MakeClipboardText(u"\xF801", 0, [] { return uint8_t{0}; });
  EXPECT_EQ(c.scrambled[0], 0x3F);
  EXPECT_EQ(c.scrambled[1], 0x00);
  EXPECT_EQ(ReadClipboardText(c), u"\xF801");
}

TEST(StreamKey, LengthBoundariesByHand) {
  // P[i] = 0x80 + i, filler bytes 0x40 + i.
  auto make = [](std::size_t length) {
    std::string key(length, 'a');
    if (length > 32) key[32] = 'z';
    return MakeStreamKey(std::string_view(key), Counter(0x80, 32, 0x40));
  };
  STREAM_KEY k30 = make(30);
  EXPECT_EQ(k30.scrambled[29], 0x61 ^ 0x9D);
  EXPECT_EQ(k30.scrambled[30], 0x9E);  // terminating zero ^ P[30]
  EXPECT_EQ(k30.scrambled[31], 0x5F);  // filler, never touched
  EXPECT_EQ(ReadStreamKey(k30), std::string(30, 'a'));

  STREAM_KEY k31 = make(31);
  EXPECT_EQ(k31.scrambled[30], 0x61 ^ 0x9E);
  EXPECT_EQ(k31.scrambled[31], 0x9F);  // terminating zero in the 32nd position

  STREAM_KEY k32 = make(32);
  for (int i = 0; i < 32; ++i) ASSERT_EQ(k32.scrambled[i], 0x61 ^ (0x80 + i)) << i;
  EXPECT_EQ(ReadStreamKey(k32), std::string(32, 'a'));

  // A 33rd byte never reaches the wire: the payload equals that of the 32-byte key.
  STREAM_KEY k33 = make(33);
  auto b32 = AsBytes(k32);
  auto b33 = AsBytes(k33);
  EXPECT_TRUE(std::equal(b32.begin(), b32.end(), b33.begin(), b33.end()));
  EXPECT_EQ(b33[0], 1);
  EXPECT_EQ(b33[33], 0x80);
  EXPECT_EQ(b33[64], 0x9F);
}

TEST(Clipboard, LengthBoundariesByHand) {
  // A zero pad leaves rotl5(c) visible; the filler is 0xEE.
  auto make = [](std::size_t length) {
    std::u16string text(length, u'A');
    auto n = std::make_shared<int>(0);
    return MakeClipboardText(text, 1, [n] { return uint8_t((*n)++ < 256 ? 0 : 0xEE); });
  };
  auto unit = [](const CLIPBOARD_TEXT& c, int i) {
    return c.scrambled[2 * i] | (c.scrambled[2 * i + 1] << 8);
  };

  CLIPBOARD_TEXT c126 = make(126);
  EXPECT_EQ(unit(c126, 125), 0x0820);  // rotl5('A')
  EXPECT_EQ(unit(c126, 126), 0);       // terminator
  EXPECT_EQ(unit(c126, 127), 0xEEEE);  // filler

  CLIPBOARD_TEXT c127 = make(127);
  EXPECT_EQ(unit(c127, 126), 0x0820);
  EXPECT_EQ(unit(c127, 127), 0);  // the terminator still fits in the last unit

  CLIPBOARD_TEXT c128 = make(128);
  EXPECT_EQ(unit(c128, 127), 0x0820);  // no room for a terminator
  EXPECT_EQ(ReadClipboardText(c128), std::u16string(128, u'A'));

  CLIPBOARD_TEXT c129 = make(129);
  auto b128 = AsBytes(c128);
  auto b129 = AsBytes(c129);
  EXPECT_TRUE(std::equal(b128.begin(), b128.end(), b129.begin(), b129.end()));
  EXPECT_EQ(B4(b129, 512), 1u);
}
