// The station-to-client media channels over TCP (video, audio, mouse pointer) and the
// human-control channel the station only reads.
#include <sys/socket.h>

#include <algorithm>

#include "sov/base/BaseException.h"
#include "sov/protocol/StreamParser.h"
#include "tools/station-sim/CursorShapes.h"
#include "tools/station-sim/SocketSource.h"
#include "tools/station-sim/Station.h"
#include "tools/station-sim/Streamers.h"

namespace station {
namespace {

constexpr int64_t kKeepAliveUs = 1000000;

// The media channels carry nothing from the client after its greeting; read whatever comes so
// the socket never clogs, note it once, and notice the end of the connection.
void DrainClient(int fd, EventLog& log, const char* channel, int64_t conn, bool& noted) {
  uint8_t buf[4096];
  for (;;) {
    ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (r == 0) throw ChannelEnd(IoResult::Closed);
    if (r < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      throw ChannelEnd(IoResult::Error);
    }
    if (!noted && !(r == 1 && buf[0] == proto::kKeepAlive)) {
      log.Write(JsonLine("unexpected_bytes").Str("channel", channel).Int("conn", conn).Int("bytes", r));
      noted = true;
    }
  }
}

// Waits until `dueUs` (station clock) or until the client sends something.
void WaitUntil(int fd, const StopSignal& stop, int64_t dueUs, EventLog& log, const char* channel,
               int64_t conn, bool& noted) {
  const int64_t waitMs = std::max<int64_t>(0, (dueUs - NowMicros() + 999) / 1000);
  IoResult r = WaitReadable(fd, stop, waitMs);
  if (r == IoResult::Stopped || r == IoResult::Error) throw ChannelEnd(r);
  if (r == IoResult::Ok) DrainClient(fd, log, channel, conn, noted);
}

}  // namespace

void Station::ServeVideo(int fd, int64_t conn, const std::string& guid) {
  auto state = StateFor(guid);
  VideoStreamer video(options_, clips_, encoders_, log_, "video", conn, state);
  FaultPlan faults(Channel::Video, options_, log_, stop_, conn);
  auto raw = [&](const uint8_t* p, std::size_t n) { return SendAll(fd, p, n, stop_) == IoResult::Ok; };
  bool noted = false;
  int64_t lastSend = NowMicros();
  std::vector<uint8_t> out;
  bool wasOverUdp = false;
  for (;;) {
    const bool overUdp = state->Get().video.mode == 2;
    // Back from KCP: the client decoded the other stream meanwhile, so start with a key frame.
    if (wasOverUdp && !overUdp) video.Restart();
    wasOverUdp = overUdp;
    const int64_t due =
        overUdp ? lastSend + kKeepAliveUs : std::min(video.NextDue(), lastSend + kKeepAliveUs);
    WaitUntil(fd, stop_, due, log_, "video", conn, noted);
    const int64_t now = NowMicros();
    out.clear();
    const bool frame = !overUdp && video.Produce(now, out);
    // While the frames go over KCP (or none can be made), keep the channel alive.
    if (!frame && now - lastSend >= kKeepAliveUs) out.push_back(proto::kKeepAlive);
    if (out.empty()) continue;
    if (!faults.Step(raw)) return;
    if (!raw(out.data(), out.size())) throw ChannelEnd(IoResult::Closed);
    lastSend = now;
    if (frame) video.LogSent();
  }
}

void Station::ServeAudio(int fd, int64_t conn, const std::string& guid) {
  auto state = StateFor(guid);
  AudioStreamer audio(options_, log_, "audio", conn);
  FaultPlan faults(Channel::Audio, options_, log_, stop_, conn);
  auto raw = [&](const uint8_t* p, std::size_t n) { return SendAll(fd, p, n, stop_) == IoResult::Ok; };
  bool noted = false;
  int64_t lastSend = NowMicros();
  std::vector<uint8_t> out;
  for (;;) {
    const bool overUdp = state->Get().audio.mode == 2;
    const int64_t due = overUdp ? lastSend + kKeepAliveUs : audio.NextDue();
    WaitUntil(fd, stop_, due, log_, "audio", conn, noted);
    const int64_t now = NowMicros();
    out.clear();
    const bool frame = !overUdp && audio.Produce(now, out);
    if (!frame && now - lastSend >= kKeepAliveUs) out.push_back(proto::kKeepAlive);
    if (out.empty()) continue;
    if (!faults.Step(raw)) return;
    if (!raw(out.data(), out.size())) throw ChannelEnd(IoResult::Closed);
    lastSend = now;
    if (frame) audio.LogSent();
  }
}

void Station::ServeMouse(int fd, int64_t conn, const std::string&) {
  FaultPlan faults(Channel::Mouse, options_, log_, stop_, conn);
  auto raw = [&](const uint8_t* p, std::size_t n) { return SendAll(fd, p, n, stop_) == IoResult::Ok; };
  bool noted = false;
  int64_t due = NowMicros();
  for (uint64_t step = 0;;) {
    WaitUntil(fd, stop_, due, log_, "mouse", conn, noted);
    if (NowMicros() < due) continue;
    due += static_cast<int64_t>(options_.cursorIntervalMs) * 1000;
    CursorUpdate c = ScheduledCursor(step++);
    if (options_.cursorHidden) c.visible = false;
    MOUSE_INFO info;
    info.header.shapeType = c.type;
    info.header.width = c.width;
    info.header.height = c.height;
    info.header.pitch = c.pitch;
    info.header.hotSpotX = c.hotX;
    info.header.hotSpotY = c.hotY;
    info.header.visible = c.visible ? 1 : 0;
    info.shape = c.shape;
    std::vector<uint8_t> out;
    proto::AppendCursorShape(out, info);
    if (!faults.Step(raw)) return;
    if (!raw(out.data(), out.size())) throw ChannelEnd(IoResult::Closed);
    log_.Write(JsonLine("cursor_sent")
                   .Int("conn", conn)
                   .Int("shape_type", c.type)
                   .Int("width", c.width)
                   .Int("height", c.height)
                   .Int("pitch", c.pitch)
                   .Bool("visible", c.visible)
                   .Int("shape_bytes", static_cast<int64_t>(c.shape.size())));
  }
}

void Station::ServeControl(int fd, int64_t conn, const std::string& guid) {
  auto state = StateFor(guid);
  FaultPlan faults(Channel::Control, options_, log_, stop_, conn);
  auto raw = [&](const uint8_t* p, std::size_t n) { return SendAll(fd, p, n, stop_) == IoResult::Ok; };
  SocketSource source(fd, stop_);
  for (;;) {
    proto::RawMessage m;
    try {
      m = proto::ReadMessage(source, proto::kStationControlChannel);
    } catch (const ProtocolException& e) {
      log_.Write(
          JsonLine("protocol_error").Str("channel", "control").Int("conn", conn).Str("what", e.what()));
      return;
    }
    if (!faults.Step(raw)) return;
    JsonLine line("control");
    line.Int("conn", conn).Int("type", m.type);
    if (m.type == proto::kKeepAlive) {
      line.Str("name", "keep-alive");
    } else {
      HUMAN_CONTROL_EVENT_PACKET packet = proto::ToHumanControlEvent(m);
      switch (m.type) {
        case proto::kControlReleased:
          line.Str("name", "released");
          break;
        case proto::kControlMouse: {
          auto e = packet.As<proto::HC_MOUSE_EVENT>();
          line.Str("name", "mouse")
              .Int("flags", e.flags)
              .Int("button_flags", e.buttonFlags)
              .Int("button_data", static_cast<int16_t>(e.buttonData))
              .Int("raw_buttons", e.rawButtons)
              .Num("x", e.x)
              .Num("y", e.y)
              .Int("absolute", e.absolute)
              .Int("extra", e.extraInformation);
          if (e.absolute && e.x >= 0 && e.x <= 1 && e.y >= 0 && e.y <= 1) state->SetPointer(e.x, e.y);
          break;
        }
        case proto::kControlKeyboard: {
          auto e = packet.As<proto::HC_KEYBOARD_EVENT>();
          line.Str("name", "keyboard")
              .Int("scan_code", e.makeCode)
              .Int("flags", e.flags)
              .Int("vkey", e.vkey)
              .Int("message", e.message)
              .Int("extra", e.extraInformation);
          break;
        }
        default: {
          auto e = packet.As<proto::HC_GAMEPAD_EVENT>();
          line.Str("name", "gamepad")
              .Int("controller", e.controller)
              .Int("buttons", e.buttons)
              .Int("left_trigger", e.leftTrigger)
              .Int("right_trigger", e.rightTrigger)
              .Int("lx", e.thumbLX)
              .Int("ly", e.thumbLY)
              .Int("rx", e.thumbRX)
              .Int("ry", e.thumbRY);
          break;
        }
      }
    }
    log_.Write(line);
  }
}

}  // namespace station
