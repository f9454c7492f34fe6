// The KCP channels over UDP. Both run at all times; the transport setting only changes the mode
// fields the station is told, and with them which rates are published.
#include <memory>

#include "platform/HPCWrapper.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "sov/base/Log.h"
#include "sov/base/ThreadProc.h"
#include "sov/kcp/KCPNetworkReceivers.h"
#include "zep/channels/ChannelStats.h"
#include "zep/channels/ChannelThreads.h"

namespace {

constexpr int64_t kKeepAliveIntervalMs = 1000;
// Frames in the window of the received-frames rate over KCP.
constexpr std::size_t kFrameRateWindow = 30;

enum class KcpChannel { Video, Audio };

int RateCell(KcpChannel channel) {
  return channel == KcpChannel::Video ? kStatVideoMbpsRecv : kStatAudioMbpsRecv;
}

uint32_t StationAddressOf(const std::string& dotted) {
  platform::Ipv4Endpoint endpoint;
  if (int e = platform::ParseIpv4(dotted.c_str(), 0, endpoint))
    throw TransportException(e, ZEP_SOURCE, __LINE__);
  return endpoint.address;
}

const proto::UDP_CHANNEL_PARAMS& ChannelParams(const proto::UDP_PARAMETERS& all, KcpChannel channel) {
  return channel == KcpChannel::Video ? all.video : all.audio;
}

void SendKeepAlive(KCPTransportBase& transport) {
  const uint8_t keepAlive = proto::kKeepAlive;
  transport.Send(&keepAlive, 1);  // flushes at once when the record asks for it
}

// The loop both UDP channels share; Receiver is KCPVideoNetworkReceiver or KCPAudioNetworkReceiver
// and drain() moves its completed records on. The video channel passes its frame rate to publish.
template <class Receiver, class Drain>
void UdpLoop(const char* name, ChannelContext& context, KcpChannel channel, uint32_t port,
             const ServerFrameRate* frameRate, Drain&& drain) {
  platform::RaiseThreadPriority(name);
  platform::Event& interrupt = context.shared.interrupt;
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
        // Inside the try: an address the transport cannot use is retried like any failed connect.
        const uint32_t stationAddr = StationAddressOf(context.station.address);
        transport = std::make_unique<Receiver>(stationAddr, static_cast<uint16_t>(port), params, &interrupt);
        LOGD << name << ": KCP conversation " << params.conv << " towards port " << port;
        SendKeepAlive(*transport);
        lastKeepAliveMs = HPCWrapper::NowMs();
      }
      const int64_t now = HPCWrapper::NowMs();
      if (now - lastKeepAliveMs > kKeepAliveIntervalMs) {
        SendKeepAlive(*transport);
        lastKeepAliveMs = now;
        if (params.transportMode == kTransportModeKcp) {
          context.table.SetReal(RateCell(channel), static_cast<float>(transport->AverageReceiveRateMbps()));
          if (frameRate != nullptr) frameRate->Publish(context.table);
        }
      }
      transport->Step();
      drain(*transport);
    } catch (const TransportException& e) {
      context.table.SetReal(RateCell(channel), 0);
      if (channel == KcpChannel::Video &&
          context.shared.udp.Current().video.transportMode == kTransportModeKcp)
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
    ServerFrameRate frameRate(kFrameRateWindow);
    UdpLoop<KCPVideoNetworkReceiver>(kName, context, KcpChannel::Video, context.station.udpVideoPort,
                                     &frameRate, [&](KCPVideoNetworkReceiver& t) {
                                       while (auto frame = t.TakeVideoFrame()) {
                                         frameRate.Frame(HPCWrapper::NowMs());
                                         context.shared.videoFramesReceived.fetch_add(
                                             1, std::memory_order_relaxed);
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
    UdpLoop<KCPAudioNetworkReceiver>(kName, context, KcpChannel::Audio, context.station.udpAudioPort, nullptr,
                                     [&](KCPAudioNetworkReceiver& t) {
                                       while (auto audio = t.TakeAudioFrame())
                                         Deliver(context.receivedAudio, std::move(audio));
                                     });
  });
}
