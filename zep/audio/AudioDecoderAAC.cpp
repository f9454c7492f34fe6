#include "zep/audio/AudioDecoderAAC.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"

namespace audio {
namespace {

constexpr uint32_t kAacRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                  22050, 16000, 12000, 11025, 8000,  7350};
constexpr uint32_t kAacLowComplexity = 2;

class BitWriter {
 public:
  void Put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      if (used_ % 8 == 0) bytes_.push_back(0);
      if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(0x80 >> (used_ % 8));
      ++used_;
    }
  }
  std::vector<uint8_t> Take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
  int used_ = 0;
};

}  // namespace

std::vector<uint8_t> AacSpecificConfig(uint32_t sampleRate, uint16_t channels) {
  BitWriter w;
  w.Put(kAacLowComplexity, 5);
  const auto* rate = std::find(std::begin(kAacRates), std::end(kAacRates), sampleRate);
  if (rate != std::end(kAacRates)) {
    w.Put(static_cast<uint32_t>(rate - std::begin(kAacRates)), 4);
  } else {
    w.Put(0xF, 4);
    w.Put(sampleRate, 24);
  }
  w.Put(channels == 8 ? 7 : channels, 4);  // channel configuration 7 is 7.1
  w.Put(0, 3);                             // frame length 1024, no core coder, no extension
  return w.Take();
}

AudioDecoderAAC::AudioDecoderAAC(const Format& format) : received_(format) {
  if (format.samplesPerSec == 0 || format.samplesPerSec > 0xFFFFFF || format.channels == 0 ||
      format.channels > 8 || format.channels == 7)
    throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
  if (codec == nullptr) throw ErrCodeException(ErrCode::Fail, ZEP_SOURCE, __LINE__);
  context_.reset(avcodec_alloc_context3(codec));
  packet_.reset(av_packet_alloc());
  frame_.reset(av_frame_alloc());
  if (!context_ || !packet_ || !frame_) throw ErrCodeException(ErrCode::OutOfMemory, ZEP_SOURCE, __LINE__);
  const std::vector<uint8_t> config = AacSpecificConfig(format.samplesPerSec, format.channels);
  context_->extradata = static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (context_->extradata == nullptr) throw ErrCodeException(ErrCode::OutOfMemory, ZEP_SOURCE, __LINE__);
  std::memcpy(context_->extradata, config.data(), config.size());
  context_->extradata_size = static_cast<int>(config.size());
  context_->sample_rate = static_cast<int>(format.samplesPerSec);
  av_channel_layout_default(&context_->ch_layout, format.channels);
  const int err = avcodec_open2(context_.get(), codec, nullptr);
  if (err < 0) {
    LOGE << "AudioDecoderAAC: cannot open the AAC decoder: " << media::AvErrorText(err);
    throw ErrCodeException(ErrCode::Fail, ZEP_SOURCE, __LINE__);
  }
  LOGI << "AudioDecoderAAC: AAC-LC " << format.samplesPerSec << " Hz, " << format.channels << " channels";
}

bool AudioDecoderAAC::PutInput(const AUDIO_FRAMES& record) {
  // An empty packet would tell the decoder that the stream ended.
  if (record.payload.empty()) return true;
  // The packet only borrows the payload: sending copies it into padded memory.
  packet_->data = const_cast<uint8_t*>(record.payload.data());
  packet_->size = static_cast<int>(record.payload.size());
  const int err = avcodec_send_packet(context_.get(), packet_.get());
  packet_->data = nullptr;
  packet_->size = 0;
  if (err == AVERROR(EAGAIN)) return false;
  if (err == AVERROR_INVALIDDATA) {
    LOGE << "AudioDecoderAAC: dropped a broken frame of " << record.payload.size() << " bytes";
    return true;
  }
  if (err < 0) {
    LOGE << "AudioDecoderAAC: decoding failed: " << media::AvErrorText(err);
    throw ErrCodeException(ErrCode::Fail, ZEP_SOURCE, __LINE__);
  }
  capturePosition_ = record.capturePosition;
  return true;
}

AudioFramesPtr AudioDecoderAAC::TakeOutput() {
  for (;;) {
    const int err = avcodec_receive_frame(context_.get(), frame_.get());
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return nullptr;
    if (err == AVERROR_INVALIDDATA) {
      LOGE << "AudioDecoderAAC: dropped a frame that did not decode";
      continue;
    }
    if (err < 0) {
      LOGE << "AudioDecoderAAC: decoding failed: " << media::AvErrorText(err);
      throw ErrCodeException(ErrCode::Fail, ZEP_SOURCE, __LINE__);
    }
    break;
  }
  const AVFrame& f = *frame_;
  const AVSampleFormat sampleFormat = static_cast<AVSampleFormat>(f.format);
  const int channels = f.ch_layout.nb_channels;
  if (channels <= 0 || channels > 8 || f.nb_samples <= 0) {
    av_frame_unref(frame_.get());
    return nullptr;
  }
  // Label the samples with what the decoder made (float planar for libavcodec's AAC), not with the
  // station's capture format: the two usually differ.
  Format made =
      MakeFormat(static_cast<uint32_t>(f.sample_rate), static_cast<uint16_t>(channels), sampleFormat);
  const bool matches = std::memcmp(&made, &received_, offsetof(Format, cbSize)) == 0 &&
                       (made.formatTag != kFormatTagExtensible ||
                        std::memcmp(made.subFormat, received_.subFormat, sizeof made.subFormat) == 0);
  if (matches) made = received_;

  auto out = std::make_unique<AUDIO_FRAMES>();
  const int bytesPerSample = av_get_bytes_per_sample(sampleFormat);
  const std::size_t frames = static_cast<std::size_t>(f.nb_samples);
  out->payload.resize(frames * made.blockAlign);
  if (av_sample_fmt_is_planar(sampleFormat)) {
    uint8_t* to = out->payload.data();
    for (std::size_t i = 0; i < frames; ++i)
      for (int c = 0; c < channels; ++c, to += bytesPerSample)
        std::memcpy(to, f.extended_data[c] + i * bytesPerSample, static_cast<std::size_t>(bytesPerSample));
  } else {
    std::memcpy(out->payload.data(), f.extended_data[0], out->payload.size());
  }
  out->header.frameCount = static_cast<uint32_t>(frames);
  out->header.payloadSize = static_cast<uint32_t>(out->payload.size());
  out->header.format = made;
  out->capturePosition = capturePosition_;
  av_frame_unref(frame_.get());
  return out;
}

}  // namespace audio
