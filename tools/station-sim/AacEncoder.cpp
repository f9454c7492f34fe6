#include "tools/station-sim/AacEncoder.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace station {

AacEncoder::AacEncoder(double toneHz, int64_t bitrate) : toneHz_(toneHz) {
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (!codec) throw std::runtime_error("the aac encoder is not built in");
  ctx_.reset(avcodec_alloc_context3(codec));
  ctx_->sample_rate = kSampleRate;
  ctx_->sample_fmt = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_default(&ctx_->ch_layout, kChannels);
  ctx_->bit_rate = bitrate;
  ctx_->profile = FF_PROFILE_AAC_LOW;
  int err = avcodec_open2(ctx_.get(), codec, nullptr);
  if (err < 0) throw std::runtime_error("cannot open the aac encoder: " + media::AvErrorText(err));
  frame_.reset(av_frame_alloc());
  frame_->format = AV_SAMPLE_FMT_FLTP;
  frame_->sample_rate = kSampleRate;
  av_channel_layout_copy(&frame_->ch_layout, &ctx_->ch_layout);
  frame_->nb_samples = ctx_->frame_size;
  if (av_frame_get_buffer(frame_.get(), 0) < 0) throw std::runtime_error("cannot allocate audio samples");
  packet_.reset(av_packet_alloc());
}

std::vector<std::vector<uint8_t>> AacEncoder::NextFrames() {
  if (av_frame_make_writable(frame_.get()) < 0) throw std::runtime_error("audio frame not writable");
  const int n = frame_->nb_samples;
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(samplesDone_ + i) / kSampleRate;
    const float s = static_cast<float>(0.25 * std::sin(2 * M_PI * toneHz_ * t));
    reinterpret_cast<float*>(frame_->data[0])[i] = s;
    reinterpret_cast<float*>(frame_->data[1])[i] = s;
  }
  frame_->pts = samplesDone_;
  samplesDone_ += n;
  int err = avcodec_send_frame(ctx_.get(), frame_.get());
  if (err < 0) throw std::runtime_error("aac encoding failed: " + media::AvErrorText(err));
  std::vector<std::vector<uint8_t>> out;
  while (avcodec_receive_packet(ctx_.get(), packet_.get()) == 0) {
    out.emplace_back(packet_->data, packet_->data + packet_->size);
    av_packet_unref(packet_.get());
  }
  return out;
}

std::vector<uint8_t> AacEncoder::SpecificConfig() const {
  if (!ctx_->extradata) return {};
  return std::vector<uint8_t>(ctx_->extradata, ctx_->extradata + ctx_->extradata_size);
}

}  // namespace station

namespace station {

std::vector<uint8_t> AdtsHeader(std::size_t payloadSize) {
  const std::size_t len = payloadSize + 7;
  const int profile = 1;    // AAC-LC (object type 2) minus one
  const int rateIndex = 3;  // 48000 Hz
  const int channels = 2;
  return {0xFF,
          0xF1,  // MPEG-4, layer 0, no CRC
          static_cast<uint8_t>((profile << 6) | (rateIndex << 2) | (channels >> 2)),
          static_cast<uint8_t>(((channels & 3) << 6) | ((len >> 11) & 3)),
          static_cast<uint8_t>((len >> 3) & 0xFF),
          static_cast<uint8_t>(((len & 7) << 5) | 0x1F),
          0xFC};
}

}  // namespace station
