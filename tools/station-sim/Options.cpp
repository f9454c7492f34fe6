#include "tools/station-sim/Options.h"

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace station {
namespace {

const std::set<std::string> kChannels = {"probe", "mouse",   "video",     "audio",
                                         "api",   "control", "udp-video", "udp-audio"};

int64_t ToInt(const std::string& opt, const std::string& v, int64_t lo, int64_t hi) {
  std::size_t used = 0;
  long long n = 0;
  try {
    n = std::stoll(v, &used, 10);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != v.size()) throw std::invalid_argument(opt + ": not a whole number: '" + v + "'");
  if (n < lo || n > hi)
    throw std::invalid_argument(opt + ": " + v + " is outside " + std::to_string(lo) + ".." +
                                std::to_string(hi));
  return n;
}

double ToDouble(const std::string& opt, const std::string& v, double lo, double hi) {
  std::size_t used = 0;
  double d = 0;
  try {
    d = std::stod(v, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != v.size() || d < lo || d > hi)
    throw std::invalid_argument(opt + ": expected a number in " + std::to_string(lo) + ".." +
                                std::to_string(hi) + ", got '" + v + "'");
  return d;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::string cur;
  std::istringstream in(s);
  while (std::getline(in, cur, sep)) parts.push_back(cur);
  return parts;
}

// "CHANNEL:N" or "CHANNEL:N:MS".
ChannelFaults& FaultFor(StationOptions& o, const std::string& opt, const std::string& v,
                        std::vector<std::string>& parts, std::size_t want) {
  parts = Split(v, ':');
  if (parts.size() != want)
    throw std::invalid_argument(opt + ": expected " + (want == 2 ? "CHANNEL:N" : "CHANNEL:N:MS"));
  if (!kChannels.count(parts[0])) throw std::invalid_argument(opt + ": unknown channel '" + parts[0] + "'");
  return o.faults[parts[0]];
}

}  // namespace

ScriptAction ParseScriptLine(const std::string& line) {
  std::istringstream in(line);
  ScriptAction a;
  std::string ms;
  if (!(in >> ms >> a.action))
    throw std::invalid_argument("script line needs '<ms> <action>': '" + line + "'");
  a.atMs = ToInt("script", ms, 0, 86400000);
  for (std::string arg; in >> arg;) a.args.push_back(arg);
  if (a.action == "open-link") {
    if (a.args.size() != 1) throw std::invalid_argument("open-link takes one URL: '" + line + "'");
  } else if (a.action == "vibrate") {
    if (a.args.size() != 3) throw std::invalid_argument("vibrate takes INDEX LEFT RIGHT: '" + line + "'");
    ToInt("vibrate", a.args[0], 0, UINT32_MAX);
    ToInt("vibrate", a.args[1], 0, 65535);
    ToInt("vibrate", a.args[2], 0, 65535);
  } else if (a.action == "incoming") {
    const bool hex = a.args.size() == 1 && a.args[0].size() == 32 &&
                     a.args[0].find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (a.args.size() > 1 || (a.args.size() == 1 && a.args[0] != "random" && !hex))
      throw std::invalid_argument("incoming takes 'random' or 32 hex digits: '" + line + "'");
  } else if (a.action == "noop" || a.action == "keep-alive") {
  } else {
    throw std::invalid_argument("unknown script action '" + a.action + "'");
  }
  return a;
}

StationOptions ParseOptions(int argc, char** argv) {
  StationOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(opt + " needs a value");
      return argv[++i];
    };
    std::vector<std::string> parts;
    if (opt == "--help" || opt == "-h") {
      o.help = true;
    } else if (opt == "--bind") {
      o.bind = value();
    } else if (opt == "--port") {
      o.basePort = static_cast<int>(ToInt(opt, value(), 0, 65530));
    } else if (opt == "--log") {
      o.logPath = value();
    } else if (opt == "--size") {
      std::string v = value();
      std::size_t x = v.find('x');
      if (x == std::string::npos) throw std::invalid_argument("--size: expected WIDTHxHEIGHT");
      o.width = static_cast<int>(ToInt(opt, v.substr(0, x), 128, 4096));
      o.height = static_cast<int>(ToInt(opt, v.substr(x + 1), 64, 2304));
    } else if (opt == "--fps") {
      o.fps = static_cast<int>(ToInt(opt, value(), 1, 240));
    } else if (opt == "--codec") {
      o.codec = static_cast<int>(ToInt(opt, value(), 0, 4));
    } else if (opt == "--bitrate") {
      o.bitrate = ToInt(opt, value(), 100000, 400000000);
    } else if (opt == "--enc-threads") {
      o.encoderThreads = static_cast<int>(ToInt(opt, value(), 1, 16));
    } else if (opt == "--key-interval") {
      o.keyInterval = static_cast<int>(ToInt(opt, value(), 0, 100000));
    } else if (opt == "--clip") {
      o.clips.push_back(value());
    } else if (opt == "--make-clip") {
      o.makeClip = value();
    } else if (opt == "--clip-frames") {
      o.clipFrames = static_cast<int>(ToInt(opt, value(), 1, 100000));
    } else if (opt == "--no-blocks") {
      o.blocks = false;
    } else if (opt == "--reject-handshake") {
      o.rejectHandshake = true;
    } else if (opt == "--ping-delay-ms") {
      o.pingDelayMs = static_cast<int>(ToInt(opt, value(), 0, 60000));
    } else if (opt == "--cursor-interval-ms") {
      o.cursorIntervalMs = static_cast<int>(ToInt(opt, value(), 10, 3600000));
    } else if (opt == "--cursor-hidden") {
      o.cursorHidden = true;
    } else if (opt == "--tone-hz") {
      o.toneHz = ToDouble(opt, value(), 20, 20000);
    } else if (opt == "--adts") {
      o.adts = true;
    } else if (opt == "--video-frames") {
      o.videoFrames = ToInt(opt, value(), 0, INT64_MAX);
    } else if (opt == "--greeting-timeout-ms") {
      o.greetingTimeoutMs = static_cast<int>(ToInt(opt, value(), 1, 600000));
    } else if (opt == "--max-encoders") {
      o.maxEncoders = static_cast<int>(ToInt(opt, value(), 1, 256));
    } else if (opt == "--max-connections") {
      o.maxConnections = static_cast<int>(ToInt(opt, value(), 1, 4096));
    } else if (opt == "--max-clients") {
      o.maxClients = static_cast<int>(ToInt(opt, value(), 1, 1000000));
    } else if (opt == "--clock-offset-ms") {
      o.clockOffsetMs = ToInt(opt, value(), -1000000000000LL, 1000000000000LL);
    } else if (opt == "--duration") {
      o.durationS = ToDouble(opt, value(), 0, 1e7);
    } else if (opt == "--udp-loss") {
      o.udpLoss = ToDouble(opt, value(), 0, 1);
    } else if (opt == "--at") {
      o.script.push_back(ParseScriptLine(value()));
    } else if (opt == "--script") {
      std::string path = value();
      std::ifstream in(path);
      if (!in) throw std::invalid_argument("--script: cannot read " + path);
      for (std::string line; std::getline(in, line);) {
        std::size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        o.script.push_back(ParseScriptLine(line));
      }
    } else if (opt == "--drop-after") {
      ChannelFaults& f = FaultFor(o, opt, value(), parts, 2);
      f.dropAfter = ToInt(opt, parts[1], 0, INT64_MAX);
    } else if (opt == "--send-unknown") {
      ChannelFaults& f = FaultFor(o, opt, value(), parts, 2);
      f.unknownAfter = ToInt(opt, parts[1], 0, INT64_MAX);
    } else if (opt == "--send-garbage") {
      ChannelFaults& f = FaultFor(o, opt, value(), parts, 2);
      f.garbageAfter = ToInt(opt, parts[1], 0, INT64_MAX);
    } else if (opt == "--stall") {
      ChannelFaults& f = FaultFor(o, opt, value(), parts, 3);
      f.stallAfter = ToInt(opt, parts[1], 0, INT64_MAX);
      f.stallMs = ToInt(opt, parts[2], 0, 3600000);
    } else {
      throw std::invalid_argument("unknown option '" + opt + "' (see --help)");
    }
  }
  return o;
}

std::string HelpText() {
  return R"(zep-station: reference game station for testing the zep client.

Usage: zep-station [options]

Channels, on the base port block N (TCP unless noted):
  N    probe and handshake ('h' -> 'h'; 's' + 36-char session id + flag -> 1 byte)
  N+1  mouse pointer (cursor shapes)      N+2  video  (TCP, and KCP over UDP)
  N+3  audio (TCP, and KCP over UDP)      N+4  API    N+5  human control
Every TCP channel but the probe port must open with the 276-byte greeting (type 23).

Network:
  --bind ADDR              address to listen on (default 127.0.0.1)
  --port N                 base port (default 7985); 0 picks a free block and logs it
Log:
  --log FILE               JSON-lines event log, appended to; '-' is standard output (default -)
Video:
  --size WxH               the station's own size, used for a 0x0 request (default 1280x720)
  --fps N                  frame rate until the client sends one (default 30)
  --codec N                codec until the client asks (0 h264, 1 hevc, 2 av1, 3 vp8, 4 vp9; default 0)
  --bitrate BPS            bitrate until the client sends one (default 20971520)
  --enc-threads N          encoder threads (default 1: on a shared 2-core machine more threads cost more)
  --key-interval N         frames between key frames (default 0: two seconds)
  --video-frames N         stop each video stream after N frames, keep-alives only (default 0: no limit)
  --no-blocks              send no blocks A and B in video frames
  --clip FILE              stream this pre-encoded clip (looped, stamped when sent) instead of
                           encoding live; repeat for several codecs, the one matching the request wins
  --make-clip FILE         encode --clip-frames pictures with --codec, --size, --fps, --bitrate into
                           FILE and exit
  --clip-frames N          pictures in a made clip (default 120)
Audio:
  --tone-hz F              tone frequency (default 440)
  --adts                   prefix each AAC frame with an ADTS header (default raw AAC-LC)
Cursor:
  --cursor-interval-ms N   time between cursor updates (default 1000)
  --cursor-hidden          every cursor update says the pointer is hidden, as a game that captures
                           the mouse does (the client then sends relative movements)
Handshake and API:
  --reject-handshake       answer the 's' handshake with 0 (default: accept with 1)
  --ping-delay-ms N        delay each ping reply by N ms (default 0)
  --clock-offset-ms N      the station clock (ping replies, frame stamps) runs N ms ahead of this
                           host's monotonic clock (default 3600000; 0 shares the host's clock)
  --at "MS ACTION ARGS"    scripted API message MS ms after the API greeting; repeatable:
                             open-link URL | vibrate INDEX LEFT RIGHT | incoming [random|32 hex digits]
                             | noop | keep-alive (the client's API reader refuses 11: a fault)
  --script FILE            the same, one per line ('#' starts a comment)
Faults (CHANNEL: probe, mouse, video, audio, api, control, udp-video, udp-audio):
  --drop-after CHANNEL:N   close the channel after N messages sent (control: received)
  --send-unknown CHANNEL:N send a message of unknown type 0x7f after N messages
  --send-garbage CHANNEL:N send 64 random bytes after N messages
  --stall CHANNEL:N:MS     stop sending for MS ms after N messages
  --udp-loss P             drop each UDP datagram (in and out) with probability P (0..1)
Run:
  --greeting-timeout-ms N  time a client has to send its greeting, or its first probe byte
                           (default 5000); a probe connection may then idle up to 60 s
  --max-connections N      TCP connections served at once on each port; more are closed at
                           once (default 256)
  --max-encoders N         live video encoders at once; streams asking for the same codec, size,
                           rate and bitrate share one; a stream past N is closed (default 8)
  --max-clients N          client GUIDs whose settings are remembered; past N, those of clients
                           with no open connection are forgotten (default 1024)
  --duration S             stop after S seconds (default: run until SIGINT or SIGTERM)
  --help                   this text
On exit a "summary" line counts the events of the run.
)";
}

}  // namespace station
