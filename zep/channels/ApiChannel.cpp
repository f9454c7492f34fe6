// The API channel: one connection at a time, a sender and a receiver thread on it, and the forced
// close that stops the one when the other ends.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "mord/services/ServiceClients.h"
#include "platform/HPCWrapper.h"
#include "platform/Thread.h"
#include "platform/Waitable.h"
#include "sov/base/Log.h"
#include "sov/base/ThreadProc.h"
#include "sov/channel/ProtocolReceiver.h"
#include "sov/channel/ProtocolSender.h"
#include "sov/channel/UdpParameters.h"
#include "sov/config/Config.h"
#include "sov/net/TransportConnector.h"
#include "sov/protocol/Codec.h"
#include "sov/protocol/StreamParser.h"
#include "sov/settings/RunTimeSettings.h"
#include "sov/settings/SettingsMapping.h"
#include "zep/channels/ChannelThreads.h"
#include "zep/channels/OpenLink.h"
#include "zep/stats/NetworkLatency.h"

namespace {

const char* const kSenderName = "ApiSenderNetworkThreadProc";
const char* const kReceiverName = "ApiReceiverNetworkThreadProc";

// A round waits this long for a microphone frame; it paces heartbeats and pings when none come.
constexpr uint32_t kMicrophoneWaitMs = 500;
constexpr int64_t kPingIntervalUs = 500000;

// The player's stream key from the settings service, fetched on a thread of its own so that the
// sender's rounds (heartbeats, pings) go on while the service is slow or being retried. Destruction
// cancels the request and waits for the thread; the sender ends within a round of the session's
// interrupt, and so does the request then.
class StreamKeyFetch {
 public:
  explicit StreamKeyFetch(std::string token) : thread_([this, t = std::move(token)] { Run(t); }) {}
  ~StreamKeyFetch() {
    cancel_.Set();
    thread_.join();
  }
  StreamKeyFetch(const StreamKeyFetch&) = delete;
  StreamKeyFetch& operator=(const StreamKeyFetch&) = delete;

  bool Done() const { return done_.IsSet(); }
  // Once Done: the key, or none when the service is not configured or the request failed.
  const std::optional<std::string>& Key() const { return key_; }

 private:
  void Run(std::string token) {
    try {
      key_ = Fetch(token);
    } catch (const InterruptException&) {
      LOGD << kSenderName << ": stream key request cancelled";
    } catch (const std::exception& e) {
      LOGD << kSenderName << ": stream key not available: " << e.what();
    } catch (...) {
      LOGD << kSenderName << ": stream key not available";
    }
    done_.Set();
  }

  std::optional<std::string> Fetch(std::string& token) {
    const Config& config = Config::Instance();
    if (!config.KeyExists("SettingsHost")) {
      LOGD << kSenderName << ": no settings service configured, streaming without a key";
      return std::nullopt;
    }
    ServiceClients clients = ServiceClients::FromConfig(config, &cancel_);
    return clients.settings->GetYoutubeSettings(token).StreamKey();
  }

  platform::Event cancel_{true};
  platform::Event done_{true};
  std::optional<std::string> key_;  // written by the thread before done_ is set
  std::thread thread_;              // last: starts once everything above exists
};

class ApiSender {
 public:
  ApiSender(ChannelContext& context, TransportBase& transport)
      : context_(context), shared_(context.shared), sender_(&transport) {}

  [[noreturn]] void Run() {
    const CRunTimeSettings& settings = RunTimeSettings();
    shared_.resolution.Set(proto::MakeResolution(
        RunTimeMapping::VideoResolution(CRunTimeSettings::Get(settings.videoResolutionIndex))));
    for (;;) Round();
  }

 private:
  void Round() {
    CRunTimeSettings& settings = RunTimeSettings();
    sender_.SendMessage(proto::kHeartbeat, uint32_t{1});
    SendMicrophoneFrame();
    if (shared_.resolution.changed.TryAcquire())
      sender_.SendMessage(proto::kResolution, shared_.resolution.Get());

    const auto fps = RunTimeMapping::ServerFrameRate(CRunTimeSettings::Get(settings.serverFpsIndex));
    const uint32_t frameRate = fps.limited ? fps.framesPerSecond : 0;
    if (frameRate != lastFrameRate_) {
      sender_.SendMessage(proto::kFrameRateLimit, proto::MakeFrameRateLimit(frameRate));
      lastFrameRate_ = frameRate;
    }
    const uint32_t usage = RunTimeMapping::NetworkUsage(CRunTimeSettings::Get(settings.networkUsageIndex));
    if (usage != lastNetworkUsage_) {
      sender_.SendMessage(proto::kNetworkUsage, usage);
      lastNetworkUsage_ = usage;
    }
    const uint32_t bitrate =
        RunTimeMapping::BitrateLimit(CRunTimeSettings::Get(settings.networkBandwidthIndex));
    if (bitrate != lastBitrate_) {
      sender_.SendMessage(proto::kBitrate, bitrate);
      lastBitrate_ = bitrate;
    }
    const int64_t transport = CRunTimeSettings::Get(settings.networkTransportIndex);
    if (transport != lastTransport_) {
      const proto::UDP_PARAMETERS params = proto::MakeUdpParameters(
          Config::Instance(), context_.station.clientGuid, static_cast<int32_t>(transport));
      sender_.SendMessage(proto::kUdpParameters, params);
      shared_.udp.Replace(params);
      lastTransport_ = transport;
    }
    const uint32_t codec = CRunTimeSettings::Get(settings.codecIndex);
    if (codec != lastCodec_) {
      sender_.SendMessage(proto::kCodec, codec);
      lastCodec_ = codec;
    }
    const bool streaming = CRunTimeSettings::Get(settings.streamingEnabled) != 0;
    if (streaming && !lastStreaming_ && !keyFetch_) {
      CRunTimeSettings::Set(settings.enableMicIndex, 1);
      keyFetch_ = std::make_unique<StreamKeyFetch>(context_.station.token);
    }
    if (!streaming) keyFetch_.reset();  // switched off before the key came: the station never knew
    if (keyFetch_ && keyFetch_->Done()) {
      sender_.SendMessage(proto::kStreamKey, proto::MakeStreamKey(keyFetch_->Key()));
      keyFetch_.reset();
      lastStreaming_ = true;
    }
    if (!streaming && lastStreaming_) {
      sender_.SendMessage(proto::kStreamKey, proto::MakeStreamKey(std::nullopt));
      lastStreaming_ = false;
    }
    bool microphone = CRunTimeSettings::Get(settings.enableMicIndex) != 0;
    if (microphone != lastMicrophone_) {
      if (microphone) {
        shared_.microphone.Set();
      } else if (streaming) {
        // A stream to the player's channel always carries the microphone.
        CRunTimeSettings::Set(settings.enableMicIndex, 1);
        microphone = true;
      } else {
        shared_.microphone.Reset();
      }
      lastMicrophone_ = microphone;
    }
    const bool allowIncoming = CRunTimeSettings::Get(settings.allowIncomingIndex) != 0;
    if (allowIncoming != lastAllowIncoming_) {
      shared_.incoming.SetAllowed(allowIncoming);
      sender_.SendMessage(proto::kAllowIncoming, RunTimeMapping::SwitchValue(allowIncoming));
      lastAllowIncoming_ = allowIncoming;
    }
    const bool allowGamepad = CRunTimeSettings::Get(settings.allowGamepadIndex) != 0;
    if (allowGamepad != lastAllowGamepad_) {
      sender_.SendMessage(proto::kAllowGamepad, RunTimeMapping::SwitchValue(allowGamepad));
      lastAllowGamepad_ = allowGamepad;
    }
    proto::CLIPBOARD_TEXT clipboard;
    if (shared_.clipboard.Take(clipboard)) sender_.SendMessage(proto::kClipboardText, clipboard);
    const int64_t now = HPCWrapper::NowUs();
    if (now - lastPingUs_ > kPingIntervalUs) {
      proto::PING ping;
      ping.clientTime = now;
      sender_.SendMessage(proto::kPing, ping);
      lastPingUs_ = now;
    }
    for (bool accepted : {true, false}) {
      for (const RequestId& id : shared_.incoming.TakeUnreported(accepted)) {
        proto::INCOMING_DECISION decision;
        std::copy(id.begin(), id.end(), decision.requestId);
        decision.decision = accepted ? 1 : 0;
        sender_.SendMessage(proto::kIncomingRequest, decision);
      }
    }
  }

  void SendMicrophoneFrame() {
    if (context_.microphoneToSend == nullptr) {
      if (platform::WaitAny({&shared_.interrupt}, static_cast<int>(kMicrophoneWaitMs)) == 0)
        throw InterruptException(ZEP_SOURCE, __LINE__);
      return;
    }
    std::optional<std::unique_ptr<AUDIO_FRAMES>> frame = context_.microphoneToSend->pop(kMicrophoneWaitMs);
    if (frame && *frame) sender_.SendMicrophoneFrame(**frame);
  }

  ChannelContext& context_;
  SessionShared& shared_;
  ProtocolSender sender_;
  // What the station was told last on this connection.
  uint32_t lastFrameRate_ = 0;
  uint32_t lastNetworkUsage_ = 0;
  uint32_t lastBitrate_ = RunTimeMapping::kDefaultBitrateLimit;
  int64_t lastTransport_ = -1;  // so that the first round always sends the UDP parameters
  uint32_t lastCodec_ = 0;
  bool lastStreaming_ = false;
  bool lastMicrophone_ = false;
  bool lastAllowIncoming_ = false;
  bool lastAllowGamepad_ = false;
  int64_t lastPingUs_ = 0;
  std::unique_ptr<StreamKeyFetch> keyFetch_;  // while a stream key is being fetched
};

void HandlePingReply(ChannelContext& context, NetworkLatencyMeter& latency, const proto::PING_REPLY& reply) {
  const int64_t t2 = HPCWrapper::NowUs();
  const int64_t t1 = reply.clientTime;
  // The echoed time must be one of ours: a reply from the future or before the clock started
  // would give nonsense figures (and overflow the arithmetic).
  if (t1 < 0 || t1 > t2) {
    LOGD << kReceiverName << ": ping reply with a client time that was never sent: " << t1;
    return;
  }
  const int64_t delayUs = (t2 - t1) / 2;
  const __int128 offset = (static_cast<__int128>(t1) + t2) / 2 - reply.stationTime;
  const __int128 clamped = std::clamp<__int128>(offset, INT64_MIN, INT64_MAX);
  ClockOffsetUs().store(static_cast<int64_t>(clamped), std::memory_order_relaxed);
  latency.Add(context.table, delayUs);
}

void ReceiveApi(ChannelContext& context, NetworkLatencyMeter& latency, TransportBase& transport) {
  ProtocolReceiver receiver(&transport);
  for (;;) {
    proto::RawMessage m = receiver.ReceiveMessage(proto::kApiChannel);
    switch (m.type) {
      case proto::kPing:
        HandlePingReply(context, latency, proto::FixedAs<proto::PING_REPLY>(m));
        break;
      case proto::kOpenLink:
        OpenLink(proto::ToOpenLink(m));
        break;
      case proto::kGamepadVibration: {
        const auto v = proto::FixedAs<proto::GAMEPAD_VIBRATION>(m);
        if (context.gamepad != nullptr)
          context.gamepad->Vibrate(v.controller, v.leftMotor, v.rightMotor);
        else
          LOGD << kReceiverName << ": no gamepad side for vibration of controller " << v.controller;
        break;
      }
      case proto::kIncomingRequest: {
        const auto request = proto::FixedAs<proto::INCOMING_REQUEST>(m);
        RequestId id;
        std::copy(std::begin(request.requestId), std::end(request.requestId), id.begin());
        if (!context.shared.incoming.Offer(id)) LOGD << kReceiverName << ": incoming request ignored";
        break;
      }
      default:  // no-op
        break;
    }
  }
}

// Runs one side of the connection; a transport failure or an interrupt ends it quietly.
void RunApiSide(const char* name, const std::function<void()>& body) {
  platform::SetThreadName(name);
  RunThreadProc(name, [&] {
    try {
      body();
    } catch (const TransportException& e) {
      LOGD << name << ": " << e.what();
    }
  });
}

}  // namespace

int ApiNetworkThreadProc(ChannelContext& context) {
  static const char* const kName = "ApiNetworkThreadProc";
  platform::SetThreadName(kName);
  return RunThreadProc(kName, [&] {
    platform::Event& interrupt = context.shared.interrupt;
    // The latency window spans reconnects; one receiver at a time uses it.
    NetworkLatencyMeter latency;
    for (;;) {
      std::unique_ptr<TransportConnector> connector;
      try {
        connector = std::make_unique<TransportConnector>(
            context.station.address.c_str(), context.station.apiPort,
            proto::AsBytes(proto::MakeGreeting(context.station.clientGuid)), &interrupt);
      } catch (const TransportException& e) {
        LOGD << kName << ": " << e.what();
        PauseBeforeRetry(interrupt);
        continue;
      }
      LOGI << kName << ": connected to " << context.station.address << ":" << context.station.apiPort;
      platform::Event senderEnded(true);
      platform::Event receiverEnded(true);
      std::thread sender([&] {
        RunApiSide(kSenderName, [&] { ApiSender(context, *connector).Run(); });
        senderEnded.Set();
      });
      std::thread receiver([&] {
        RunApiSide(kReceiverName, [&] { ReceiveApi(context, latency, *connector); });
        receiverEnded.Set();
      });
      platform::WaitAny({&senderEnded, &receiverEnded}, platform::kInfinite);
      // Breaks the other side's blocking receive or send on the shared connection.
      connector->CloseAllSockets();
      sender.join();
      receiver.join();
      connector.reset();
      PauseBeforeRetry(interrupt);
    }
  });
}
