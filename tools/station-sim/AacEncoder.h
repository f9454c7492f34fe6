#pragma once
// A steady tone encoded as raw AAC-LC (no ADTS), 48 kHz stereo, one 1024-sample frame at a time.
#include <cstdint>
#include <vector>

#include "zep/media/AvHandles.h"

namespace station {

class AacEncoder {
 public:
  static constexpr int kSampleRate = 48000;
  static constexpr int kChannels = 2;

  AacEncoder(double toneHz = 440.0, int64_t bitrate = 128000);
  int FrameSamples() const { return ctx_->frame_size; }
  // The next coded frames of the tone (the first calls may give none while the encoder primes).
  std::vector<std::vector<uint8_t>> NextFrames();
  // The AudioSpecificConfig the encoder reports (2 bytes for AAC-LC).
  std::vector<uint8_t> SpecificConfig() const;

 private:
  media::CodecContextPtr ctx_;
  media::FramePtr frame_;
  media::PacketPtr packet_;
  double toneHz_;
  int64_t samplesDone_ = 0;
};

}  // namespace station

namespace station {
// The 7-byte ADTS header for one AAC-LC frame of `payloadSize` bytes at 48 kHz stereo.
std::vector<uint8_t> AdtsHeader(std::size_t payloadSize);
}  // namespace station
