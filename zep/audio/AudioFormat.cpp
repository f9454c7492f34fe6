#include "zep/audio/AudioFormat.h"

#include <bit>
#include <cstring>

#include "sov/base/BaseException.h"

namespace audio {
namespace {

// KSDATAFORMAT_SUBTYPE_PCM and _IEEE_FLOAT in memory order.
constexpr uint8_t kSubPcm[16] = {0x01, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71};
constexpr uint8_t kSubFloat[16] = {0x03, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71};
constexpr std::size_t kPlainFormatSize = 18;

[[noreturn]] void Unsupported(int line) {
  throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, line);
}

}  // namespace

Format MakeFormat(uint32_t sampleRate, uint16_t channels, AVSampleFormat sampleFormat) {
  const AVSampleFormat packed = av_get_packed_sample_fmt(sampleFormat);
  const bool isFloat = packed == AV_SAMPLE_FMT_FLT || packed == AV_SAMPLE_FMT_DBL;
  const uint16_t bits = static_cast<uint16_t>(av_get_bytes_per_sample(packed) * 8);
  Format f;
  f.channels = channels;
  f.samplesPerSec = sampleRate;
  f.bitsPerSample = bits;
  f.blockAlign = static_cast<uint16_t>(channels * bits / 8);
  f.avgBytesPerSec = sampleRate * f.blockAlign;
  if (channels <= 2) {
    f.formatTag = isFloat ? kFormatTagFloat : kFormatTagPcm;
    return f;
  }
  AVChannelLayout layout{};
  av_channel_layout_default(&layout, channels);
  f.formatTag = kFormatTagExtensible;
  f.cbSize = 22;
  f.validBitsPerSample = bits;
  f.channelMask = layout.order == AV_CHANNEL_ORDER_NATIVE ? static_cast<uint32_t>(layout.u.mask) : 0;
  std::memcpy(f.subFormat, isFloat ? kSubFloat : kSubPcm, 16);
  return f;
}

Format MicrophoneFormat() {
  return MakeFormat(44100, 2, AV_SAMPLE_FMT_S16);
}

AVSampleFormat SampleFormatOf(const Format& format) {
  bool isFloat = false;
  if (format.formatTag == kFormatTagFloat) {
    isFloat = true;
  } else if (format.formatTag == kFormatTagExtensible) {
    if (std::memcmp(format.subFormat, kSubFloat, 16) == 0)
      isFloat = true;
    else if (std::memcmp(format.subFormat, kSubPcm, 16) != 0)
      Unsupported(__LINE__);
  } else if (format.formatTag != kFormatTagPcm) {
    Unsupported(__LINE__);
  }
  if (format.channels == 0 || format.samplesPerSec == 0 ||
      format.blockAlign != format.channels * format.bitsPerSample / 8)
    Unsupported(__LINE__);
  switch (format.bitsPerSample) {
    case 8:
      if (!isFloat) return AV_SAMPLE_FMT_U8;
      break;
    case 16:
      if (!isFloat) return AV_SAMPLE_FMT_S16;
      break;
    case 32:
      return isFloat ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_S32;
    case 64:
      if (isFloat) return AV_SAMPLE_FMT_DBL;
      break;
  }
  Unsupported(__LINE__);
}

AVChannelLayout ChannelLayoutOf(const Format& format) {
  AVChannelLayout layout{};
  if (format.formatTag == kFormatTagExtensible && format.channelMask != 0 &&
      std::popcount(format.channelMask) == format.channels) {
    av_channel_layout_from_mask(&layout, format.channelMask);
  } else {
    av_channel_layout_default(&layout, format.channels);
  }
  return layout;
}

bool SameFormat(const Format& a, const Format& b) {
  const std::size_t n = a.formatTag == kFormatTagExtensible ? sizeof(Format) : kPlainFormatSize;
  return std::memcmp(&a, &b, n) == 0;
}

uint32_t UsableFrames(const AUDIO_FRAMES& r) {
  if (IsSilent(r)) return r.header.frameCount;
  const uint16_t align = r.header.format.blockAlign;
  if (align == 0) return 0;
  const uint64_t inPayload = r.payload.size() / align;
  return static_cast<uint32_t>(std::min<uint64_t>(r.header.frameCount, inPayload));
}

AudioFramesPtr ConvertSilent(const AUDIO_FRAMES& in, const Format& out) {
  auto r = std::make_unique<AUDIO_FRAMES>();
  r->header = in.header;
  r->capturePosition = in.capturePosition;
  const uint32_t inRate = in.header.format.samplesPerSec;
  const uint64_t frames = inRate == 0 ? 0 : uint64_t{in.header.frameCount} * out.samplesPerSec / inRate;
  r->header.frameCount = static_cast<uint32_t>(frames);
  r->header.payloadSize = static_cast<uint32_t>(frames * out.blockAlign);
  r->header.format = out;
  return r;
}

}  // namespace audio
