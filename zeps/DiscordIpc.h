#pragma once
// Rich presence over Discord's local IPC: frames of a little-endian u32 opcode, a u32 length
// and JSON text on the socket "discord-ipc-N" (N = 0..9) in the runtime or temporary folder.
// The calls mirror the presence library the service was built around; none of them throws
// or blocks for long, and a Discord that starts later is picked up by RunCallbacks.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"

struct DiscordPresence {
  std::string state;
  std::string details;
  int64_t startTimestamp = 0;
  std::string largeImageKey;
  std::string smallImageKey;
};

// What the service shows: the site host as the state and the game's title, cut to its first
// 128 characters, as the details.
DiscordPresence MakePresence(const std::string& title, const std::string& siteHost, int64_t nowSeconds);

class DiscordIpc {
 public:
  static constexpr std::size_t kMaxFrameBytes = 64 * 1024;

  // `folders` are searched in order for the sockets; empty: $XDG_RUNTIME_DIR, $TMPDIR, /tmp.
  explicit DiscordIpc(std::string applicationId, std::vector<std::string> folders = {});
  ~DiscordIpc();

  void Initialize();
  void UpdatePresence(const DiscordPresence& presence);
  void ClearPresence();
  // Connects when not connected, reads what Discord sent, answers pings and join requests
  // (always with "ignore"), and sends a presence that waited for the connection.
  void RunCallbacks();
  void Shutdown();

  bool Ready() const { return ready_; }

 private:
  bool Connect();
  void Disconnect();
  bool SendFrame(uint32_t opcode, const std::string& json);
  void SendActivity();
  void HandleFrame(uint32_t opcode, const std::string& json);
  std::string Nonce();

  std::string applicationId_;
  std::vector<std::string> folders_;
  platform::UniqueFd socket_;
  bool ready_ = false;
  std::string received_;
  bool hasActivity_ = false;  // the latest wish: show this presence, or clear
  bool activityPending_ = false;
  DiscordPresence activity_;
  uint64_t nonce_ = 0;
};
