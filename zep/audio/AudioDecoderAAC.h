#pragma once
// AAC to PCM with libavcodec. The stream is raw AAC-LC described by the first record's format
// block (an AudioSpecificConfig is built from its rate and channels); payloads that carry ADTS
// headers are read from those instead.
#include "zep/audio/AudioFormat.h"
#include "zep/media/AvHandles.h"

namespace audio {

class AudioDecoderAAC {
 public:
  // Throws ErrCodeException when the format cannot describe an AAC stream or no decoder opens.
  explicit AudioDecoderAAC(const Format& format);

  // Offers a record's payload: false when the decoder wants its output taken first (the caller
  // keeps the record). A payload the decoder rejects as broken is logged and counts as taken.
  bool PutInput(const AUDIO_FRAMES& record);
  // One decoded block, labelled with the format the decoder produced, or none.
  AudioFramesPtr TakeOutput();

 private:
  Format received_;
  media::CodecContextPtr context_;
  media::PacketPtr packet_;
  media::FramePtr frame_;
  uint64_t capturePosition_ = 0;  // of the latest input, carried to its output
};

// The two-byte (or, for an unlisted rate, five-byte) AudioSpecificConfig of AAC-LC.
std::vector<uint8_t> AacSpecificConfig(uint32_t sampleRate, uint16_t channels);

}  // namespace audio
