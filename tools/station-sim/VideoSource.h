#pragma once
// Where the pictures of one video stream come from: the live encoder (test pattern) or a
// pre-encoded clip. One source serves one stream with fixed settings; a settings change makes a new one.
#include <cstdint>
#include <memory>
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

std::unique_ptr<VideoSource> MakeLiveSource(const VideoSettings& settings);
// Chooses the clip whose codec matches settings.codec, else the first; `note` says so.
std::unique_ptr<VideoSource> MakeClipSource(const std::vector<std::shared_ptr<const Clip>>& clips, int codec,
                                            std::string& note);

}  // namespace station
