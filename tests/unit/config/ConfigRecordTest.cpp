#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Folders.h"
#include "sov/base/BaseException.h"
#include "sov/config/Config.h"
#include "tests/unit/config/ConfigTestSupport.h"

namespace {

using configtest::ConfigTest;
using configtest::EnvGuard;
namespace fs = std::filesystem;

TEST_F(ConfigTest, NoFileMakesBothLogFoldersAndUdpPortsFollowTheFramesPorts) {
  EXPECT_EQ(LoadText(""), "");
  const Config& c = Config::Instance();
  EXPECT_EQ(c.applicationLogFolder, (stateHome_ / "Vekta" / "Logs").wstring());
  EXPECT_EQ(c.serviceLogFolder, (dataHome_ / "Vekta" / "Logs").wstring());
  EXPECT_TRUE(fs::is_directory(c.applicationLogFolder));
  EXPECT_TRUE(fs::is_directory(c.serviceLogFolder));
  EXPECT_EQ(c.udpVideoPort, c.videoFramesPort);
  LoadText("VideoFramesPort = 8000\nAudioFramesPort=8001\nUDPAudioPort = 8500\n");
  EXPECT_EQ(c.udpVideoPort, 8000);
  EXPECT_EQ(c.udpAudioPort, 8500);
}

TEST_F(ConfigTest, EmptyLogFolderValuesCountAsAbsent) {
  // Taken as they stand they would put the logs in "/".
  LoadText("logger.applicationlog =\nlogger.servicelog = \t\n");
  EXPECT_EQ(Config::Instance().applicationLogFolder, (stateHome_ / "Vekta" / "Logs").wstring());
  EXPECT_EQ(Config::Instance().serviceLogFolder, (dataHome_ / "Vekta" / "Logs").wstring());
}

// Each key lands in its own field: a misspelt key name or two swapped fields show up here.
TEST_F(ConfigTest, EveryKeyIsRead) {
  std::istringstream intKeys(
      "MerchantApiPort MousePointerPort VideoFramesPort AudioFramesPort ApiPort HumanControlPort "
      "UDPVideoPort "
      "UDPAudioPort UDPVideoSliceSize UDPVideoPacketSize UDPAudioSliceSize UDPAudioPacketSize "
      "UDPVideoSendWnd "
      "UDPVideoRecvWnd UDPAudioSendWnd UDPAudioRecvWnd UDPVideoForceFlush UDPAudioForceFlush "
      "UDPVideoContRecvBufLen UDPVideoContSendBufLen UDPAudioContRecvBufLen UDPAudioContSendBufLen "
      "ServerManagerPort SessionManagerPort ProductManagerPort TokenVerifierPort SettingsPort "
      "logger.Max_Log_File_Size");
  std::string file =
      "logger.applicationlog=/l/app\nlogger.servicelog=/l/svc\nServerManagerHost=sm\nSessionManagerHost=ss\n"
      "ProductManagerHost=pm\nTokenVerifierHost=tv\nSettingsHost=st\nPausedOnFullscreen=false\n"
      "DesiredMonitorFreq=75.5\nUseVirtualAudio=false\nHttpsCaFile=/ca.pem\n";
  std::vector<std::string> keys;
  for (std::string key; intKeys >> key;) {
    keys.push_back(key);
    file += key + "=" + std::to_string(keys.size()) + "\n";
  }
  LoadText(file);
  const Config& c = Config::Instance();
  const KcpChannelConfig& v = c.videoKcp;
  const KcpChannelConfig& a = c.audioKcp;
  // clang-format off
  const std::vector<int32_t> got = {
      c.merchantApiPort, c.mousePointerPort, c.videoFramesPort, c.audioFramesPort, c.apiPort, c.humanControlPort,
      c.udpVideoPort, c.udpAudioPort, v.sliceSize, v.packetSize, a.sliceSize, a.packetSize, v.sendWnd, v.recvWnd,
      a.sendWnd, a.recvWnd, v.forceFlush, a.forceFlush, v.contRecvBufLen, v.contSendBufLen, a.contRecvBufLen,
      a.contSendBufLen, c.serverManagerPort, c.sessionManagerPort, c.productManagerPort, c.tokenVerifierPort,
      c.settingsPort, c.maxLogFileSize};
  // clang-format on
  ASSERT_EQ(got.size(), keys.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], static_cast<int32_t>(i + 1)) << keys[i];
  EXPECT_EQ(c.applicationLogFolder + c.serviceLogFolder, L"/l/app/l/svc");
  EXPECT_EQ(c.serverManagerHost + c.sessionManagerHost + c.productManagerHost + c.tokenVerifierHost +
                c.settingsHost,
            L"smsspmtvst");
  EXPECT_FALSE(c.pausedOnFullscreen || c.useVirtualAudio);
  EXPECT_FLOAT_EQ(c.desiredMonitorFreq, 75.5f);
  EXPECT_EQ(c.httpsCaFile, "/ca.pem");
  // Given log folders are taken as they stand; only defaults are created.
  EXPECT_FALSE(fs::exists(stateHome_) || fs::exists(dataHome_));
}

TEST_F(ConfigTest, PortBlockNeedsRoomForSixPorts) {
  Config& c = Config::Instance();
  c.SetPortBlock(65530);
  EXPECT_EQ(c.humanControlPort, 65535);
  for (int32_t bad : {0, -1, 65531, INT32_MAX, INT32_MIN})
    EXPECT_THROW(c.SetPortBlock(bad), ConvertException) << bad;
  EXPECT_EQ(c.merchantApiPort, 65530);
}

TEST_F(ConfigTest, KnownFoldersFollowXdgVariablesElseHome) {
#ifdef _WIN32
  GTEST_SKIP() << "Linux's folder rules (XDG variables, then HOME); the Windows rules are tested in "
                  "Win32Folders.AppDataWinsElseTheShellFolder";
#endif
  const std::string home = (dir_ / "home").string();
  EnvGuard homeGuard("HOME", home.c_str());
  std::string state, data;
  const std::pair<const char*, std::string> cases[] = {
      {"/srv/x/", "/srv/x"}, {"", home}, {"relative/x", home}, {nullptr, home}};
  for (const auto& [value, expected] : cases) {
    EnvGuard s("XDG_STATE_HOME", value), d("XDG_DATA_HOME", value);
    ASSERT_EQ(platform::KnownFolderPath(platform::KnownFolder::RoamingAppData, state), 0);
    ASSERT_EQ(platform::KnownFolderPath(platform::KnownFolder::ProgramData, data), 0);
    EXPECT_EQ(state, expected + (expected == home ? "/.local/state" : ""));
    EXPECT_EQ(data, expected + (expected == home ? "/.local/share" : ""));
  }
}

TEST_F(ConfigTest, LogFolderIsCreatedPrivateWithParentsOrFailsWithErrno) {
  EnvGuard s(testsys::kStateHomeVar, (dir_ / "a" / "b").string().c_str());
  const std::wstring folder = GetLogFolder(platform::KnownFolder::RoamingAppData);
  EXPECT_EQ(folder, (dir_ / "a" / "b" / "Vekta" / "Logs").wstring());
  EXPECT_EQ(GetLogFolder(platform::KnownFolder::RoamingAppData), folder);
  ASSERT_TRUE(fs::is_directory(dir_ / "a" / "b" / "Vekta"));
#ifndef _WIN32
  struct stat st {};
  ASSERT_EQ(stat((dir_ / "a" / "b" / "Vekta").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);  // Windows: the profile folder's ACL keeps it private
#endif
  EXPECT_EQ(platform::CreateDirectories(dir_.string() + "//p//q/"), 0);
  EXPECT_TRUE(fs::is_directory(dir_ / "p" / "q"));
  EXPECT_EQ(platform::CreateDirectories(""), ENOENT);
  // A file where the default folder should be fails the load; a given folder needs no creation.
  Write("data", "a file where a folder should be");
  try {
    LoadText("");
    ADD_FAILURE() << "no exception";
  } catch (const ErrCodeException& e) {
    EXPECT_EQ(e.Code(), ENOTDIR);
  }
  EXPECT_NO_THROW(LoadText("logger.servicelog = /somewhere\n"));
}

}  // namespace
