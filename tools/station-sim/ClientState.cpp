#include "tools/station-sim/ClientState.h"

namespace station {

ClientState::ClientState(const StationOptions& o) {
  s_.codec = o.codec;
  s_.fps = o.fps;
  s_.bitrate = o.bitrate;
}

ClientSnapshot ClientState::Get() const {
  std::lock_guard lock(mutex_);
  return s_;
}

void ClientState::SetCodec(int codec) {
  std::lock_guard lock(mutex_);
  if (s_.codec != codec) ++s_.videoGeneration;
  s_.codec = codec;
}

void ClientState::SetResolution(int width, int height) {
  std::lock_guard lock(mutex_);
  if (s_.width != width || s_.height != height) ++s_.videoGeneration;
  s_.width = width;
  s_.height = height;
}

void ClientState::SetFrameRate(int fps) {
  std::lock_guard lock(mutex_);
  if (s_.fps != fps) ++s_.videoGeneration;
  s_.fps = fps;
}

void ClientState::SetBitrate(int64_t bitrate) {
  std::lock_guard lock(mutex_);
  if (s_.bitrate != bitrate) ++s_.videoGeneration;
  s_.bitrate = bitrate;
}

void ClientState::SetUdp(const UdpParams& video, const UdpParams& audio) {
  std::lock_guard lock(mutex_);
  s_.udpKnown = true;
  s_.video = video;
  s_.audio = audio;
}

void ClientState::SetPointer(double x, double y) {
  std::lock_guard lock(mutex_);
  s_.pointerX = x;
  s_.pointerY = y;
}

}  // namespace station
