// Stream key and clipboard scrambling: vectors computed by hand and round trips.
#include <gtest/gtest.h>

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

}  // namespace

TEST(StreamKey, ShortKeyByHand) {
  STREAM_KEY k = MakeStreamKey(std::string_view("AB"), Counter(0x80, 32, 0x40));
  EXPECT_EQ(k.present, 1);
  EXPECT_EQ(k.pad[0], 0x80);
  EXPECT_EQ(k.pad[31], 0x9F);
  EXPECT_EQ(k.scrambled[0], 'A' ^ 0x80);  // 0xC1
  EXPECT_EQ(k.scrambled[0], 0xC1);
  EXPECT_EQ(k.scrambled[1], 0xC3);  // 'B' ^ 0x81
  EXPECT_EQ(k.scrambled[2], 0x82);  // the terminating zero ^ P[2]
  EXPECT_EQ(k.scrambled[3], 0x43);  // untouched filler
  EXPECT_EQ(ReadStreamKey(k), "AB");
}

TEST(StreamKey, LengthBoundaries) {
  std::string key40(40, 'k');
  for (int i = 0; i < 40; ++i) key40[i] = static_cast<char>('a' + i % 26);
  STREAM_KEY k = MakeStreamKey(std::string_view(key40));
  // Cut to its first 32 bytes, with no terminating zero.
  EXPECT_EQ(ReadStreamKey(k), key40.substr(0, 32));
  for (int i = 0; i < 32; ++i) EXPECT_EQ(k.scrambled[i] ^ k.pad[i], static_cast<uint8_t>(key40[i]));

  std::string key31 = key40.substr(0, 31);
  k = MakeStreamKey(std::string_view(key31));
  EXPECT_EQ(k.scrambled[31] ^ k.pad[31], 0);  // the zero in the 32nd position
  EXPECT_EQ(ReadStreamKey(k), key31);

  k = MakeStreamKey(std::string_view(""));
  EXPECT_EQ(k.present, 1);
  EXPECT_EQ(ReadStreamKey(k), "");
}

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

TEST(Clipboard, LongTextIsCutTo128Units) {
  std::u16string text;
  for (int i = 0; i < 200; ++i) text.push_back(static_cast<char16_t>(0x400 + i));
  CLIPBOARD_TEXT c = MakeClipboardText(text, 0);
  EXPECT_EQ(ReadClipboardText(c), text.substr(0, 128));
  std::u16string exact(127, u'z');
  EXPECT_EQ(ReadClipboardText(MakeClipboardText(exact, 0)), exact);
}
