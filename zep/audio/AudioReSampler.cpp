#include "zep/audio/AudioReSampler.h"

extern "C" {
#include <libavutil/opt.h>
}

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"

namespace audio {

AudioReSampler::AudioReSampler() {
  staged_.reserve(kBufferSize);
}

void AudioReSampler::SetFormats(const Format& input, const Format& output) {
  const AVSampleFormat inFormat = SampleFormatOf(input);
  const AVSampleFormat outFormat = SampleFormatOf(output);
  AVChannelLayout inLayout = ChannelLayoutOf(input);
  AVChannelLayout outLayout = ChannelLayoutOf(output);
  SwrContext* raw = nullptr;
  int err = swr_alloc_set_opts2(&raw, &outLayout, outFormat, static_cast<int>(output.samplesPerSec),
                                &inLayout, inFormat, static_cast<int>(input.samplesPerSec), 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  av_channel_layout_uninit(&outLayout);
  media::SwrContextPtr swr(raw);
  if (err < 0 || !swr) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  // A long windowed-sinc filter: its cost is paid once per block, and the station's sound is worth it.
  av_opt_set_int(swr.get(), "filter_size", 64, 0);
  av_opt_set_int(swr.get(), "phase_shift", 10, 0);
  av_opt_set_int(swr.get(), "linear_interp", 1, 0);
  av_opt_set_double(swr.get(), "cutoff", 0.97, 0);
  err = swr_init(swr.get());
  if (err < 0) {
    LOGE << "AudioReSampler::SetFormats: " << media::AvErrorText(err);
    throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  }
  swr_ = std::move(swr);
  input_ = input;
  output_ = output;
  staged_.clear();
  LOGD << "AudioReSampler::SetFormats: " << input.samplesPerSec << " Hz " << input.channels << "ch "
       << input.bitsPerSample << " bit -> " << output.samplesPerSec << " Hz " << output.channels << "ch "
       << output.bitsPerSample << " bit";
}

bool AudioReSampler::PutInput(const AUDIO_FRAMES& record) {
  if (record.payload.size() > kBufferSize) {
    LOGE << "AudioReSampler::PutInput: a payload of " << record.payload.size() << " bytes exceeds the "
         << kBufferSize << "-byte buffer; the record is dropped";
    return false;
  }
  staged_.assign(record.payload.begin(), record.payload.end());
  return true;
}

AudioFramesPtr AudioReSampler::TakeOutput(const AUDIO_FRAMES& source) {
  if (!swr_) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  const int inFrames = static_cast<int>(staged_.size() / input_.blockAlign);
  // No input would make swr_convert flush the filter's tail, which belongs to the next record.
  const int room = inFrames > 0 ? swr_get_out_samples(swr_.get(), inFrames) : 0;
  if (room <= 0) {
    staged_.clear();
    return nullptr;
  }
  auto out = std::make_unique<AUDIO_FRAMES>();
  out->payload.resize(static_cast<std::size_t>(room) * output_.blockAlign);
  uint8_t* to = out->payload.data();
  const uint8_t* from = staged_.data();
  const int made = swr_convert(swr_.get(), &to, room, &from, inFrames);
  staged_.clear();
  if (made < 0) {
    LOGE << "AudioReSampler::TakeOutput: " << media::AvErrorText(made);
    throw ErrCodeException(ErrCode::Fail, ZEP_SOURCE, __LINE__);
  }
  if (made == 0) return nullptr;
  out->payload.resize(static_cast<std::size_t>(made) * output_.blockAlign);
  out->header = source.header;
  out->capturePosition = source.capturePosition;
  out->header.frameCount = static_cast<uint32_t>(made);
  out->header.payloadSize = static_cast<uint32_t>(out->payload.size());
  out->header.format = output_;
  return out;
}

}  // namespace audio
