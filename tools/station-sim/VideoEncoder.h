#pragma once
// Live low-latency video encoding with libavcodec in one of the five codecs the client decodes:
// no B-frames, no look-ahead, several slices (or tiles) per picture, headers repeated on key frames.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "zep/media/AvHandles.h"

namespace station {

// Codec numbers as the client sends them (type 22) and as the frame header carries them.
enum class VideoCodec : int { H264 = 0, Hevc = 1, Av1 = 2, Vp8 = 3, Vp9 = 4 };
constexpr int kCodecCount = 5;
const char* CodecName(int codec);

struct VideoSettings {
  int codec = 0;
  int width = 1280;
  int height = 720;
  int fps = 30;
  int64_t bitrate = 20971520;
  int threads = 1;
  int keyIntervalFrames = 0;  // 0: two seconds of frames
};

class VideoEncoder {
 public:
  // Tries the encoders for the codec in order; throws std::runtime_error when none opens.
  explicit VideoEncoder(const VideoSettings& settings);

  const std::string& EncoderName() const { return encoderName_; }
  const VideoSettings& Settings() const { return settings_; }
  // Encodes `frame` (YUV420P of the configured size); returns the coded pictures that came out.
  std::vector<std::vector<uint8_t>> Encode(AVFrame* frame, int64_t pts);
  // Drains what the encoder still holds.
  std::vector<std::vector<uint8_t>> Flush();
  // A picture of the right size and format to draw into.
  media::FramePtr MakeFrame() const;

 private:
  std::vector<std::vector<uint8_t>> Drain();

  VideoSettings settings_;
  std::string encoderName_;
  media::CodecContextPtr ctx_;
  media::PacketPtr packet_;
};

}  // namespace station
