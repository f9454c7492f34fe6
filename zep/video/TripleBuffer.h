#pragma once
// The hand-off of decoded pictures from the decoder thread (writer) to the presenter (reader).
// Neither side waits for the other: the writer always has a record to fill, the reader always
// takes the newest published one, and pictures overwritten before they were shown are counted.
// Records hold the decoder's frames by reference; nothing is copied here.
#include <array>
#include <atomic>
#include <cstdint>

#include "platform/Event.h"
#include "zep/media/AvHandles.h"
#include "zep/video/Rectangles.h"

namespace video {

struct Picture {
  media::FramePtr frame;  // a reference to the decoder's frame (system memory planes)
  VideoRect source;       // the part of the frame to show
  int width = 0;          // size on screen, before the presenter's quad scale
  int height = 0;
  uint64_t stamp = 0;     // the station's stamp of the video frame
  uint64_t sequence = 0;  // publish order, 1 for the first picture
};

class TripleBuffer {
 public:
  TripleBuffer();
  TripleBuffer(const TripleBuffer&) = delete;
  TripleBuffer& operator=(const TripleBuffer&) = delete;

  // Writer side: the record to fill, then Publish to hand it over.
  Picture& Back() { return *back_; }
  void Publish();
  // Reader side, after the frame-ready event: the newest published picture, or null when the
  // wake was for a picture already taken (the event is signalled after the exchange, so a reader
  // can take a picture before the signal that announced it arrives).
  Picture* AcquireFront();
  platform::Event& FrameReady() { return frameReady_; }

  // Pictures published and never acquired, starting at -2.
  int32_t Counter() const { return counter_.load(std::memory_order_relaxed); }
  // What "Render frame drops" shows: the counter, 0 while negative.
  int32_t Drops() const { return Counter() < 0 ? 0 : Counter(); }

 private:
  std::atomic<int32_t> counter_{-2};
  platform::Event frameReady_{false};
  std::array<Picture, 3> records_;
  Picture* back_ = &records_[0];   // writer only
  Picture* front_ = &records_[1];  // reader only
  std::atomic<Picture*> ready_{&records_[2]};
  uint64_t published_ = 0;  // writer only
  uint64_t taken_ = 0;      // reader only: the sequence of the front record
};

}  // namespace video
