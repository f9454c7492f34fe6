// The UDP video and audio ports: one KCP conversation per client socket, keyed by the
// conversation identifier the client announced (type 26). The station is the sender: frames
// go out in slices, one KCP message each; the client's keep-alives come back through KCP.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "sov/base/BaseException.h"
#include "sov/kcp/KcpProtocol.h"
#include "sov/protocol/StreamParser.h"
#include "tools/station-sim/Station.h"
#include "tools/station-sim/Streamers.h"
#include "tools/station-sim/Wire.h"

namespace station {
namespace {

constexpr int64_t kSessionIdleUs = 10000000;     // a client silent this long has gone
constexpr int64_t kTakeOverSilenceUs = 1000000;  // a client rebuilds its transport after 1000 ms
constexpr int64_t kKeepAliveUs = 1000000;
constexpr uint32_t kDefaultSlice = 32768;
constexpr std::size_t kMaxSessions = 64;
constexpr uint32_t kMaxDatagram = 65507;  // the largest UDP payload over IPv4
constexpr uint32_t kMaxWindow = 65535;

std::string AddressText(const sockaddr_in& a) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

struct KcpSession {
  int64_t conn = 0;
  uint32_t conv = 0;
  sockaddr_in peer{};
  std::string guid;
  std::shared_ptr<ClientState> state;
  UdpParams params;
  uint32_t slice = kDefaultSlice;
  std::unique_ptr<kcp::KcpProtocol> kcp;
  std::unique_ptr<proto::StreamParser> parser;
  std::unique_ptr<VideoStreamer> video;
  std::unique_ptr<AudioStreamer> audio;
  std::unique_ptr<FaultPlan> faults;
  int64_t lastRx = 0;
  int64_t lastSend = 0;
  int64_t lastLookup = 0;
  uint64_t skipped = 0;
  uint64_t foreign = 0;  // datagrams from other sources that did not take over
  bool dropped = false;
};

}  // namespace

void Station::UdpLoop(Channel channel, int fd) {
  const bool isAudio = channel == Channel::UdpAudio;
  const char* name = ChannelName(channel);
  std::map<uint32_t, std::unique_ptr<KcpSession>> sessions;
  std::mt19937 rng(std::random_device{}());
  std::uniform_real_distribution<double> chance(0, 1);
  std::vector<uint8_t> buf(65536);

  auto configure = [&](KcpSession& s) {
    UdpParams p = s.params;
    auto note = [&](const char* text) {
      log_.Write(JsonLine("kcp_note").Str("channel", name).Int("conv", s.conv).Str("note", text));
    };
    // The values come from the client: a datagram cannot exceed the UDP limit, and the window field
    // of a segment is 16 bits, so larger numbers would only mean unbounded buffers here.
    if (p.packetSize > kMaxDatagram)
      note("packet size above 65507 ignored");
    else if (p.packetSize != 0 && !s.kcp->SetMtu(p.packetSize))
      note("packet size below 50 ignored");
    s.kcp->SetWindowSize(std::min(p.sendWnd, kMaxWindow), std::min(p.recvWnd, kMaxWindow));
    s.kcp->SetNoDelay(2, 2, 1, 1);
    s.kcp->SetMinRto(10);
    s.slice = p.sliceSize < 1 ? kDefaultSlice : p.sliceSize;
    s.slice = std::min<uint32_t>(s.slice, s.kcp->Mss() * 127);  // KCP refuses 128 fragments or more
  };

  auto create = [&](uint32_t conv, const sockaddr_in& peer, int64_t now) {
    auto s = std::make_unique<KcpSession>();
    KcpSession* self = s.get();
    s->conn = nextConn_++;
    s->conv = conv;
    s->peer = peer;
    s->lastRx = s->lastSend = now;
    s->state = StateForConv(conv, isAudio, &s->guid);
    if (s->state) {
      ClientSnapshot snap = s->state->Get();
      s->params = isAudio ? snap.audio : snap.video;
    } else {
      // Not announced yet: serve with the usual defaults until the client's parameters arrive.
      s->params.sendWnd = s->params.recvWnd = isAudio ? 64 : 2048;
      s->params.packetSize = 1400;
      s->params.mode = 0;
    }
    s->kcp = std::make_unique<kcp::KcpProtocol>(
        conv, [this, fd, self, &rng, &chance](std::span<const kcp::Datagram> batch) {
          for (const kcp::Datagram& d : batch) {
            if (options_.udpLoss > 0 && chance(rng) < options_.udpLoss) continue;
            sendto(fd, d.data(), d.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&self->peer),
                   sizeof self->peer);
          }
        });
    configure(*s);
    s->parser = std::make_unique<proto::StreamParser>(proto::kStationUdpChannel, [](proto::RawMessage&&) {});
    s->faults = std::make_unique<FaultPlan>(channel, options_, log_, stop_, s->conn);
    return s;
  };

  auto announce = [&](const KcpSession& sess) {
    log_.Write(JsonLine("kcp_session")
                   .Str("channel", name)
                   .Int("conn", sess.conn)
                   .Int("conv", sess.conv)
                   .Str("peer", AddressText(sess.peer))
                   .Str("guid", sess.guid)
                   .Bool("announced", sess.state != nullptr)
                   .Int("mode", sess.params.mode)
                   .Int("mtu", sess.kcp->Mtu())
                   .Int("snd_wnd", sess.kcp->SndWnd())
                   .Int("rcv_wnd", sess.kcp->RcvWnd())
                   .Int("slice", sess.slice));
  };

  auto sendMessage = [&](KcpSession& s, const uint8_t* p, std::size_t n) {
    for (std::size_t off = 0; off < n;) {
      const std::size_t piece = std::min<std::size_t>(s.slice, n - off);
      s.kcp->Send(p + off, piece);
      off += piece;
    }
    if (s.params.forceFlush) s.kcp->Flush();
    return true;
  };

  for (;;) {
    pollfd pfd[2] = {{fd, POLLIN, 0}, {stop_.Fd(), POLLIN, 0}};
    poll(pfd, 2, 2);
    if (pfd[1].revents) return;
    int64_t now = NowMicros();
    for (;;) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n =
          recvfrom(fd, buf.data(), buf.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) break;
      if (n < static_cast<ssize_t>(kcp::kOverhead)) continue;  // not a KCP datagram
      if (options_.udpLoss > 0 && chance(rng) < options_.udpLoss) continue;
      const uint32_t conv = GetU32(buf.data());
      auto it = sessions.find(conv);
      if (it != sessions.end() && !SameAddress(it->second->peer, from)) {
        // A new client socket for the same conversation takes over only when it speaks KCP and the
        // current one has gone quiet, as after a rebuilt transport; anyone else cannot cut a live one.
        KcpSession& cur = *it->second;
        if (now - cur.lastRx < kTakeOverSilenceUs ||
            !cur.kcp->Validate(buf.data(), static_cast<std::size_t>(n))) {
          if (cur.foreign++ % 100 == 0)
            log_.Write(JsonLine("udp_ignored")
                           .Str("channel", name)
                           .Str("peer", AddressText(from))
                           .Int("bytes", n)
                           .Str("reason", "another source for a live conversation"));
          continue;
        }
        log_.Write(JsonLine("kcp_session_closed")
                       .Str("channel", name)
                       .Int("conn", it->second->conn)
                       .Str("reason", "replaced by " + AddressText(from)));
        sessions.erase(it);
        it = sessions.end();
      }
      const bool fresh = it == sessions.end();
      if (fresh) {
        if (sessions.size() >= kMaxSessions) continue;
        try {
          it = sessions.emplace(conv, create(conv, from, now)).first;
        } catch (const std::exception& e) {
          // The port keeps serving the other conversations.
          log_.Write(JsonLine("error").Str("channel", name).Int("conv", conv).Str("what", e.what()));
          continue;
        }
      }
      KcpSession& s = *it->second;
      if (s.dropped) continue;
      if (s.kcp->Input(buf.data(), static_cast<std::size_t>(n))) {
        s.lastRx = now;
        if (fresh) announce(s);
      } else if (fresh) {
        // Not KCP at all: forget it rather than keep a conversation for noise.
        log_.Write(
            JsonLine("udp_ignored").Str("channel", name).Str("peer", AddressText(from)).Int("bytes", n));
        sessions.erase(it);
      }
    }

    now = NowMicros();
    for (auto it = sessions.begin(); it != sessions.end();) {
      KcpSession& s = *it->second;
      std::string closeReason;
      if (now - s.lastRx > kSessionIdleUs) closeReason = "client silent for 10 s";
      if (closeReason.empty() && !s.dropped) {
        // A failure here (an encoder that cannot be made, say) ends this conversation, not the port.
        try {
          s.kcp->Update(static_cast<uint32_t>(now / 1000));
          try {
            while (s.kcp->Deliver([&](const uint8_t* d, std::size_t n) { s.parser->Feed(d, n); })) {
            }
          } catch (const ProtocolException& e) {
            log_.Write(
                JsonLine("protocol_error").Str("channel", name).Int("conn", s.conn).Str("what", e.what()));
            s.dropped = true;
          }
          // Follow the client's announcements: the session learns its owner, mode and windows late.
          if (now - s.lastLookup > 100000) {
            s.lastLookup = now;
            if (!s.state) s.state = StateForConv(s.conv, isAudio, &s.guid);
            if (s.state) {
              ClientSnapshot snap = s.state->Get();
              const UdpParams p = isAudio ? snap.audio : snap.video;
              // Any field counts: windows and force flush shape the conversation as much as the mode.
              if (!(p == s.params)) {
                // Leaving KCP: a later return starts a fresh stream (a key frame first).
                if (p.mode != 2) {
                  s.video.reset();
                  s.audio.reset();
                }
                s.params = p;
                configure(s);
                log_.Write(JsonLine("kcp_params")
                               .Str("channel", name)
                               .Int("conn", s.conn)
                               .Str("guid", s.guid)
                               .Int("mode", p.mode)
                               .Int("mtu", s.kcp->Mtu())
                               .Int("snd_wnd", s.kcp->SndWnd())
                               .Int("rcv_wnd", s.kcp->RcvWnd())
                               .Int("slice", s.slice)
                               .Int("force_flush", p.forceFlush));
              }
            }
          }
          std::vector<uint8_t> out;
          bool frame = false;
          if (s.state && s.params.mode == 2) {
            if (!isAudio && !s.video)
              s.video =
                  std::make_unique<VideoStreamer>(options_, clips_, encoders_, log_, name, s.conn, s.state);
            if (isAudio && !s.audio) s.audio = std::make_unique<AudioStreamer>(options_, log_, name, s.conn);
            frame = isAudio ? s.audio->Produce(now, out) : s.video->Produce(now, out);
            // Do not queue without bound for a client that stopped acknowledging.
            if (frame && s.kcp->WaitSend() > 4 * std::max<std::size_t>(s.kcp->SndWnd(), 32)) {
              if (s.skipped++ % 100 == 0)
                log_.Write(JsonLine("kcp_backlog")
                               .Str("channel", name)
                               .Int("conn", s.conn)
                               .Int("waiting_segments", static_cast<int64_t>(s.kcp->WaitSend()))
                               .Int("skipped", s.skipped));
              frame = false;
              out.clear();
            }
          }
          if (!frame && now - s.lastSend >= kKeepAliveUs) out.push_back(proto::kKeepAlive);
          if (!out.empty()) {
            auto raw = [&](const uint8_t* p, std::size_t n) { return sendMessage(s, p, n); };
            if (!s.faults->Step(raw)) {
              s.dropped = true;  // ignore this socket until the client makes a new one
            } else {
              sendMessage(s, out.data(), out.size());
              s.lastSend = now;
              if (frame) isAudio ? s.audio->LogSent() : s.video->LogSent();
            }
          }
          if (s.kcp->DeadLink() && closeReason.empty()) closeReason = "dead link";
        } catch (const std::exception& e) {
          closeReason = e.what();
        }
      }
      if (!closeReason.empty()) {
        log_.Write(JsonLine("kcp_session_closed")
                       .Str("channel", name)
                       .Int("conn", s.conn)
                       .Str("reason", closeReason));
        it = sessions.erase(it);
      } else {
        ++it;
      }
    }
  }
}

}  // namespace station
