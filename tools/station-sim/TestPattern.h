#pragma once
// The animated picture the station streams: colour bars that move one step a frame, the frame
// number in large digits, and a cross-hair marker where the client last put its absolute pointer.
#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
}

namespace station {

class TestPattern {
 public:
  // `frame` must be an allocated YUV420P frame; pointerX/Y are 0..1, or negative for "no marker".
  static void Draw(AVFrame* frame, uint64_t frameNumber, double pointerX, double pointerY);
};

}  // namespace station
