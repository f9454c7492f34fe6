#include "tools/station-sim/TestPattern.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace station {
namespace {

struct Yuv {
  uint8_t y, u, v;
};

// White, yellow, cyan, green, magenta, red, blue, black (BT.601 limited range).
constexpr Yuv kBars[8] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                          {106, 202, 222}, {81, 90, 240},  {41, 240, 110}, {16, 128, 128}};

// 3x5 digit glyphs, one row per 3 bits.
constexpr uint8_t kDigits[10][5] = {{7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7},
                                    {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1},
                                    {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}};

void FillRect(AVFrame* f, int x0, int y0, int w, int h, Yuv c) {
  int x1 = std::min(f->width, x0 + w), y1 = std::min(f->height, y0 + h);
  x0 = std::max(0, x0);
  y0 = std::max(0, y0);
  if (x0 >= x1 || y0 >= y1) return;
  for (int y = y0; y < y1; ++y) std::memset(f->data[0] + y * f->linesize[0] + x0, c.y, x1 - x0);
  for (int y = y0 / 2; y < (y1 + 1) / 2; ++y) {
    std::memset(f->data[1] + y * f->linesize[1] + x0 / 2, c.u, (x1 + 1) / 2 - x0 / 2);
    std::memset(f->data[2] + y * f->linesize[2] + x0 / 2, c.v, (x1 + 1) / 2 - x0 / 2);
  }
}

}  // namespace

void TestPattern::Draw(AVFrame* f, uint64_t frameNumber, double pointerX, double pointerY) {
  const int w = f->width, h = f->height;
  // Bars: eight columns scrolling left by 1/64 of the width per frame.
  const int barW = std::max(1, w / 8);
  const int shift = static_cast<int>((frameNumber * std::max(1, w / 64)) % (barW * 8));
  for (int x = 0; x < w; x += 2) {
    const Yuv c = kBars[((x + shift) / barW) % 8];
    for (int y = 0; y < h; ++y) f->data[0][y * f->linesize[0] + x] = c.y;
    if (x + 1 < w)
      for (int y = 0; y < h; ++y) f->data[0][y * f->linesize[0] + x + 1] = c.y;
    for (int y = 0; y < (h + 1) / 2; ++y) {
      f->data[1][y * f->linesize[1] + x / 2] = c.u;
      f->data[2][y * f->linesize[2] + x / 2] = c.v;
    }
  }
  // Frame number: eight decimal digits on a black band at the top left.
  const int cell = std::max(2, h / 60);
  char digits[9];
  snprintf(digits, sizeof digits, "%08llu", static_cast<unsigned long long>(frameNumber % 100000000ULL));
  FillRect(f, 0, 0, (8 * 4 + 1) * cell, 7 * cell, kBars[7]);
  for (int i = 0; i < 8; ++i) {
    const uint8_t* glyph = kDigits[digits[i] - '0'];
    for (int row = 0; row < 5; ++row)
      for (int col = 0; col < 3; ++col)
        if (glyph[row] & (4 >> col))
          FillRect(f, (1 + i * 4 + col) * cell, (1 + row) * cell, cell, cell, kBars[0]);
  }
  // Pointer marker: a black-edged white cross.
  if (pointerX >= 0 && pointerY >= 0) {
    const int cx = static_cast<int>(std::min(pointerX, 1.0) * (w - 1));
    const int cy = static_cast<int>(std::min(pointerY, 1.0) * (h - 1));
    const int arm = std::max(6, h / 40), thick = std::max(2, h / 240);
    FillRect(f, cx - arm - 1, cy - thick - 1, 2 * arm + 2, 2 * thick + 2, kBars[7]);
    FillRect(f, cx - thick - 1, cy - arm - 1, 2 * thick + 2, 2 * arm + 2, kBars[7]);
    FillRect(f, cx - arm, cy - thick, 2 * arm, 2 * thick, kBars[0]);
    FillRect(f, cx - thick, cy - arm, 2 * thick, 2 * arm, kBars[0]);
  }
}

}  // namespace station
