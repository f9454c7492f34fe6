// Reader of client-config.cfg: one "key = value" entry per line.
//
// What the reader accepts, on purpose (existing files rely on it):
// - Everything from the first ';' is a comment; values therefore never hold ';'.
//   There is no quoting, escaping, section or continuation syntax.
// - Lines that are empty or only spaces are skipped silently. A line of tabs is
//   not: it reports a missing separator and a bad format, and enters an empty key.
// - A line without '=' is reported ("Couldn't find separator") but still enters
//   its first word as key with the whole trimmed line as value.
// - A line starting with '=' or with only spaces after the first '=' is reported
//   as a bad format but still entered; the empty value fails later, when its key
//   is converted. A tab after '=' is not reported (only spaces count there).
// - The key stops at its first TAB or SPACE, so "port 1 = 5" gives the key "port".
//   Values are trimmed of TAB and SPACE at both ends; inner blanks stay.
// - Keys are case-sensitive bytes. The first occurrence of a key wins; each
//   repeat is reported and dropped.
// - A trailing CR is removed from every line, so files saved with CR LF read the
//   same as LF files.
// - Unknown keys are kept in the table and otherwise ignored.
// Diagnostics go to standard output: the reader runs before logging exists.
#include "sov/config/Config.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "sov/base/BaseException.h"
#include "sov/base/Log.h"
#include "sov/config/Convert.h"

namespace {

constexpr const char* kBlanks = "\t ";

// Deployment defaults for the back-end. The hosts are placeholders under the
// reserved ".example" domain: every real installation ships a config file that
// names its own hosts, and a build without one must not reach a stranger's
// server. Back-end services (server, session and product manager, token
// verifier) share one host; the settings service lives on the web front-end.
constexpr const wchar_t* kBackendServicesHost = L"api.zep.example";
constexpr const wchar_t* kWebFrontendHost = L"www.zep.example";
constexpr int32_t kServicePort = 443;

constexpr const char* kDefaultServerAddress = "192.168.1.102";

std::string TrimBlanks(const std::string& s) {
  const std::size_t first = s.find_first_not_of(kBlanks);
  if (first == std::string::npos) return std::string();
  const std::size_t last = s.find_last_not_of(kBlanks);
  return s.substr(first, last - first + 1);
}

}  // namespace

Config& Config::Instance() {
  static Config instance;
  return instance;
}

void Config::Load(const std::string& fileName) {
  table.clear();
  keyLines_.clear();
  badValue_.reset();
  ReadFile(fileName);
  FillRecord();
}

void Config::ReadFile(const std::string& fileName) {
  std::ifstream file(fileName, std::ios::in | std::ios::binary);
  if (!file.is_open()) return;
  std::string line;
  std::size_t lineNumber = 0;
  while (std::getline(file, line)) {
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t comment = line.find(';');
    if (comment != std::string::npos) line.resize(comment);
    if (line.find_first_not_of(' ') == std::string::npos) continue;
    ProcessLine(line, lineNumber);
  }
  // A conversion failure that follows may end the process before stdio flushes.
  std::fflush(stdout);
}

void Config::ProcessLine(const std::string& line, std::size_t lineNumber) {
  if (line.find('=') == std::string::npos) {
    std::printf("CFG: Couldn't find separator on line: %zu\n", lineNumber);
  }

  const std::size_t start = line.find_first_not_of(kBlanks);
  const std::string text = start == std::string::npos ? std::string() : line.substr(start);
  const std::size_t separator = text.find('=');

  const std::size_t valueStart = separator == std::string::npos ? 0 : separator + 1;
  const bool onlySpacesAfter = text.find_first_not_of(' ', valueStart) == std::string::npos;
  if ((!text.empty() && text.front() == '=') || onlySpacesAfter) {
    std::printf("CFG: Bad format for line: %zu\n", lineNumber);
  }

  std::string key = text.substr(0, separator);
  const std::size_t keyEnd = key.find_first_of(kBlanks);
  if (keyEnd != std::string::npos) key.resize(keyEnd);
  std::string value = TrimBlanks(text.substr(valueStart));

  if (table.count(key) != 0) {
    std::printf("CFG: Can only have unique key names! \"%s\" again on line: %zu\n", key.c_str(), lineNumber);
    return;
  }
  keyLines_[key] = lineNumber;
  table.emplace(std::move(key), std::move(value));
}

void Config::FillRecord() {
  applicationLogFolder = LogFolder("logger.applicationlog", platform::KnownFolder::RoamingAppData);
  serviceLogFolder = LogFolder("logger.servicelog", platform::KnownFolder::ProgramData);
  maxLogFileSize = GetInt("logger.Max_Log_File_Size", 102400);

  merchantApiPort = GetInt("MerchantApiPort", 7985);
  mousePointerPort = GetInt("MousePointerPort", 7986);
  videoFramesPort = GetInt("VideoFramesPort", 7987);
  audioFramesPort = GetInt("AudioFramesPort", 7988);
  apiPort = GetInt("ApiPort", 7989);
  humanControlPort = GetInt("HumanControlPort", 7990);
  // The UDP channels run beside their TCP twins unless the file says otherwise.
  udpVideoPort = GetInt("UDPVideoPort", videoFramesPort);
  udpAudioPort = GetInt("UDPAudioPort", audioFramesPort);

  videoKcp.sliceSize = GetInt("UDPVideoSliceSize", 32768);
  videoKcp.packetSize = GetInt("UDPVideoPacketSize", 1400);
  audioKcp.sliceSize = GetInt("UDPAudioSliceSize", 32768);
  audioKcp.packetSize = GetInt("UDPAudioPacketSize", 1400);
  videoKcp.sendWnd = GetInt("UDPVideoSendWnd", 2048);
  videoKcp.recvWnd = GetInt("UDPVideoRecvWnd", 2048);
  audioKcp.sendWnd = GetInt("UDPAudioSendWnd", 64);
  audioKcp.recvWnd = GetInt("UDPAudioRecvWnd", 64);
  videoKcp.forceFlush = GetInt("UDPVideoForceFlush", 0);
  audioKcp.forceFlush = GetInt("UDPAudioForceFlush", 0);
  videoKcp.contRecvBufLen = GetInt("UDPVideoContRecvBufLen", 50000);
  videoKcp.contSendBufLen = GetInt("UDPVideoContSendBufLen", 50000);
  audioKcp.contRecvBufLen = GetInt("UDPAudioContRecvBufLen", 50000);
  audioKcp.contSendBufLen = GetInt("UDPAudioContSendBufLen", 50000);

  serverManagerPort = GetInt("ServerManagerPort", kServicePort);
  serverManagerHost = GetWString("ServerManagerHost", kBackendServicesHost);
  sessionManagerPort = GetInt("SessionManagerPort", kServicePort);
  sessionManagerHost = GetWString("SessionManagerHost", kBackendServicesHost);
  productManagerPort = GetInt("ProductManagerPort", kServicePort);
  productManagerHost = GetWString("ProductManagerHost", kBackendServicesHost);
  tokenVerifierPort = GetInt("TokenVerifierPort", kServicePort);
  tokenVerifierHost = GetWString("TokenVerifierHost", kBackendServicesHost);
  settingsPort = GetInt("SettingsPort", kServicePort);
  settingsHost = GetWString("SettingsHost", kWebFrontendHost);

  pausedOnFullscreen = GetBool("PausedOnFullscreen", true);
  desiredMonitorFreq = GetFloat("DesiredMonitorFreq", 144.0f);
  useVirtualAudio = GetBool("UseVirtualAudio", true);

  httpsCaFile = GetString("HttpsCaFile", "");
  serverAddress = kDefaultServerAddress;
}

// An empty value counts as absent: taken as it stands it would put the logs in "/".
std::wstring Config::LogFolder(const std::string& key, platform::KnownFolder fallback) const {
  const std::wstring given = GetWString(key, L"");
  return given.empty() ? GetLogFolder(fallback) : given;
}

template <class T, class Conversion>
T Config::Lookup(const std::string& key, T defaultValue, Conversion convert) const {
  const auto it = table.find(key);
  if (it == table.end()) return defaultValue;
  try {
    return convert(it->second);
  } catch (const ConvertException&) {
    const auto line = keyLines_.find(key);
    badValue_ = BadValue{key, line == keyLines_.end() ? 0 : line->second};
    throw;
  }
}

bool Config::KeyExists(const std::string& key) const {
  return table.find(key) != table.end();
}

int32_t Config::GetInt(const std::string& key, int32_t defaultValue) const {
  return Lookup(key, defaultValue, Convert::ToInt);
}

float Config::GetFloat(const std::string& key, float defaultValue) const {
  return Lookup(key, defaultValue, Convert::ToFloat);
}

bool Config::GetBool(const std::string& key, bool defaultValue) const {
  return Lookup(key, defaultValue, Convert::ToBool);
}

std::wstring Config::GetWString(const std::string& key, const std::wstring& defaultValue) const {
  return Lookup(key, defaultValue, Convert::ToWide);
}

std::string Config::GetString(const std::string& key, const std::string& defaultValue) const {
  const auto it = table.find(key);
  return it == table.end() ? defaultValue : it->second;
}

void Config::SetPortBlock(int32_t base) {
  if (base < 1 || base > 65535 - 5) throw ConvertException(ZEP_SOURCE, __LINE__);
  merchantApiPort = base;
  mousePointerPort = base + 1;
  videoFramesPort = base + 2;
  audioFramesPort = base + 3;
  apiPort = base + 4;
  humanControlPort = base + 5;
  udpVideoPort = videoFramesPort;
  udpAudioPort = audioFramesPort;
}

void EnsureDirectoryExistsRecursively(const std::string& path) {
  const int err = platform::CreateDirectories(path);
  if (err == 0) return;
  LOGE << "EnsureDirectoryExists failed for " << path;
  throw ErrCodeException(err, ZEP_SOURCE, __LINE__);
}

#ifndef ZEP_SYSTEM_CONFIG
#define ZEP_SYSTEM_CONFIG "/etc/zep/client-config.cfg"
#endif
const char* const kSystemConfigFile = ZEP_SYSTEM_CONFIG;

std::string ChooseConfigFile(const std::string& name, const std::string& systemFile) {
  std::error_code ec;
  if (std::filesystem::exists(name, ec) || systemFile.empty()) return name;
  return std::filesystem::exists(systemFile, ec) ? systemFile : name;
}

std::wstring GetLogFolder(platform::KnownFolder knownFolder) {
  std::string path;
  if (const int err = platform::KnownFolderPath(knownFolder, path); err != 0) {
    throw ErrCodeException(err, ZEP_SOURCE, __LINE__);
  }
  // The system's own separator, so the folder reads as the system writes paths.
  const char sep = static_cast<char>(std::filesystem::path::preferred_separator);
  ((path += sep) += "Vekta") += sep;
  path += "Logs";
  EnsureDirectoryExistsRecursively(path);
  return Utf8ToWide(path);
}
