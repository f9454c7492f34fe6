#pragma once
// Command line of zep-station.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace station {

// Channel names used by the fault options and the log.
// probe, mouse, video, audio, api, control, udp-video, udp-audio.
struct ChannelFaults {
  int64_t dropAfter = -1;     // close after this many messages sent (or received, for control)
  int64_t unknownAfter = -1;  // send a message of an unknown type after this many
  int64_t garbageAfter = -1;  // send random bytes after this many
  int64_t stallAfter = -1;    // stop sending for stallMs after this many
  int64_t stallMs = 0;
};

struct ScriptAction {
  int64_t atMs = 0;    // after the API connection's greeting
  std::string action;  // open-link, vibrate, incoming
  std::vector<std::string> args;
};

struct StationOptions {
  std::string bind = "127.0.0.1";
  int basePort = 7985;
  std::string logPath = "-";
  int width = 1280;
  int height = 720;
  int fps = 30;
  int codec = 0;
  int64_t bitrate = 20971520;
  int encoderThreads = 1;
  int keyInterval = 0;
  std::vector<std::string> clips;
  std::string makeClip;
  int clipFrames = 120;
  bool blocks = true;
  bool rejectHandshake = false;
  int pingDelayMs = 0;
  int cursorIntervalMs = 1000;
  bool cursorHidden = false;  // every cursor update hides the pointer
  double toneHz = 440.0;
  bool adts = false;
  int64_t videoFrames = 0;  // 0: no limit
  int greetingTimeoutMs = 5000;
  int maxConnections = 256;         // TCP connections served at once per port; more are closed at accept
  int maxEncoders = 8;              // live video encoders at once (streams of equal settings share one)
  int maxClients = 1024;            // client GUIDs remembered; beyond, those no connection uses go
  int64_t clockOffsetMs = 3600000;  // station clock = host monotonic clock + this
  double durationS = 0;
  double udpLoss = 0;
  std::vector<ScriptAction> script;
  std::map<std::string, ChannelFaults> faults;
  bool help = false;
};

// Throws std::invalid_argument with a message for bad options.
StationOptions ParseOptions(int argc, char** argv);
std::string HelpText();
// Parses one script line: "<ms> <action> [args...]".
ScriptAction ParseScriptLine(const std::string& line);

}  // namespace station
