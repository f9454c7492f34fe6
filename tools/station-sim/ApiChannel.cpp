// The API channel: every client message decoded and logged, settings handed to the media
// channels, pings answered, and scripted station messages sent.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include "sov/base/BaseException.h"
#include "sov/protocol/StreamParser.h"
#include "tools/station-sim/SocketSource.h"
#include "tools/station-sim/Station.h"
#include "tools/station-sim/Wire.h"

namespace station {
namespace {

const char* ApiName(uint8_t type) {
  switch (type) {
    case proto::kFrameRateLimit:
      return "frame-rate";
    case proto::kPing:
      return "ping";
    case proto::kResolution:
      return "resolution";
    case proto::kKeepAlive:
      return "keep-alive";
    case proto::kMicrophoneAudio:
      return "microphone";
    case proto::kNetworkUsage:
      return "network-usage";
    case proto::kStreamKey:
      return "stream-key";
    case proto::kBitrate:
      return "bitrate";
    case proto::kClipboardText:
      return "clipboard";
    case proto::kHeartbeat:
      return "heartbeat";
    case proto::kAllowGamepad:
      return "allow-gamepad";
    case proto::kCodec:
      return "codec";
    case proto::kAllowIncoming:
      return "allow-incoming";
    case proto::kIncomingRequest:
      return "incoming-decision";
    case proto::kUdpParameters:
      return "udp-parameters";
    default:
      return "other";
  }
}

std::string UdpJson(const proto::UDP_CHANNEL_PARAMS& p) {
  return "{\"conv\":" + std::to_string(p.conv) + ",\"mode\":" + std::to_string(p.transportMode) +
         ",\"slice_size\":" + std::to_string(p.sliceSize) +
         ",\"packet_size\":" + std::to_string(p.packetSize) + ",\"send_wnd\":" + std::to_string(p.sendWnd) +
         ",\"recv_wnd\":" + std::to_string(p.recvWnd) + ",\"force_flush\":" + std::to_string(p.forceFlush) +
         ",\"recv_buf\":" + std::to_string(p.contRecvBufLen) +
         ",\"send_buf\":" + std::to_string(p.contSendBufLen) + "}";
}

UdpParams FromProto(const proto::UDP_CHANNEL_PARAMS& p) {
  UdpParams u;
  u.conv = p.conv;
  u.mode = p.transportMode;
  u.sliceSize = p.sliceSize;
  u.packetSize = p.packetSize;
  u.sendWnd = p.sendWnd;
  u.recvWnd = p.recvWnd;
  u.forceFlush = p.forceFlush;
  u.recvBuf = p.contRecvBufLen;
  u.sendBuf = p.contSendBufLen;
  return u;
}

// Peak and RMS of a PCM payload in dBFS, for 16-bit integer or 32-bit float samples.
void AddLevel(JsonLine& line, const proto::WAVE_FORMAT_EXTENSIBLE& f, const std::vector<uint8_t>& pcm) {
  static const uint8_t kFloatSub[16] = {0x03, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71};
  const bool isFloat =
      (f.formatTag == 3 || (f.formatTag == 0xFFFE && std::equal(kFloatSub, kFloatSub + 16, f.subFormat))) &&
      f.bitsPerSample == 32;
  const bool isInt16 = f.bitsPerSample == 16 && !isFloat;
  double peak = 0, sum = 0;
  std::size_t n = 0;
  if (isFloat) {
    for (std::size_t i = 0; i + 4 <= pcm.size(); i += 4, ++n) {
      float s;
      std::memcpy(&s, &pcm[i], 4);
      peak = std::max(peak, std::fabs(static_cast<double>(s)));
      sum += static_cast<double>(s) * s;
    }
  } else if (isInt16) {
    for (std::size_t i = 0; i + 2 <= pcm.size(); i += 2, ++n) {
      const double s = static_cast<int16_t>(GetU16(&pcm[i])) / 32768.0;
      peak = std::max(peak, std::fabs(s));
      sum += s * s;
    }
  } else {
    line.Str("level", "unknown sample format");
    return;
  }
  if (n == 0) return;
  const double rms = std::sqrt(sum / n);
  line.Num("peak_dbfs", peak > 0 ? 20 * std::log10(peak) : -200)
      .Num("rms_dbfs", rms > 0 ? 20 * std::log10(rms) : -200);
}

}  // namespace

void Station::ServeApi(int fd, int64_t conn, const std::string& guid) {
  auto state = StateFor(guid);
  FaultPlan faults(Channel::Api, options_, log_, stop_, conn);
  std::mutex sendMutex;  // the reader (ping replies) and the script thread both send
  bool dropped = false;  // guarded by sendMutex
  auto raw = [&](const uint8_t* p, std::size_t n) { return SendAll(fd, p, n, stop_) == IoResult::Ok; };
  auto send = [&](const std::vector<uint8_t>& m) {
    std::lock_guard lock(sendMutex);
    if (dropped) return false;
    if (!faults.Step(raw)) {
      dropped = true;
      shutdown(fd, SHUT_RDWR);  // wakes the reader, which ends the connection
      return false;
    }
    return raw(m.data(), m.size());
  };

  StopSignal ended;
  const int64_t start = NowMicros();
  auto runScript = [&] {
    std::vector<ScriptAction> actions = options_.script;
    std::stable_sort(actions.begin(), actions.end(),
                     [](const ScriptAction& a, const ScriptAction& b) { return a.atMs < b.atMs; });
    for (const ScriptAction& a : actions) {
      const int64_t waitMs = std::max<int64_t>(0, (start + a.atMs * 1000 - NowMicros()) / 1000);
      pollfd p[2] = {{ended.Fd(), POLLIN, 0}, {stop_.Fd(), POLLIN, 0}};
      if (poll(p, 2, static_cast<int>(waitMs)) != 0) return;
      std::vector<uint8_t> m;
      JsonLine line("api_sent");
      line.Int("conn", conn).Str("action", a.action);
      if (a.action == "open-link") {
        proto::AppendOpenLink(m, Utf8ToUtf16(a.args[0]));
        line.Str("url", a.args[0]);
      } else if (a.action == "vibrate") {
        proto::GAMEPAD_VIBRATION v;
        v.controller = static_cast<uint32_t>(std::stoul(a.args[0]));
        v.leftMotor = static_cast<uint16_t>(std::stoul(a.args[1]));
        v.rightMotor = static_cast<uint16_t>(std::stoul(a.args[2]));
        proto::AppendMessage(m, proto::kGamepadVibration, v);
        line.Int("controller", v.controller).Int("left", v.leftMotor).Int("right", v.rightMotor);
      } else if (a.action == "incoming") {
        proto::INCOMING_REQUEST r;
        if (a.args.empty() || a.args[0] == "random") {
          std::random_device rd;
          for (auto& b : r.requestId) b = static_cast<uint8_t>(rd());
        } else {
          for (int i = 0; i < 16; ++i)
            r.requestId[i] = static_cast<uint8_t>(std::stoul(a.args[0].substr(2 * i, 2), nullptr, 16));
        }
        proto::AppendMessage(m, proto::kIncomingRequest, r);
        line.Str("id", Hex(r.requestId, 16));
      } else {
        proto::AppendTypeOnly(m, a.action == "noop" ? proto::kNoop : proto::kKeepAlive);
      }
      if (!send(m)) return;
      log_.Write(line);
    }
  };
  std::thread script([&] {
    try {
      runScript();
    } catch (const std::exception& e) {
      log_.Write(JsonLine("error").Str("channel", "api").Int("conn", conn).Str("what", e.what()));
    }
  });
  struct Joiner {
    StopSignal& ended;
    std::thread& t;
    int fd;
    ~Joiner() {
      ended.Set();
      // A client that stopped reading could hold the script thread in a send for ever.
      shutdown(fd, SHUT_RDWR);
      t.join();
    }
  } joiner{ended, script, fd};

  SocketSource source(fd, stop_);
  for (;;) {
    proto::RawMessage m;
    try {
      m = proto::ReadMessage(source, proto::kStationApiChannel);
    } catch (const ProtocolException& e) {
      log_.Write(JsonLine("protocol_error").Str("channel", "api").Int("conn", conn).Str("what", e.what()));
      return;
    } catch (const ChannelEnd&) {
      std::lock_guard lock(sendMutex);
      if (dropped) return;
      throw;
    }
    JsonLine line("api");
    line.Int("conn", conn).Int("type", m.type).Str("name", ApiName(m.type));
    const uint8_t* p = m.fixed.data();
    switch (m.type) {
      case proto::kHeartbeat:
      case proto::kNetworkUsage:
      case proto::kAllowGamepad:
      case proto::kAllowIncoming:
        line.Int("value", GetU32(p));
        break;
      case proto::kBitrate:
        line.Int("value", GetU32(p));
        state->SetBitrate(GetU32(p));
        break;
      case proto::kCodec: {
        const uint32_t codec = GetU32(p);
        line.Int("value", codec).Str("codec", CodecName(static_cast<int>(codec)));
        if (codec < kCodecCount) state->SetCodec(static_cast<int>(codec));
        break;
      }
      case proto::kResolution: {
        auto r = proto::FixedAs<proto::RESOLUTION>(m);
        line.Int("width", r.width).Int("height", r.height).Int("flag", r.flag);
        state->SetResolution(static_cast<int>(std::min<uint32_t>(r.width, 4096)), r.height);
        break;
      }
      case proto::kFrameRateLimit: {
        auto r = proto::FixedAs<proto::FRAME_RATE_LIMIT>(m);
        line.Int("fps", r.framesPerSecond).Int("limited", r.limited);
        // "Unlimited" lets the station choose; 60 keeps a shared machine responsive.
        state->SetFrameRate(r.limited ? static_cast<int>(std::clamp<uint32_t>(r.framesPerSecond, 1, 240))
                                      : 60);
        break;
      }
      case proto::kUdpParameters: {
        auto u = proto::FixedAs<proto::UDP_PARAMETERS>(m);
        line.Raw("video", UdpJson(u.video)).Raw("audio", UdpJson(u.audio));
        state->SetUdp(FromProto(u.video), FromProto(u.audio));
        break;
      }
      case proto::kStreamKey: {
        auto k = proto::FixedAs<proto::STREAM_KEY>(m);
        auto key = proto::ReadStreamKey(k);
        line.Bool("present", key.has_value());
        if (key) line.Str("key", *key);
        break;
      }
      case proto::kClipboardText: {
        auto c = proto::FixedAs<proto::CLIPBOARD_TEXT>(m);
        line.Str("text", Utf16ToUtf8(proto::ReadClipboardText(c))).Int("mode", c.mode);
        break;
      }
      case proto::kIncomingRequest: {
        auto d = proto::FixedAs<proto::INCOMING_DECISION>(m);
        line.Str("id", Hex(d.requestId, 16)).Int("decision", d.decision);
        break;
      }
      case proto::kMicrophoneAudio: {
        auto h = proto::FixedAs<proto::MICROPHONE_FRAME_HEADER>(m);
        const auto& f = h.audio.format;
        line.Int("frames", h.audio.frameCount)
            .Int("flags", h.audio.bufferFlags)
            .Int("bytes", h.audio.payloadSize)
            .Int("format_tag", f.formatTag)
            .Int("channels", f.channels)
            .Int("rate", f.samplesPerSec)
            .Int("bits", f.bitsPerSample)
            .Int("capture_position", static_cast<int64_t>(h.capturePosition));
        AddLevel(line, f, m.blocks[0]);
        break;
      }
      case proto::kPing: {
        auto ping = proto::FixedAs<proto::PING>(m);
        line.Int("client_time", ping.clientTime);
        log_.Write(line);
        if (options_.pingDelayMs > 0 && !stop_.Sleep(options_.pingDelayMs)) return;
        proto::PING_REPLY reply;
        reply.clientTime = ping.clientTime;
        reply.stationTime = StationMicros();
        std::vector<uint8_t> out;
        proto::AppendMessage(out, proto::kPing, reply);
        if (!send(out)) return;
        log_.Write(JsonLine("ping_reply")
                       .Int("conn", conn)
                       .Int("client_time", reply.clientTime)
                       .Int("station_time", reply.stationTime));
        continue;
      }
      default:
        break;
    }
    log_.Write(line);
  }
}

}  // namespace station
