// The KCP channels over UDP. Both run at all times; the transport setting only changes the mode
// fields the station is told, and with them which rates are published.
#include <arpa/inet.h>

#include <memory>

#include "platform/HPCWrapper.h"
#include "platform/Thread.h"
#include "sov/base/Log.h"
#include "sov/base/ThreadProc.h"
#include "sov/kcp/KCPNetworkReceivers.h"
#include "zep/channels/ChannelThreads.h"

namespace {

constexpr int64_t kKeepAliveIntervalMs = 1000;
constexpr uint32_t kModeKcp = 2;

uint32_t StationAddressOf(const std::string& dotted) {
  in_addr addr{};
  if (::inet_pton(AF_INET, dotted.c_str(), &addr) != 1)
    throw TransportException(EINVAL, ZEP_SOURCE, __LINE__);
  return addr.s_addr;
}

const proto::UDP_CHANNEL_PARAMS& ChannelParams(const proto::UDP_PARAMETERS& all, KcpChannel channel) {
  return channel == KcpChannel::Video ? all.video : all.audio;
}

void SendKeepAlive(KCPTransportBase& transport) {
  const uint8_t keepAlive = proto::kKeepAlive;
  transport.Send(&keepAlive, 1);  // flushes at once when the record asks for it
}

// The loop both UDP channels share; Receiver is KCPVideoNetworkReceiver or KCPAudioNetworkReceiver
// and drain() moves its completed records on.
template <class Receiver, class Drain>
void UdpLoop(const char* name, ChannelContext& context, KcpChannel channel, uint32_t port, Drain&& drain) {
  platform::RaiseThreadPriority(name);
  platform::Event& interrupt = context.shared.interrupt;
  const uint32_t stationAddr = StationAddressOf(context.station.address);
  std::unique_ptr<Receiver> transport;
  uint32_t seenConv = 0;
  int64_t lastKeepAliveMs = 0;
  for (;;) {
    ThrowIfInterrupted(interrupt);
    try {
      const proto::UDP_PARAMETERS current = context.shared.udp.Current();
      const proto::UDP_CHANNEL_PARAMS& params = ChannelParams(current, channel);
      if (params.conv != seenConv) {
        seenConv = params.conv;
        transport.reset();  // a new conversation starts from scratch
      }
      if (!transport) {
        transport = std::make_unique<Receiver>(stationAddr, static_cast<uint16_t>(port), params, &interrupt);
        LOGD << name << ": KCP conversation " << params.conv << " towards port " << port;
        SendKeepAlive(*transport);
        lastKeepAliveMs = HPCWrapper::NowMs();
      }
      const int64_t now = HPCWrapper::NowMs();
      if (now - lastKeepAliveMs > kKeepAliveIntervalMs) {
        SendKeepAlive(*transport);
        lastKeepAliveMs = now;
        if (params.transportMode == kModeKcp)
          context.stats.KcpReceiveRate(channel, transport->AverageReceiveRateMbps());
      }
      transport->Step();
      drain(*transport);
    } catch (const TransportException& e) {
      context.stats.KcpReceiveRate(channel, 0);
      if (channel == KcpChannel::Video && context.shared.udp.Current().video.transportMode == kModeKcp)
        context.shared.videoAlive.exchange(0);
      if (channel == KcpChannel::Audio) LOGD << name << ": " << e.what();
      transport.reset();
      PauseBeforeRetry(interrupt);
    }
  }
}

}  // namespace

int VideoNetworkUdpThreadProc(ChannelContext& context) {
  static const char* const kName = "VideoNetworkUdpThreadProc";
  platform::SetThreadName(kName);
  return RunThreadProc(kName, [&] {
    UdpLoop<KCPVideoNetworkReceiver>(kName, context, KcpChannel::Video, context.station.udpVideoPort,
                                     [&](KCPVideoNetworkReceiver& t) {
                                       while (auto frame = t.TakeVideoFrame()) {
                                         context.stats.VideoFrameReceived();
                                         context.shared.videoAlive.exchange(1);
                                         Deliver(context.videoFrames, std::move(frame));
                                       }
                                       while (auto audio = t.TakeAudioFrame())
                                         Deliver(context.receivedAudio, std::move(audio));
                                     });
  });
}

int AudioNetworkUdpThreadProc(ChannelContext& context) {
  static const char* const kName = "AudioNetworkUdpThreadProc";
  platform::SetThreadName(kName);
  return RunThreadProc(kName, [&] {
    UdpLoop<KCPAudioNetworkReceiver>(kName, context, KcpChannel::Audio, context.station.udpAudioPort,
                                     [&](KCPAudioNetworkReceiver& t) {
                                       while (auto audio = t.TakeAudioFrame())
                                         Deliver(context.receivedAudio, std::move(audio));
                                     });
  });
}
