#include "zep/video/DecodeChain.h"

#include "platform/HPCWrapper.h"
#include "platform/Thread.h"
#include "sov/base/BaseException.h"
#include "sov/base/Log.h"
#include "sov/base/ThreadProc.h"
#include "sov/protocol/Messages.h"
#include "sov/settings/RunTimeSettings.h"
#include "zep/stats/StatsTable.h"
#include "zep/video/Codecs.h"
#include "zep/video/IdleWindow.h"

namespace video {

VideoDecodeChain::VideoDecodeChain(DecoderFactory factory, TripleBuffer& buffer, const ClientArea& area)
    : factory_(std::move(factory)), buffer_(buffer), area_(area), decoded_(av_frame_alloc()) {
  if (!decoded_) throw std::bad_alloc();
}

bool VideoDecodeChain::RebindDecoder(int codec) {
  if (decoder_ && decoder_->Codec() == codec) return true;
  try {
    std::unique_ptr<IVideoDecoder> next = factory_(codec);
    LOGI << "Video decoder " << next->Name() << " for " << CodecName(codec);
    decoder_ = std::move(next);
    return true;
  } catch (const std::exception& e) {
    LOGE << "RebindDecoder"
         << ": unhandled exception: " << e.what();
    return false;
  }
}

bool VideoDecodeChain::FeedInput(const RECTS_INFO& frame) {
  if (!decoder_) throw DecodeError("no decoder for the stream's codec", false);
  return decoder_->Send(frame.picture.data(), frame.picture.size());
}

bool VideoDecodeChain::DrainOutput(uint64_t stamp) {
  if (!decoder_ || !decoder_->Receive(decoded_.get())) return false;
  int clientW = 0, clientH = 0;
  area_.Get(clientW, clientH);
  const VideoRect source = SourceRect(decoded_->width, decoded_->height);
  const VideoRect dest = DestinationRect(
      source, clientW, clientH, CRunTimeSettings::Get(RunTimeSettings().preserveAspectRatioIndex) != 0);
  if (dest.Empty() || source.Empty()) {
    av_frame_unref(decoded_.get());
    if (droppedInARow_++ == 0) LOGI << "Video pictures dropped: the window has no area";
    ++dropped_;
    return true;
  }
  if (droppedInARow_ != 0) {
    LOGI << "Video pictures shown again after " << droppedInARow_ << " dropped";
    droppedInARow_ = 0;
  }
  Picture& back = buffer_.Back();
  av_frame_unref(back.frame.get());
  av_frame_move_ref(back.frame.get(), decoded_.get());
  back.source = source;
  back.width = dest.Width();
  back.height = dest.Height();
  back.stamp = stamp;
  buffer_.Publish();
  return true;
}

void RunDecoderLoop(FrameQueue& queue, VideoDecodeChain& chain, StatsTable* table) {
  constexpr std::size_t kIdleWindow = 200;
  IdleWindow idle(kIdleWindow);
  std::unique_ptr<RECTS_INFO> pending;
  uint64_t lastStamp = 0;
  int64_t iterationEndUs = HPCWrapper::NowUs();
  for (;;) {
    int64_t waitUs = 0;
    if (!pending) {
      pending = queue.pop();
      waitUs = HPCWrapper::NowUs() - iterationEndUs;
    }
    const int64_t busyStartUs = HPCWrapper::NowUs();
    const int codec = pending->header.codec;
    if (codec >= kCodecCount) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
    if (chain.RebindDecoder(codec) && table) table->SetInt(kStatDecoder, codec);
    try {
      if (chain.FeedInput(*pending)) {
        lastStamp = static_cast<uint64_t>(pending->header.frameStamp);
        pending.reset();
      }
      while (chain.DrainOutput(lastStamp)) {
      }
    } catch (const DecodeError& e) {
      if (!e.Corrupt()) throw;
      // Bad data costs this frame and the pictures that refer to it, not the session.
      LOGW << "DecoderThreadProc: corrupt video frame dropped: " << e.what();
      pending.reset();
    }
    iterationEndUs = HPCWrapper::NowUs();
    const double waitMs = waitUs / 1000.0;
    idle.Add(waitMs, waitMs + (iterationEndUs - busyStartUs) / 1000.0);
    if (table) table->SetReal(kStatDecoderIdle, static_cast<float>(idle.Percent()));
  }
}

int DecoderThreadProc(DecoderThreadParams p) {
  static const char* const kName = "DecoderThreadProc";
  platform::SetThreadName(kName);
  return RunThreadProc(kName, [&] {
    const DecodePath* path = p.path;
    VideoDecodeChain chain([path](int codec) { return OpenVideoDecoder(codec, *path); }, *p.buffer, *p.area);
    // An H.264 stream starts without a rebind.
    chain.RebindDecoder(kCodecH264);
    RunDecoderLoop(*p.queue, chain, p.table);
  });
}

}  // namespace video
