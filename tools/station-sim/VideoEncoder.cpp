#include "tools/station-sim/VideoEncoder.h"

#include <algorithm>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/opt.h>
}

namespace station {
namespace {

struct DictDeleter {
  void operator()(AVDictionary* d) const { av_dict_free(&d); }
};

struct Candidate {
  const char* encoder;
  const char* options;  // "key=value" pairs separated by '|'
};

std::vector<Candidate> Candidates(int codec) {
  switch (codec) {
    case 0:
      return {{"libx264", "preset=ultrafast|tune=zerolatency|forced-idr=1"}};
    case 1:
      return {
          {"libx265",
           "preset=ultrafast|tune=zerolatency|forced-idr=1|x265-params=log-level=error:slices=4:bframes=0"}};
    case 2:
      return {{"libaom-av1", "usage=realtime|cpu-used=8|lag-in-frames=0|row-mt=1|tile-columns=1|tile-rows=1"},
              {"libsvtav1", "preset=12|svtav1-params=pred-struct=1:tile-columns=1"}};
    case 3:
      return {{"libvpx", "deadline=realtime|cpu-used=16|lag-in-frames=0"}};
    case 4:
      return {{"libvpx-vp9", "deadline=realtime|cpu-used=8|lag-in-frames=0|row-mt=1|tile-columns=2"}};
    default:
      return {};
  }
}

}  // namespace

const char* CodecName(int codec) {
  static const char* names[kCodecCount] = {"h264", "hevc", "av1", "vp8", "vp9"};
  return codec >= 0 && codec < kCodecCount ? names[codec] : "unknown";
}

VideoEncoder::VideoEncoder(const VideoSettings& settings) : settings_(settings), packet_(av_packet_alloc()) {
  // Encoders want even sizes; keep the picture within sensible bounds. libx265 crashes on a picture
  // one coding-tree unit (64 pixels) wide, and the client may ask for any width.
  settings_.width = std::clamp(settings_.width & ~1, 128, 4096);
  settings_.height = std::clamp(settings_.height & ~1, 64, 2304);
  settings_.fps = std::clamp(settings_.fps, 1, 240);
  settings_.bitrate = std::clamp<int64_t>(settings_.bitrate, 100000, 400000000);
  std::string failures;
  auto candidates = Candidates(settings_.codec);
  if (candidates.empty()) throw std::runtime_error("unknown codec number " + std::to_string(settings_.codec));
  for (const Candidate& cand : candidates) {
    const AVCodec* codec = avcodec_find_encoder_by_name(cand.encoder);
    if (!codec) {
      failures += std::string(cand.encoder) + ": not built in; ";
      continue;
    }
    media::CodecContextPtr ctx(avcodec_alloc_context3(codec));
    ctx->width = settings_.width;
    ctx->height = settings_.height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, settings_.fps};
    ctx->framerate = AVRational{settings_.fps, 1};
    ctx->bit_rate = settings_.bitrate;
    if (std::string(cand.encoder) == "libx264") {
      // A small VBV keeps every picture near the per-frame budget, as a streaming encoder should.
      ctx->rc_max_rate = settings_.bitrate;
      ctx->rc_buffer_size =
          static_cast<int>(std::min<int64_t>(settings_.bitrate / settings_.fps * 2, INT32_MAX));
    }
    ctx->max_b_frames = 0;
    ctx->gop_size = settings_.keyIntervalFrames > 0 ? settings_.keyIntervalFrames : settings_.fps * 2;
    ctx->slices = 4;
    ctx->thread_count = std::max(1, settings_.threads);
    ctx->thread_type = FF_THREAD_SLICE;
    AVDictionary* raw = nullptr;
    std::string opts = cand.options;
    for (std::size_t pos = 0; pos < opts.size();) {
      std::size_t end = opts.find('|', pos);
      if (end == std::string::npos) end = opts.size();
      std::string kv = opts.substr(pos, end - pos);
      std::size_t eq = kv.find('=');
      av_dict_set(&raw, kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str(), 0);
      pos = end + 1;
    }
    std::unique_ptr<AVDictionary, DictDeleter> dict(raw);
    AVDictionary* d = dict.release();
    int err = avcodec_open2(ctx.get(), codec, &d);
    dict.reset(d);
    if (err < 0) {
      failures += std::string(cand.encoder) + ": " + media::AvErrorText(err) + "; ";
      continue;
    }
    ctx_ = std::move(ctx);
    encoderName_ = cand.encoder;
    return;
  }
  throw std::runtime_error("no encoder for " + std::string(CodecName(settings_.codec)) +
                           " opened: " + failures);
}

media::FramePtr VideoEncoder::MakeFrame() const {
  media::FramePtr frame(av_frame_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = settings_.width;
  frame->height = settings_.height;
  if (av_frame_get_buffer(frame.get(), 32) < 0) throw std::runtime_error("cannot allocate a picture");
  return frame;
}

std::vector<std::vector<uint8_t>> VideoEncoder::Encode(AVFrame* frame, int64_t pts) {
  frame->pts = pts;
  int err = avcodec_send_frame(ctx_.get(), frame);
  if (err < 0) throw std::runtime_error("encoding failed: " + media::AvErrorText(err));
  return Drain();
}

std::vector<std::vector<uint8_t>> VideoEncoder::Flush() {
  avcodec_send_frame(ctx_.get(), nullptr);
  return Drain();
}

std::vector<std::vector<uint8_t>> VideoEncoder::Drain() {
  std::vector<std::vector<uint8_t>> out;
  for (;;) {
    int err = avcodec_receive_packet(ctx_.get(), packet_.get());
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) break;
    if (err < 0) throw std::runtime_error("encoding failed: " + media::AvErrorText(err));
    out.emplace_back(packet_->data, packet_->data + packet_->size);
    av_packet_unref(packet_.get());
  }
  return out;
}

}  // namespace station
