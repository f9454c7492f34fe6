#pragma once
// The process-wide configuration record, filled once from client-config.cfg.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/Folders.h"

// One UDP channel's KCP block; the first two values are filled by the session set-up.
struct KcpChannelConfig {
  int32_t conv = 0;  // KCP conversation identifier
  int32_t mode = 0;  // transport mode: 1 TCP, 2 KCP over UDP
  int32_t sliceSize = 0;
  int32_t packetSize = 0;
  int32_t sendWnd = 0;
  int32_t recvWnd = 0;
  int32_t forceFlush = 0;
  int32_t contRecvBufLen = 0;
  int32_t contSendBufLen = 0;
};

class Config {
 public:
  static Config& Instance();

  // Parses fileName into the raw table, then fills every field from the table or its default.
  // A missing or unreadable file gives the defaults. The table is cleared first, so a second
  // call reads the new file alone (tests rely on this). A value that does not convert throws
  // ConvertException and leaves the record partly filled.
  void Load(const std::string& fileName);
  bool KeyExists(const std::string& key) const;

  int32_t GetInt(const std::string& key, int32_t defaultValue) const;
  float GetFloat(const std::string& key, float defaultValue) const;
  bool GetBool(const std::string& key, bool defaultValue) const;
  std::wstring GetWString(const std::string& key, const std::wstring& defaultValue) const;
  std::string GetString(const std::string& key, const std::string& defaultValue) const;

  std::wstring applicationLogFolder;
  std::wstring serviceLogFolder;
  int32_t maxLogFileSize = 0;

  int32_t merchantApiPort = 0;
  int32_t mousePointerPort = 0;
  int32_t videoFramesPort = 0;
  int32_t audioFramesPort = 0;
  int32_t apiPort = 0;
  int32_t humanControlPort = 0;

  std::string serverAddress;

  int32_t udpVideoPort = 0;
  int32_t udpAudioPort = 0;

  KcpChannelConfig videoKcp;
  KcpChannelConfig audioKcp;

  bool pausedOnFullscreen = false;
  float desiredMonitorFreq = 0.0f;
  bool useVirtualAudio = false;

  int32_t serverManagerPort = 0;
  int32_t sessionManagerPort = 0;
  int32_t productManagerPort = 0;
  int32_t tokenVerifierPort = 0;
  int32_t settingsPort = 0;

  std::wstring serverManagerHost;
  std::wstring sessionManagerHost;
  std::wstring productManagerHost;
  std::wstring tokenVerifierHost;
  std::wstring settingsHost;

  // Extra trust anchor for HTTPS (a PEM file), e.g. a test back-end's certificate; empty: system store.
  std::string httpsCaFile;

  std::map<std::string, std::string> table;

  // The key and line of the value whose conversion made Load throw, so that start-up can point
  // the file's author at it (line 0: the key was not read from the file).
  struct BadValue {
    std::string key;
    std::size_t line = 0;
  };
  const std::optional<BadValue>& LastBadValue() const { return badValue_; }

  // Sets the six TCP ports to base..base+5 and the UDP video/audio ports to base+2/base+3.
  // A base outside 1..65530 would give ports that do not exist: ConvertException.
  void SetPortBlock(int32_t base);

 private:
  Config() = default;
  void ReadFile(const std::string& fileName);
  void ProcessLine(const std::string& line, std::size_t lineNumber);
  void FillRecord();
  std::wstring LogFolder(const std::string& key, platform::KnownFolder fallback) const;
  template <class T, class Conversion>
  T Lookup(const std::string& key, T defaultValue, Conversion convert) const;

  std::map<std::string, std::size_t> keyLines_;  // line of each key's first occurrence
  mutable std::optional<BadValue> badValue_;
};

// The installed default configuration, "/etc/zep/client-config.cfg" unless the build says otherwise.
extern const char* const kSystemConfigFile;

// The configuration file start-up reads: `name` in the current folder when one is there, else
// `systemFile` when that exists, else `name` (which then gives the built-in defaults).
std::string ChooseConfigFile(const std::string& name, const std::string& systemFile = kSystemConfigFile);

// The known folder + "/Vekta/Logs", created with its parents. ErrCodeException
// (errno) when there is no home folder or the folder cannot be made.
std::wstring GetLogFolder(platform::KnownFolder knownFolder);

// Creates path with its parents; an existing folder is fine. Logs and raises
// ErrCodeException with the errno value on failure.
void EnsureDirectoryExistsRecursively(const std::string& path);

// UTF-8 <-> wide conversions; ill-formed input raises ConvertException.
std::wstring Utf8ToWide(const std::string& utf8);
std::string WideToUtf8(const std::wstring& wide);
