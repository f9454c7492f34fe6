// The TCP channels that only receive (video, audio, mouse pointer) and the human-control sender.
#include <memory>

#include "platform/HPCWrapper.h"
#include "platform/Thread.h"
#include "sov/base/Log.h"
#include "sov/base/ThreadProc.h"
#include "sov/channel/ProtocolReceiver.h"
#include "sov/channel/ProtocolSender.h"
#include "sov/net/TransportConnector.h"
#include "sov/protocol/Codec.h"
#include "sov/protocol/StreamParser.h"
#include "zep/channels/ChannelStats.h"
#include "zep/channels/ChannelThreads.h"

namespace {

// How long the control sender waits for an event before it sends a keep-alive instead.
constexpr uint32_t kControlKeepAliveMs = 500;
// Frames in the window of the received-frames rate over TCP.
constexpr std::size_t kFrameRateWindow = 60;

// Runs one receiving channel for ever: connect, read messages, hand each to onMessage; on a
// transport failure tear down, call onLost, pause and reconnect.
template <class OnMessage, class OnLost>
void ReceiveLoop(const char* name, ChannelContext& context, uint32_t port, const proto::ChannelSpec& spec,
                 OnMessage&& onMessage, OnLost&& onLost) {
  platform::Event& interrupt = context.shared.interrupt;
  for (;;) {
    try {
      onLost();
      TransportConnector connector(context.station.address.c_str(), port,
                                   proto::AsBytes(proto::MakeGreeting(context.station.clientGuid)),
                                   &interrupt);
      ProtocolReceiver receiver(&connector);
      LOGI << name << ": connected to " << context.station.address << ":" << port;
      for (;;) {
        proto::RawMessage message = receiver.ReceiveMessage(spec);
        ThrowIfInterrupted(interrupt);
        onMessage(std::move(message));
      }
    } catch (const TransportException& e) {
      LOGD << name << ": " << e.what();
    }
    onLost();
    PauseBeforeRetry(interrupt);
  }
}

}  // namespace

// A message's size on the wire: its type byte, fixed part and blocks.
uint64_t WireBytes(const proto::RawMessage& m) {
  uint64_t bytes = 1 + m.fixed.size();
  for (const auto& block : m.blocks) bytes += block.size();
  return bytes;
}

int VideoNetworkThreadProc(ChannelContext& context) {
  static const char* const kName = "VideoNetworkThreadProc";
  platform::SetThreadName(kName);
  return RunThreadProc(kName, [&] {
    std::atomic<uint32_t>& alive = context.shared.videoAlive;
    ServerFrameRate frameRate(kFrameRateWindow);
    ReceiveLoop(
        kName, context, context.station.videoPort, proto::kVideoChannel,
        [&](proto::RawMessage&& m) {
          const int64_t now = HPCWrapper::NowMs();
          context.shared.tcpVideoBytes.fetch_add(WireBytes(m), std::memory_order_relaxed);
          if (m.type == proto::kVideoFrame) {
            frameRate.Frame(now);
            context.shared.videoFramesReceived.fetch_add(1, std::memory_order_relaxed);
            Deliver(context.videoFrames, std::make_unique<RECTS_INFO>(proto::ToVideoFrame(std::move(m))));
          }
          alive.exchange(1);
          // The receive rates (cells 21, 22) are the KCP transports' own figures; over TCP only
          // the frame rate is published.
          if (frameRate.Due(now) && context.shared.udp.Current().video.transportMode == kTransportModeTcp)
            frameRate.Publish(context.table);
        },
        [&] { alive.exchange(0); });
  });
}

int AudioNetworkThreadProc(ChannelContext& context) {
  static const char* const kName = "AudioNetworkThreadProc";
  platform::SetThreadName(kName);
  return RunThreadProc(kName, [&] {
    ReceiveLoop(
        kName, context, context.station.audioPort, proto::kAudioChannel,
        [&](proto::RawMessage&& m) {
          context.shared.tcpAudioBytes.fetch_add(WireBytes(m), std::memory_order_relaxed);
          if (m.type == proto::kAudioFrame)
            Deliver(context.receivedAudio, std::make_unique<AUDIO_FRAMES>(proto::ToAudioFrame(std::move(m))));
        },
        [] {});
  });
}

int MouseNetworkThreadProc(ChannelContext& context) {
  static const char* const kName = "MouseNetworkThreadProc";
  platform::SetThreadName(kName);
  return RunThreadProc(kName, [&] {
    ReceiveLoop(
        kName, context, context.station.mousePointerPort, proto::kMousePointerChannel,
        [&](proto::RawMessage&& m) {
          if (m.type == proto::kCursorShape)
            Deliver(context.cursorShapes, std::make_unique<MOUSE_INFO>(proto::ToCursorShape(std::move(m))));
        },
        [] {});
  });
}

int KeyMouseGrabberThreadProc(ChannelContext& context) {
  static const char* const kName = "KeyMouseGrabberThreadProc";
  platform::SetThreadName(kName);
  return RunThreadProc(kName, [&] {
    platform::Event& interrupt = context.shared.interrupt;
    for (;;) {
      try {
        TransportConnector connector(context.station.address.c_str(), context.station.humanControlPort,
                                     proto::AsBytes(proto::MakeGreeting(context.station.clientGuid)),
                                     &interrupt);
        ProtocolSender sender(&connector);
        LOGI << kName << ": connected to " << context.station.address << ":"
             << context.station.humanControlPort;
        for (;;) {
          std::optional<HUMAN_CONTROL_EVENT_PACKET> event;
          if (context.controlEvents != nullptr) {
            event = context.controlEvents->pop(kControlKeepAliveMs);
          } else if (platform::WaitAny({&interrupt}, kControlKeepAliveMs) == 0) {
            throw InterruptException(ZEP_SOURCE, __LINE__);
          }
          if (event)
            sender.SendHumanControlEvent(*event);
          else
            sender.SendType(proto::kKeepAlive);
        }
      } catch (const TransportException& e) {
        // Events queued meanwhile stay in the queue for the next connection.
        LOGD << kName << ": " << e.what();
      }
      PauseBeforeRetry(interrupt);
    }
  });
}
