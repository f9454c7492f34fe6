// Clipboard text cut to the block: never in the middle of a character.
#include <gtest/gtest.h>

#include "zep/input/Clipboard.h"

namespace input {
namespace {

TEST(Clipboard, LongTextIsCutAtACharacterBoundary) {
  // 126 ASCII letters and a character outside the BMP (two units): 128 units do not fit, so the
  // whole pair goes, not half of it.
  std::string text(126, 'a');
  text += "\xF0\x9F\x98\x80";  // U+1F600
  std::u16string units = ClipboardUnits(text);
  EXPECT_EQ(units, std::u16string(126, u'a'));
  // One letter fewer and the pair fits exactly.
  units = ClipboardUnits(text.substr(1));
  ASSERT_EQ(units.size(), 127u);
  EXPECT_EQ(units[125], 0xD83D);
  EXPECT_EQ(units[126], 0xDE00);
  // Three-byte characters: 200 of them are cut to 127, all whole.
  std::string cyrillic;
  for (int i = 0; i < 200; ++i) cyrillic += "\xE2\x82\xAC";  // U+20AC
  EXPECT_EQ(ClipboardUnits(cyrillic), std::u16string(127, u'\u20AC'));
  // Malformed bytes (a cut sequence, a lone continuation, an overlong slash) are replaced.
  EXPECT_EQ(ClipboardUnits("x\xE2\x82"
                           "y\x80\xC0\xAF"),
            u"x\uFFFD\uFFFDy\uFFFD\uFFFD");
}

}  // namespace
}  // namespace input
