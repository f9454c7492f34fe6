#include "zep/video/VideoDecoder.h"

#include <algorithm>
#include <thread>

#include "sov/base/Log.h"
#include "zep/video/Codecs.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace video {
namespace {

// Slice threads decode parts of one picture at once and add no delay; frame threads would hold
// back one picture per thread.
int DecoderThreads() {
  return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
}

AVPixelFormat HardwareFormat(const AVCodec* codec, AVHWDeviceType type) {
  for (int i = 0;; ++i) {
    const AVCodecHWConfig* config = avcodec_get_hw_config(codec, i);
    if (config == nullptr) return AV_PIX_FMT_NONE;
    if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) && config->device_type == type)
      return config->pix_fmt;
  }
}

// Takes the device's format when the decoder offers it for this stream, else the first software
// format, so that a stream the device cannot decode still decodes.
AVPixelFormat ChooseFormat(AVCodecContext* ctx, const AVPixelFormat* offered) {
  const auto wanted = static_cast<AVPixelFormat>(reinterpret_cast<intptr_t>(ctx->opaque));
  for (const AVPixelFormat* f = offered; *f != AV_PIX_FMT_NONE; ++f)
    if (*f == wanted) return *f;
  for (const AVPixelFormat* f = offered; *f != AV_PIX_FMT_NONE; ++f)
    if (!(av_pix_fmt_desc_get(*f)->flags & AV_PIX_FMT_FLAG_HWACCEL)) return *f;
  return AV_PIX_FMT_NONE;
}

class LibavDecoder final : public IVideoDecoder {
 public:
  LibavDecoder(int codec, const char* name, media::CodecContextPtr ctx)
      : codec_(codec), name_(name), ctx_(std::move(ctx)), packet_(av_packet_alloc()), hw_(av_frame_alloc()) {
    if (!packet_ || !hw_) throw std::bad_alloc();
  }

  int Codec() const override { return codec_; }
  const std::string& Name() const override { return name_; }

  bool Send(const uint8_t* data, std::size_t size) override {
    // The decoder reads up to AV_INPUT_BUFFER_PADDING_SIZE bytes past the end: copy into a
    // padded packet buffer rather than hand it the record's vector.
    if (av_new_packet(packet_.get(), static_cast<int>(size)) < 0) throw std::bad_alloc();
    std::copy_n(data, size, packet_->data);
    const int err = avcodec_send_packet(ctx_.get(), packet_.get());
    av_packet_unref(packet_.get());
    if (err == AVERROR(EAGAIN)) return false;
    if (err < 0) Fail("avcodec_send_packet", err);
    return true;
  }

  bool Receive(AVFrame* out) override {
    AVFrame* target = ctx_->hw_device_ctx ? hw_.get() : out;
    const int err = avcodec_receive_frame(ctx_.get(), target);
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return false;
    if (err < 0) Fail("avcodec_receive_frame", err);
    if (target == out) return true;
    if (target->hw_frames_ctx == nullptr) {  // the stream fell back to software decoding
      av_frame_move_ref(out, target);
      return true;
    }
    // SDL's renderer cannot bind device surfaces, so each picture is transferred once.
    const int t = av_hwframe_transfer_data(out, target, 0);
    if (t >= 0) av_frame_copy_props(out, target);
    av_frame_unref(target);
    if (t < 0) Fail("av_hwframe_transfer_data", t);
    return true;
  }

 private:
  [[noreturn]] void Fail(const char* call, int err) const {
    throw DecodeError(name_ + ": " + call + ": " + media::AvErrorText(err), err == AVERROR_INVALIDDATA);
  }

  int codec_;
  std::string name_;
  media::CodecContextPtr ctx_;
  media::PacketPtr packet_;
  media::FramePtr hw_;
};

media::CodecContextPtr OpenContext(const AVCodec* codec, const DecodePath& path) {
  media::CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) throw std::bad_alloc();
  ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
  ctx->thread_type = FF_THREAD_SLICE;
  ctx->thread_count = DecoderThreads();
  // dav1d pipelines pictures across its threads unless told to hand each one out at once.
  av_opt_set_int(ctx->priv_data, "max_frame_delay", 1, AV_OPT_SEARCH_CHILDREN);
  if (path.Hardware()) {
    const AVPixelFormat hw = HardwareFormat(codec, path.type);
    if (hw == AV_PIX_FMT_NONE) return nullptr;  // this decoder cannot use the device
    ctx->hw_device_ctx = av_buffer_ref(path.device.get());
    if (!ctx->hw_device_ctx) throw std::bad_alloc();
    ctx->opaque = reinterpret_cast<void*>(static_cast<intptr_t>(hw));
    ctx->get_format = ChooseFormat;
  }
  const int err = avcodec_open2(ctx.get(), codec, nullptr);
  if (err < 0) {
    LOGD << "Decoder " << codec->name << " does not open: " << media::AvErrorText(err);
    return nullptr;
  }
  return ctx;
}

}  // namespace

std::string DecodePath::Name() const {
  return Hardware() ? av_hwdevice_get_type_name(type) : "software";
}

std::unique_ptr<IVideoDecoder> OpenVideoDecoder(int codec, const DecodePath& path) {
  for (const char* name : DecoderPreference(codec)) {
    const AVCodec* c = avcodec_find_decoder_by_name(name);
    if (c == nullptr) continue;
    // On a hardware path a decoder that cannot use the device is still better than none.
    media::CodecContextPtr ctx = OpenContext(c, path);
    if (!ctx && path.Hardware()) ctx = OpenContext(c, DecodePath{});
    if (ctx) return std::make_unique<LibavDecoder>(codec, name, std::move(ctx));
  }
  throw DecodeError(std::string("no decoder opens for ") + CodecName(codec), false);
}

}  // namespace video
