// A tone encoded here with libavcodec's AAC encoder, decoded and resampled by the client's stages.
#include <gtest/gtest.h>

#include <cmath>

#include "zep/audio/AudioDecoderAAC.h"
#include "zep/audio/AudioReSampler.h"

using namespace audio;

namespace {

// AAC frames of a 0.25-amplitude 1 kHz stereo tone at 48 kHz.
std::vector<std::vector<uint8_t>> EncodeTone(int frames) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  media::CodecContextPtr c(avcodec_alloc_context3(codec));
  c->sample_rate = 48000;
  c->sample_fmt = AV_SAMPLE_FMT_FLTP;
  c->bit_rate = 128000;
  av_channel_layout_default(&c->ch_layout, 2);
  EXPECT_EQ(avcodec_open2(c.get(), codec, nullptr), 0);
  media::FramePtr f(av_frame_alloc());
  f->format = AV_SAMPLE_FMT_FLTP;
  f->nb_samples = c->frame_size;
  av_channel_layout_copy(&f->ch_layout, &c->ch_layout);
  av_frame_get_buffer(f.get(), 0);
  media::PacketPtr p(av_packet_alloc());
  std::vector<std::vector<uint8_t>> out;
  for (int n = 0, t = 0; n < frames; ++n) {
    av_frame_make_writable(f.get());
    for (int i = 0; i < f->nb_samples; ++i, ++t)
      for (int ch = 0; ch < 2; ++ch)
        reinterpret_cast<float*>(f->data[ch])[i] =
            static_cast<float>(0.25 * std::sin(2 * M_PI * 1000 * t / 48000));
    f->pts = t;
    avcodec_send_frame(c.get(), f.get());
    while (avcodec_receive_packet(c.get(), p.get()) == 0) {
      out.emplace_back(p->data, p->data + p->size);
      av_packet_unref(p.get());
    }
  }
  return out;
}

template <class Sample>
double Rms(const std::vector<uint8_t>& bytes, double scale) {
  const std::size_t n = bytes.size() / sizeof(Sample);
  const auto* s = reinterpret_cast<const Sample*>(bytes.data());
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += (s[i] / scale) * (s[i] / scale);
  return std::sqrt(sum / static_cast<double>(n));
}

TEST(AudioCodec, DecodedBlocksCarryTheDecodersFormatAndResampleToTheMicrophoneFormat) {
  // The station describes what it captured (16-bit PCM); the decoder gives float samples.
  const Format received = MakeFormat(48000, 2, AV_SAMPLE_FMT_S16);
  AudioDecoderAAC decoder(received);
  AudioReSampler resampler;
  resampler.SetFormats(MakeFormat(48000, 2, AV_SAMPLE_FMT_FLT), MicrophoneFormat());
  std::vector<AudioFramesPtr> decoded;
  uint64_t in = 0, out = 0;
  for (auto& payload : EncodeTone(40)) {
    AUDIO_FRAMES r;
    r.header.format = received;
    r.payload = std::move(payload);
    ASSERT_TRUE(decoder.PutInput(r));
    while (AudioFramesPtr d = decoder.TakeOutput()) {
      EXPECT_EQ(d->header.format.formatTag, kFormatTagFloat);
      EXPECT_EQ(d->header.format.bitsPerSample, 32);
      EXPECT_EQ(d->payload.size(), d->header.frameCount * 8u);
      ASSERT_TRUE(resampler.PutInput(*d));
      AudioFramesPtr s = resampler.TakeOutput(*d);
      in += d->header.frameCount;
      if (s) out += s->header.frameCount;
      if (s && decoded.size() > 10) {
        EXPECT_NEAR(Rms<int16_t>(s->payload, 32768), 0.25 / std::sqrt(2), 0.02);
      }
      decoded.push_back(std::move(d));
    }
  }
  ASSERT_GT(decoded.size(), 30u);
  EXPECT_NEAR(Rms<float>(decoded[20]->payload, 1), 0.25 / std::sqrt(2), 0.02);
  EXPECT_NEAR(static_cast<double>(out), in * 44100.0 / 48000, 200);

  AUDIO_FRAMES huge;
  huge.header.format = decoded[0]->header.format;
  huge.payload.resize(AudioReSampler::kBufferSize + 8);
  EXPECT_FALSE(resampler.PutInput(huge));
}

}  // namespace
