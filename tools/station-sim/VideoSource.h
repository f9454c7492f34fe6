#pragma once
// Where the pictures of one video stream come from: the live encoder (test pattern) or a
// pre-encoded clip. One source serves one stream with fixed settings; a settings change makes a new one.
#include <compare>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/station-sim/ClipFile.h"
#include "tools/station-sim/VideoEncoder.h"

namespace station {

struct CodedPicture {
  int codec = 0;
  std::vector<uint8_t> data;
  int64_t stamp = 0;  // StationMicros: when the picture was drawn (live) or is sent (clip)
  uint64_t number = 0;
};

class VideoSource {
 public:
  virtual ~VideoSource() = default;
  virtual std::string Describe() const = 0;
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  // The next picture; `pointerX/Y` place the marker (0..1, negative for none). May return
  // false when the encoder produced nothing this time.
  virtual bool Next(double pointerX, double pointerY, CodedPicture& out) = 0;
};

// Thrown when a stream would need a live encoder beyond the pool's limit.
struct EncoderLimit : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class SharedEncoder;

// Live encoders shared by the streams that ask for the same codec, size, rate and bitrate, so that a
// crowd of clients costs one encoder, not one each. An encoder goes, and its memory back to the
// system, with the last stream that uses it.
class EncoderPool {
 public:
  explicit EncoderPool(int maxEncoders) : max_(maxEncoders) {}
  // Throws EncoderLimit when a new encoder would pass the limit, std::runtime_error when none opens.
  std::shared_ptr<SharedEncoder> Acquire(const VideoSettings& settings);
  int Max() const { return max_; }

 private:
  struct Key {
    int codec, width, height, fps;
    int64_t bitrate;
    auto operator<=>(const Key&) const = default;
  };
  std::mutex mutex_;  // guards encoders_
  std::map<Key, std::weak_ptr<SharedEncoder>> encoders_;
  int max_;
};

std::unique_ptr<VideoSource> MakeLiveSource(EncoderPool& pool, const VideoSettings& settings);
// Chooses the clip whose codec matches settings.codec, else the first; `note` says so.
std::unique_ptr<VideoSource> MakeClipSource(const std::vector<std::shared_ptr<const Clip>>& clips, int codec,
                                            std::string& note);

}  // namespace station
