#include "tools/station-sim/Station.h"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <random>
#include <span>

#include "platform/Guid.h"
#include "sov/protocol/Codec.h"
#include "tools/station-sim/SocketSource.h"

namespace station {
namespace {

constexpr int64_t kProbeIdleMs = 60000;

}  // namespace

const char* ChannelName(Channel c) {
  switch (c) {
    case Channel::Probe:
      return "probe";
    case Channel::Mouse:
      return "mouse";
    case Channel::Video:
      return "video";
    case Channel::Audio:
      return "audio";
    case Channel::Api:
      return "api";
    case Channel::Control:
      return "control";
    case Channel::UdpVideo:
      return "udp-video";
    default:
      return "udp-audio";
  }
}

FaultPlan::FaultPlan(Channel channel, const StationOptions& options, EventLog& log, const StopSignal& stop,
                     int64_t conn)
    : channel_(channel), log_(log), stop_(stop), conn_(conn) {
  auto it = options.faults.find(ChannelName(channel));
  if (it != options.faults.end()) faults_ = it->second;
}

bool FaultPlan::Step(const std::function<bool(const uint8_t*, std::size_t)>& raw) {
  const int64_t n = count_++;
  auto note = [&](const char* kind) {
    log_.Write(JsonLine("fault")
                   .Str("channel", ChannelName(channel_))
                   .Int("conn", conn_)
                   .Str("kind", kind)
                   .Int("after", n));
  };
  if (n == faults_.dropAfter) {
    note("drop");
    return false;
  }
  if (n == faults_.unknownAfter) {
    note("unknown-type");
    const uint8_t unknown = 0x7F;
    raw(&unknown, 1);
  }
  if (n == faults_.garbageAfter) {
    note("garbage");
    uint8_t junk[64];
    std::random_device rd;
    for (auto& b : junk) b = static_cast<uint8_t>(rd());
    junk[0] = 0xEE;  // never a valid type, so the client sees the fault at once
    raw(junk, sizeof junk);
  }
  if (n == faults_.stallAfter) {
    note("stall");
    stop_.Sleep(faults_.stallMs);
  }
  return true;
}

Station::Station(StationOptions options, EventLog& log)
    : options_(std::move(options)), log_(log), encoders_(options_.maxEncoders) {
  for (const std::string& path : options_.clips) {
    auto clip = std::make_shared<const Clip>(LoadClip(path));
    log_.Write(JsonLine("clip_loaded")
                   .Str("path", path)
                   .Str("codec", CodecName(clip->codec))
                   .Int("width", clip->width)
                   .Int("height", clip->height)
                   .Int("fps", clip->fps)
                   .Int("pictures", static_cast<int64_t>(clip->pictures.size())));
    clips_.push_back(std::move(clip));
  }
}

Station::~Station() {
  Stop();
}

void Station::BindAll(int base) {
  tcp_.clear();
  udp_.clear();
  const Channel tcpOrder[] = {Channel::Probe, Channel::Mouse, Channel::Video,
                              Channel::Audio, Channel::Api,   Channel::Control};
  for (int i = 0; i < 6; ++i) tcp_.emplace_back(tcpOrder[i], OpenTcpListener(options_.bind, base + i));
  udp_.emplace_back(Channel::UdpVideo, OpenUdpSocket(options_.bind, base + 2));
  udp_.emplace_back(Channel::UdpAudio, OpenUdpSocket(options_.bind, base + 3));
  basePort_ = base;
}

void Station::Start() {
  if (options_.basePort != 0) {
    BindAll(options_.basePort);
  } else {
    std::random_device rd;
    std::uniform_int_distribution<int> pick(20000, 60000);
    for (int attempt = 0;; ++attempt) {
      try {
        BindAll(pick(rd));
        break;
      } catch (const std::runtime_error&) {
        if (attempt == 100) throw;
      }
    }
  }
  log_.Write(JsonLine("listening")
                 .Str("bind", options_.bind)
                 .Int("base_port", basePort_)
                 .Int("mouse", basePort_ + 1)
                 .Int("video", basePort_ + 2)
                 .Int("audio", basePort_ + 3)
                 .Int("api", basePort_ + 4)
                 .Int("control", basePort_ + 5)
                 .Int("udp_video", basePort_ + 2)
                 .Int("udp_audio", basePort_ + 3)
                 .Int("clock_offset_us", StationClockOffset())
                 .Int("max_connections", options_.maxConnections));
  for (auto& [channel, fd] : tcp_) {
    Channel c = channel;
    int listener = fd.Get();
    Spawn([this, c, listener] { AcceptLoop(c, listener); });
  }
  for (auto& [channel, fd] : udp_) {
    Channel c = channel;
    int sock = fd.Get();
    Spawn([this, c, sock] { UdpLoop(c, sock); });
  }
}

void Station::Stop() {
  stop_.Set();
  for (;;) {
    std::vector<Worker> joining;
    {
      std::lock_guard lock(workersMutex_);
      joining.swap(workers_);
    }
    if (joining.empty()) break;
    for (Worker& w : joining)
      if (w.thread.joinable()) w.thread.join();
  }
  tcp_.clear();
  udp_.clear();
}

void Station::Spawn(std::function<void()> body) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard lock(workersMutex_);
  // Reap the connections that have ended, so a long run does not pile up threads.
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
  workers_.push_back(Worker{std::thread([this, done, body = std::move(body)] {
                              try {
                                body();
                              } catch (const std::exception& e) {
                                // A test peer must keep serving: log and let this thread end.
                                log_.Write(JsonLine("error").Str("what", e.what()));
                              }
                              done->store(true);
                            }),
                            done});
}

void Station::AcceptLoop(Channel channel, int listener) {
  for (;;) {
    IoResult r = WaitReadable(listener, stop_, -1);
    if (r == IoResult::Stopped) return;
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors or memory: the connection stays queued and the listener readable, so
      // pause rather than spin until something is freed.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        log_.Write(
            JsonLine("accept_failed").Str("channel", ChannelName(channel)).Str("what", strerror(errno)));
        if (!stop_.Sleep(100)) return;
      }
      continue;
    }
    auto holder = std::make_shared<platform::UniqueFd>(fd);
    const int64_t conn = nextConn_++;
    // One thread per connection: a flood of clients must not exhaust threads or descriptors.
    std::atomic<int>& active = active_[static_cast<std::size_t>(channel)];
    if (active.fetch_add(1) >= options_.maxConnections) {
      --active;
      log_.Write(JsonLine("connection_refused")
                     .Str("channel", ChannelName(channel))
                     .Int("conn", conn)
                     .Str("peer", PeerName(fd))
                     .Str("reason", "too many connections"));
      continue;  // the holder closes it
    }
    try {
      Spawn([this, channel, holder, conn, &active] {
        struct Release {
          std::atomic<int>& active;
          ~Release() { --active; }
        } release{active};
        ServeConnection(channel, std::move(*holder), conn);
      });
    } catch (const std::exception& e) {
      // No thread to be had: refuse this one and keep accepting.
      --active;
      log_.Write(JsonLine("connection_refused")
                     .Str("channel", ChannelName(channel))
                     .Int("conn", conn)
                     .Str("reason", e.what()));
    }
  }
}

void Station::ServeConnection(Channel channel, platform::UniqueFd fd, int64_t conn) {
  log_.Write(JsonLine("connection")
                 .Str("channel", ChannelName(channel))
                 .Int("conn", conn)
                 .Str("peer", PeerName(fd.Get())));
  std::string reason = "closed";
  try {
    if (channel == Channel::Probe) {
      ServeProbe(fd.Get(), conn);
    } else {
      std::string guid = ReadGreeting(channel, fd.Get(), conn);
      if (guid.empty()) {
        reason = "greeting refused";
      } else {
        switch (channel) {
          case Channel::Mouse:
            ServeMouse(fd.Get(), conn, guid);
            break;
          case Channel::Video:
            ServeVideo(fd.Get(), conn, guid);
            break;
          case Channel::Audio:
            ServeAudio(fd.Get(), conn, guid);
            break;
          case Channel::Api:
            ServeApi(fd.Get(), conn, guid);
            break;
          default:
            ServeControl(fd.Get(), conn, guid);
            break;
        }
      }
    }
  } catch (const ChannelEnd& e) {
    reason = e.what();
  } catch (const std::exception& e) {
    reason = e.what();
  }
  log_.Write(
      JsonLine("disconnected").Str("channel", ChannelName(channel)).Int("conn", conn).Str("reason", reason));
}

std::string Station::ReadGreeting(Channel channel, int fd, int64_t conn) {
  uint8_t bytes[sizeof(proto::GREETING)] = {};
  auto refuse = [&](const std::string& why) {
    log_.Write(JsonLine("greeting_refused")
                   .Str("channel", ChannelName(channel))
                   .Int("conn", conn)
                   .Str("reason", why));
    return std::string();
  };
  IoResult r = RecvExact(fd, bytes, 1, stop_, options_.greetingTimeoutMs);
  if (r != IoResult::Ok) return refuse(std::string("no greeting: ") + IoResultName(r));
  if (bytes[0] != proto::kGreeting) return refuse("first byte is " + std::to_string(bytes[0]) + ", not 23");
  r = RecvExact(fd, bytes + 1, sizeof bytes - 1, stop_, options_.greetingTimeoutMs);
  if (r != IoResult::Ok) return refuse(std::string("greeting cut short: ") + IoResultName(r));
  auto greeting = proto::FromBytes<proto::GREETING>(std::span<const uint8_t>(bytes, sizeof bytes));
  std::array<uint8_t, 16> raw{};
  std::memcpy(raw.data(), greeting.clientGuid, 16);
  const std::string guid = platform::Guid::FromBytes(raw).ToString();
  bool reservedZero = true;
  for (uint8_t b : greeting.reserved) reservedZero = reservedZero && b == 0;
  log_.Write(JsonLine("greeting")
                 .Str("channel", ChannelName(channel))
                 .Int("conn", conn)
                 .Str("guid", guid)
                 .Bool("reserved_zero", reservedZero && greeting.padding[0] == 0 &&
                                            greeting.padding[1] == 0 && greeting.padding[2] == 0));
  return guid;
}

std::shared_ptr<ClientState> Station::StateFor(const std::string& guid) {
  std::lock_guard lock(clientsMutex_);
  if (clients_.size() >= static_cast<std::size_t>(options_.maxClients) && !clients_.count(guid)) {
    // Every greeting may bring a new GUID: forget the clients that nothing serves any more.
    std::size_t before = clients_.size();
    std::erase_if(clients_, [](const auto& entry) { return entry.second.use_count() == 1; });
    log_.Write(JsonLine("clients_pruned").Int("before", before).Int("after", clients_.size()));
  }
  auto& state = clients_[guid];
  if (!state) state = std::make_shared<ClientState>(options_);
  return state;
}

std::shared_ptr<ClientState> Station::StateForConv(uint32_t conv, bool audio, std::string* guid) {
  std::lock_guard lock(clientsMutex_);
  for (auto& [id, state] : clients_) {
    ClientSnapshot s = state->Get();
    if (s.udpKnown && (audio ? s.audio.conv : s.video.conv) == conv) {
      if (guid) *guid = id;
      return state;
    }
  }
  return nullptr;
}

void Station::ServeProbe(int fd, int64_t conn) {
  FaultPlan faults(Channel::Probe, options_, log_, stop_, conn);
  auto raw = [&](const uint8_t* p, std::size_t n) { return SendAll(fd, p, n, stop_) == IoResult::Ok; };
  // A connection that never speaks is closed like one that never greets; once it has spoken it may
  // wait a while, since the service holds it from ranking to handshake.
  int64_t idleMs = options_.greetingTimeoutMs;
  for (;; idleMs = kProbeIdleMs) {
    uint8_t b = 0;
    IoResult r = RecvExact(fd, &b, 1, stop_, idleMs);
    if (r != IoResult::Ok) throw ChannelEnd(r);
    if (b == 'h') {
      log_.Write(JsonLine("probe").Int("conn", conn));
      if (!faults.Step(raw)) return;
      if (!raw(&b, 1)) throw ChannelEnd(IoResult::Closed);
    } else if (b == 's') {
      uint8_t rest[37];
      r = RecvExact(fd, rest, sizeof rest, stop_, 10000);
      if (r != IoResult::Ok) throw ChannelEnd(r);
      const std::string session(reinterpret_cast<const char*>(rest), 36);
      const uint8_t answer = options_.rejectHandshake ? 0 : 1;
      log_.Write(JsonLine("handshake")
                     .Int("conn", conn)
                     .Str("session", session)
                     .Int("flag", rest[36])
                     .Int("answer", answer));
      if (!faults.Step(raw)) return;
      if (!raw(&answer, 1)) throw ChannelEnd(IoResult::Closed);
    } else {
      log_.Write(JsonLine("probe_refused").Int("conn", conn).Int("byte", b));
      return;
    }
  }
}

}  // namespace station
