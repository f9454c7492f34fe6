#include "sov/kcp/KCPNetworkReceivers.h"

#include <utility>

namespace {

template <class T>
std::unique_ptr<T> PopFront(std::deque<std::unique_ptr<T>>& queue) {
  if (queue.empty()) return nullptr;
  std::unique_ptr<T> record = std::move(queue.front());
  queue.pop_front();
  return record;
}

}  // namespace

KCPVideoNetworkReceiver::KCPVideoNetworkReceiver(uint32_t stationAddr, uint16_t port,
                                                 const proto::UDP_CHANNEL_PARAMS& params,
                                                 platform::Event* interrupt)
    : KCPTransportBase(stationAddr, port, params, interrupt),
      parser_(proto::kUdpChannel, [this](proto::RawMessage&& m) {
        if (m.type == proto::kVideoFrame)
          videoFrames_.push_back(std::make_unique<RECTS_INFO>(proto::ToVideoFrame(std::move(m))));
        else if (m.type == proto::kAudioFrame)
          audioFrames_.push_back(std::make_unique<AUDIO_FRAMES>(proto::ToAudioFrame(std::move(m))));
        // No-ops and keep-alives carry nothing.
      }) {}

void KCPVideoNetworkReceiver::DataReceived(const uint8_t* data, std::size_t size) {
  parser_.Feed(data, size);
}

std::unique_ptr<RECTS_INFO> KCPVideoNetworkReceiver::TakeVideoFrame() {
  return PopFront(videoFrames_);
}

std::unique_ptr<AUDIO_FRAMES> KCPVideoNetworkReceiver::TakeAudioFrame() {
  return PopFront(audioFrames_);
}

KCPAudioNetworkReceiver::KCPAudioNetworkReceiver(uint32_t stationAddr, uint16_t port,
                                                 const proto::UDP_CHANNEL_PARAMS& params,
                                                 platform::Event* interrupt)
    : KCPTransportBase(stationAddr, port, params, interrupt),
      parser_(proto::kUdpChannel, [this](proto::RawMessage&& m) {
        if (m.type == proto::kAudioFrame)
          audioFrames_.push_back(std::make_unique<AUDIO_FRAMES>(proto::ToAudioFrame(std::move(m))));
      }) {}

void KCPAudioNetworkReceiver::DataReceived(const uint8_t* data, std::size_t size) {
  parser_.Feed(data, size);
}

std::unique_ptr<AUDIO_FRAMES> KCPAudioNetworkReceiver::TakeAudioFrame() {
  return PopFront(audioFrames_);
}
