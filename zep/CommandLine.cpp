#include "zep/CommandLine.h"

#include <charconv>
#include <cstdio>

#include "platform/Socket.h"
#include "sov/base/Log.h"
#include "sov/base/Text.h"
#include "sov/config/Config.h"

const char* const kUsage =
    "usage: zep [address] [--port N] [--token T] [--session S] [--from-guid GUID] [--canTryNext]\n"
    "           [--connect] [forcedx9] [--city words...]\n"
    "  address      the station's dotted IPv4 address (always the first argument)\n"
    "  --port N     base port: TCP channels on N..N+5, UDP video/audio on N+2/N+3 (1..65530)\n"
    "  --city       takes the rest of the line as the city name\n"
    "Option names are case-insensitive. client-config.cfg is read from the current folder.\n";

namespace {

bool Is(const std::string& arg, const char* name) {
  return text::EqualsNoCase(arg, name);
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

// The city is only shown to the player, so a byte that is not UTF-8 becomes U+FFFD: ending
// start-up with exit code 1 would tell the service "Try next" for a cosmetic fault.
std::wstring CityText(std::string_view utf8) {
  std::wstring out;
  for (std::size_t i = 0; i < utf8.size();) out.push_back(static_cast<wchar_t>(text::DecodeUtf8(utf8, i)));
  return out;
}

}  // namespace

void StartupError(std::string_view text, std::string_view detail, std::source_location where) {
  zlog::Write(0, zlog::Severity::Error, zlog::FunctionName(where.function_name()).c_str(),
              static_cast<int>(where.line()), nullptr, text);
  std::fprintf(stderr, "zep: %.*s%s%.*s\n", static_cast<int>(text.size()), text.data(),
               detail.empty() ? "" : ": ", static_cast<int>(detail.size()), detail.data());
}

bool WantsHelp(const std::vector<std::string>& args) {
  for (std::size_t i = 1; i < args.size() && !Is(args[i], "--city"); ++i) {
    if (Is(args[i], "--help") || args[i] == "-h") return true;
  }
  return false;
}

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
        StartupError("Specify port value please", "--port needs a base port from 1 to 65530");
        return kExitBadCommandLine;
      }
      auto port = ParsePort(args[++i]);
      if (!port) {
        StartupError("Specify port value please", "\"" + args[i] + "\" is not a base port from 1 to 65530");
        return kExitBadCommandLine;
      }
      config.SetPortBlock(*port);
    } else if (Is(arg, "--token")) {
      if (!hasValue) {
        StartupError("Specify token value please");
        return kExitBadCommandLine;
      }
      params.token = args[++i];
    } else if (Is(arg, "--from-guid")) {
      if (!hasValue) {
        StartupError("Specify guid please");
        return kExitBadCommandLine;
      }
      auto guid = platform::Guid::Parse(args[++i]);
      if (!guid) {
        StartupError("Specify valid guid", "\"" + args[i] + "\"");
        return kExitBadCommandLine;
      }
      params.clientGuid = *guid;
    } else if (Is(arg, "--session")) {
      if (!hasValue) {
        StartupError("Specify session value please");
        return kExitBadCommandLine;
      }
      params.session = args[++i];
    } else if (Is(arg, "--canTryNext")) {
      params.canTryNext = true;
    } else if (Is(arg, "--connect")) {
      params.connect = true;
    } else if (Is(arg, "--city")) {
      if (!hasValue) {
        StartupError("Specify city value please");
        return kExitBadCommandLine;
      }
      std::string city = args[++i];
      while (++i < args.size()) city += " " + args[i];
      params.city = CityText(city);
      break;
    } else {
      StartupError("unknown parameter " + arg);
    }
  }
  // The transports take the address as it is and never resolve a name: a host name here would
  // only leave every channel failing and retrying without a word.
  platform::Ipv4Endpoint station;
  if (platform::ParseIpv4(config.serverAddress.c_str(), 0, station) != 0) {
    StartupError(
        "Specify valid station address: " + config.serverAddress,
        "the station address must be dotted IPv4 text such as 10.0.0.5; host names are not resolved");
    return kExitBadCommandLine;
  }
  return std::nullopt;
}
