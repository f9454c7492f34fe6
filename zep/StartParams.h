#pragma once
// Process-wide start parameters of the client, fixed once start-up has parsed the command line.
#include <string>

#include "platform/Guid.h"

struct StartParams {
  platform::Guid clientGuid;          // identifies this process to the station
  std::string token = "noauth";       // streaming-key requests
  std::string session = "nosession";  // session identifier
  std::wstring city = L"unknown";     // shown on the station-confirmation pane
  bool canTryNext = false;
  bool connect = false;
  bool forceSoftwareDecode = false;  // "forcedx9": skip the hardware decoder
};

// Exit codes of zep besides the session outcome (0 stop, 1 try next).
constexpr int kExitBadCommandLine = 1;
// The configuration file could not be loaded (a value that does not convert).
constexpr int kExitBadConfig = 2;
