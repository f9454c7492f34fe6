#pragma once
// What one client (known by its GUID) has asked for on its API channel; the media channels of
// the same client read it to shape their streams.
#include <cstdint>
#include <mutex>

#include "tools/station-sim/Options.h"

namespace station {

// One 36-byte record of the UDP channel parameters message (type 26).
struct UdpParams {
  uint32_t conv = 0;
  uint32_t mode = 1;  // 1 TCP, 2 KCP over UDP
  uint32_t sliceSize = 0;
  uint32_t packetSize = 0;
  uint32_t sendWnd = 0;
  uint32_t recvWnd = 0;
  uint32_t forceFlush = 0;
  uint32_t recvBuf = 0;
  uint32_t sendBuf = 0;
  bool operator==(const UdpParams&) const = default;
};

struct ClientSnapshot {
  int codec = 0;
  int width = 0;  // requested; 0 = the station's own size
  int height = 0;
  int fps = 30;
  int64_t bitrate = 0;
  bool udpKnown = false;
  UdpParams video;
  UdpParams audio;
  double pointerX = -1;
  double pointerY = -1;
  uint64_t videoGeneration = 0;  // bumped by every change that needs a new encoder
};

class ClientState {
 public:
  explicit ClientState(const StationOptions& o);
  ClientSnapshot Get() const;
  void SetCodec(int codec);
  void SetResolution(int width, int height);
  void SetFrameRate(int fps);
  void SetBitrate(int64_t bitrate);
  void SetUdp(const UdpParams& video, const UdpParams& audio);
  void SetPointer(double x, double y);

 private:
  mutable std::mutex mutex_;  // guards s_
  ClientSnapshot s_;
};

}  // namespace station
