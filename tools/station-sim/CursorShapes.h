#pragma once
// Pointer shapes of the three kinds the client turns into cursors, and the order the station
// cycles through them (shapes interleaved with visibility changes that carry no shape).
#include <cstdint>
#include <vector>

namespace station {

struct CursorUpdate {
  uint32_t type = 0;  // 1 monochrome, 2 colour, 4 masked colour; 0 with no shape
  uint32_t width = 0;
  uint32_t height = 0;  // monochrome: AND and XOR masks stacked
  uint32_t pitch = 0;
  int32_t hotX = 0;
  int32_t hotY = 0;
  bool visible = true;
  std::vector<uint8_t> shape;  // empty: visibility change only
};

CursorUpdate MonochromeArrow();
CursorUpdate ColourArrow();
CursorUpdate MaskedColourBlock();
// Step n of the schedule: arrow (mono), hide, show, colour, masked colour, and around again.
CursorUpdate ScheduledCursor(uint64_t step);

}  // namespace station
