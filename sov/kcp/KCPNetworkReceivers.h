#pragma once
// The UDP channels' KCP receivers: delivered bytes go through the channel's stream parser, and each
// completed record waits in a queue of this object until the channel thread moves it on.
#include <deque>
#include <memory>

#include "sov/kcp/KCPTransport.h"
#include "sov/protocol/StreamParser.h"

class KCPVideoNetworkReceiver : public KCPTransportBase {
 public:
  KCPVideoNetworkReceiver(uint32_t stationAddr, uint16_t port, const proto::UDP_CHANNEL_PARAMS& params,
                          platform::Event* interrupt);

  // The oldest completed record, or null when none waits.
  std::unique_ptr<RECTS_INFO> TakeVideoFrame();
  std::unique_ptr<AUDIO_FRAMES> TakeAudioFrame();
  std::size_t PendingVideoFrames() const { return videoFrames_.size(); }
  std::size_t PendingAudioFrames() const { return audioFrames_.size(); }

 protected:
  // Throws ProtocolException on a message the UDP channels do not carry.
  void DataReceived(const uint8_t* data, std::size_t size) override;

 private:
  proto::StreamParser parser_;
  std::deque<std::unique_ptr<RECTS_INFO>> videoFrames_;
  std::deque<std::unique_ptr<AUDIO_FRAMES>> audioFrames_;
};

class KCPAudioNetworkReceiver : public KCPTransportBase {
 public:
  KCPAudioNetworkReceiver(uint32_t stationAddr, uint16_t port, const proto::UDP_CHANNEL_PARAMS& params,
                          platform::Event* interrupt);

  std::unique_ptr<AUDIO_FRAMES> TakeAudioFrame();
  std::size_t PendingAudioFrames() const { return audioFrames_.size(); }

 protected:
  // Video frames are parsed and discarded: the station may send them on either conversation.
  void DataReceived(const uint8_t* data, std::size_t size) override;

 private:
  proto::StreamParser parser_;
  std::deque<std::unique_ptr<AUDIO_FRAMES>> audioFrames_;
};
