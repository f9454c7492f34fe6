#pragma once
// The 40-byte format blocks that label every audio record, and the record helpers the audio threads
// share: usable frames, silent records and the conversion of a silent record to another rate.
#include <cstdint>
#include <memory>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include "sov/protocol/Messages.h"
#include "sov/queue/BlockingQueue.h"

namespace audio {

// The session's audio queues hold owning handles; whoever holds one owns the record.
using AudioFramesPtr = std::unique_ptr<AUDIO_FRAMES>;
using AudioFramesQueue = BlockingQueue<AudioFramesPtr>;

using Format = proto::WAVE_FORMAT_EXTENSIBLE;

constexpr uint16_t kFormatTagPcm = 1;
constexpr uint16_t kFormatTagFloat = 3;
constexpr uint16_t kFormatTagExtensible = 0xFFFE;

// A packed (interleaved) format block for a libav sample format: plain PCM or float tags up to two
// channels, the extensible form with a channel mask beyond. Planar formats are described as their
// packed twin, which is how the records carry them.
Format MakeFormat(uint32_t sampleRate, uint16_t channels, AVSampleFormat sampleFormat);

// 16-bit PCM, 2 channels, 44 100 Hz: what the station takes from the microphone.
Format MicrophoneFormat();

// The packed libav sample format a block describes. Unsupported tags, sub-formats or sample sizes
// throw ErrCodeException(ErrCode::InvalidArg).
AVSampleFormat SampleFormatOf(const Format& format);
// The channel layout a block describes (its mask when it fits the channel count, else the default).
AVChannelLayout ChannelLayoutOf(const Format& format);

// Byte comparison of the meaningful part (18 bytes unless the tag is the extensible one).
bool SameFormat(const Format& a, const Format& b);

inline bool IsSilent(const AUDIO_FRAMES& r) {
  return (r.header.bufferFlags & proto::kAudioBufferFlagSilent) != 0;
}
// Frames a record really holds: a silent record its count; otherwise no more than its payload has.
uint32_t UsableFrames(const AUDIO_FRAMES& r);

// The silent record that stands for `in` in format `out`: the same header with the frame count
// scaled by the two sample rates (integer division), its byte size in `out`, and no payload.
AudioFramesPtr ConvertSilent(const AUDIO_FRAMES& in, const Format& out);

}  // namespace audio
