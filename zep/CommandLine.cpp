#include "zep/CommandLine.h"

#include <strings.h>

#include <charconv>

#include "sov/base/Log.h"
#include "sov/config/Config.h"

namespace {

bool Is(const std::string& arg, const char* name) {
  return strcasecmp(arg.c_str(), name) == 0;
}

// atoi used to turn "abc" into port 0 and silently point every channel at ports 0..5; a base port
// must be a whole decimal number that leaves room for the five ports above it.
std::optional<int32_t> ParsePort(const std::string& text) {
  int32_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || value < 1 || value > 65535 - 5) return std::nullopt;
  return value;
}

}  // namespace

std::optional<int> ParseCommandLine(const std::vector<std::string>& args, StartParams& params,
                                    Config& config) {
  if (args.size() > 1) config.serverAddress = args[1];

  for (std::size_t i = 2; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (Is(arg, "forcedx9")) {
      params.forceSoftwareDecode = true;
    } else if (Is(arg, "--port")) {
      if (!hasValue) {
        LOGE << "Specify port value please";
        return kExitBadCommandLine;
      }
      auto port = ParsePort(args[++i]);
      if (!port) {
        LOGE << "Specify port value please";
        return kExitBadCommandLine;
      }
      config.SetPortBlock(*port);
    } else if (Is(arg, "--token")) {
      if (!hasValue) {
        LOGE << "Specify token value please";
        return kExitBadCommandLine;
      }
      params.token = args[++i];
    } else if (Is(arg, "--from-guid")) {
      if (!hasValue) {
        LOGE << "Specify guid please";
        return kExitBadCommandLine;
      }
      auto guid = platform::Guid::Parse(args[++i]);
      if (!guid) {
        LOGE << "Specify valid guid";
        return kExitBadCommandLine;
      }
      params.clientGuid = *guid;
    } else if (Is(arg, "--session")) {
      if (!hasValue) {
        LOGE << "Specify session value please";
        return kExitBadCommandLine;
      }
      params.session = args[++i];
    } else if (Is(arg, "--canTryNext")) {
      params.canTryNext = true;
    } else if (Is(arg, "--connect")) {
      params.connect = true;
    } else if (Is(arg, "--city")) {
      if (!hasValue) {
        LOGE << "Specify city value please";
        return kExitBadCommandLine;
      }
      std::string city = args[++i];
      while (++i < args.size()) city += " " + args[i];
      try {
        params.city = Utf8ToWide(city);
      } catch (const std::exception&) {
        LOGE << "Specify city value please";
        return kExitBadCommandLine;
      }
      break;
    } else {
      LOGE << "unknown parameter " << arg;
    }
  }
  return std::nullopt;
}
