#pragma once
// The decoder thread's chain from a compressed frame to a published picture, and the thread.
#include <cstdint>
#include <functional>
#include <memory>

#include "sov/queue/BlockingQueue.h"
#include "zep/video/ClientArea.h"
#include "zep/video/TripleBuffer.h"
#include "zep/video/VideoDecoder.h"

class StatsTable;
struct RECTS_INFO;

namespace video {

// The session's queue of received video frames (the same type as the session's record queue).
using FrameQueue = BlockingQueue<std::unique_ptr<RECTS_INFO>>;

// Opens a decoder for a codec index; throws when it cannot.
using DecoderFactory = std::function<std::unique_ptr<IVideoDecoder>(int codec)>;

class VideoDecodeChain {
 public:
  VideoDecodeChain(DecoderFactory factory, TripleBuffer& buffer, const ClientArea& area);

  // Makes sure the current decoder decodes `codec`. A decoder that cannot be opened for a new
  // codec leaves the old one in place (false).
  bool RebindDecoder(int codec);
  // Offers the frame's picture: false when the decoder cannot take input now (the caller keeps
  // the frame and offers it again after draining). Throws DecodeError.
  bool FeedInput(const RECTS_INFO& frame);
  // Takes at most one picture out of the decoder and publishes it (or drops it while the client
  // area is empty): false when the decoder needs more input.
  bool DrainOutput(uint64_t stamp);

  const IVideoDecoder* Current() const { return decoder_.get(); }
  uint64_t DroppedPictures() const { return dropped_; }

 private:
  DecoderFactory factory_;
  TripleBuffer& buffer_;
  const ClientArea& area_;
  std::unique_ptr<IVideoDecoder> decoder_;
  media::FramePtr decoded_;
  uint64_t dropped_ = 0;
  uint64_t droppedInARow_ = 0;  // since the last published picture
};

// The decoder loop: pops frames, rebinds on a codec change, feeds and drains, keeps a refused
// frame for the next round, and feeds "Decoder" and "Decoder idle, %". Ends with the queue's
// interruption, or an invalid-argument error for a codec index above 4. Frames the decoder
// rejects as corrupt are dropped with a warning: the picture recovers at the next key frame.
void RunDecoderLoop(FrameQueue& queue, VideoDecodeChain& chain, StatsTable* table);

struct DecoderThreadParams {
  FrameQueue* queue = nullptr;
  StatsTable* table = nullptr;
  TripleBuffer* buffer = nullptr;
  const DecodePath* path = nullptr;
  const ClientArea* area = nullptr;
};
int DecoderThreadProc(DecoderThreadParams params);

}  // namespace video
