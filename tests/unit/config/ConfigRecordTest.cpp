#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>

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
  const char* intKeys[] = {"MerchantApiPort",
                           "MousePointerPort",
                           "VideoFramesPort",
                           "AudioFramesPort",
                           "ApiPort",
                           "HumanControlPort",
                           "UDPVideoPort",
                           "UDPAudioPort",
                           "UDPVideoSliceSize",
                           "UDPVideoPacketSize",
                           "UDPAudioSliceSize",
                           "UDPAudioPacketSize",
                           "UDPVideoSendWnd",
                           "UDPVideoRecvWnd",
                           "UDPAudioSendWnd",
                           "UDPAudioRecvWnd",
                           "UDPVideoForceFlush",
                           "UDPAudioForceFlush",
                           "UDPVideoContRecvBufLen",
                           "UDPVideoContSendBufLen",
                           "UDPAudioContRecvBufLen",
                           "UDPAudioContSendBufLen",
                           "ServerManagerPort",
                           "SessionManagerPort",
                           "ProductManagerPort",
                           "TokenVerifierPort",
                           "SettingsPort",
                           "logger.Max_Log_File_Size"};
  std::string file =
      "logger.applicationlog=/l/app\nlogger.servicelog=/l/svc\nServerManagerHost=sm\nSessionManagerHost=ss\n"
      "ProductManagerHost=pm\nTokenVerifierHost=tv\nSettingsHost=st\nPausedOnFullscreen=false\n"
      "DesiredMonitorFreq=75.5\nUseVirtualAudio=false\nHttpsCaFile=/ca.pem\n";
  for (int i = 0; i < 28; ++i) file += std::string(intKeys[i]) + "=" + std::to_string(i + 1) + "\n";
  LoadText(file);
  const Config& c = Config::Instance();
  const int32_t got[] = {c.merchantApiPort,
                         c.mousePointerPort,
                         c.videoFramesPort,
                         c.audioFramesPort,
                         c.apiPort,
                         c.humanControlPort,
                         c.udpVideoPort,
                         c.udpAudioPort,
                         c.videoKcp.sliceSize,
                         c.videoKcp.packetSize,
                         c.audioKcp.sliceSize,
                         c.audioKcp.packetSize,
                         c.videoKcp.sendWnd,
                         c.videoKcp.recvWnd,
                         c.audioKcp.sendWnd,
                         c.audioKcp.recvWnd,
                         c.videoKcp.forceFlush,
                         c.audioKcp.forceFlush,
                         c.videoKcp.contRecvBufLen,
                         c.videoKcp.contSendBufLen,
                         c.audioKcp.contRecvBufLen,
                         c.audioKcp.contSendBufLen,
                         c.serverManagerPort,
                         c.sessionManagerPort,
                         c.productManagerPort,
                         c.tokenVerifierPort,
                         c.settingsPort,
                         c.maxLogFileSize};
  for (int i = 0; i < 28; ++i) EXPECT_EQ(got[i], i + 1) << intKeys[i];
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
  // Without HOME the password entry names the home folder.
  EnvGuard noHome("HOME", nullptr), noState("XDG_STATE_HOME", nullptr);
  if (platform::KnownFolderPath(platform::KnownFolder::RoamingAppData, state) == 0) {
    EXPECT_TRUE(state.starts_with("/") && state.ends_with("/.local/state")) << state;
  }
}

TEST_F(ConfigTest, LogFolderIsCreatedPrivateWithParents) {
  EnvGuard s("XDG_STATE_HOME", (dir_ / "a" / "b").c_str());
  const std::wstring folder = GetLogFolder(platform::KnownFolder::RoamingAppData);
  EXPECT_EQ(folder, (dir_ / "a" / "b" / "Vekta" / "Logs").wstring());
  EXPECT_TRUE(fs::is_directory(folder));
  struct stat st {};
  ASSERT_EQ(stat((dir_ / "a" / "b" / "Vekta").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(GetLogFolder(platform::KnownFolder::RoamingAppData), folder);
  EXPECT_EQ(platform::CreateDirectories(""), ENOENT);
  EXPECT_EQ(platform::CreateDirectories(dir_.string() + "//p//q/"), 0);
  EXPECT_TRUE(fs::is_directory(dir_ / "p" / "q"));
}

TEST_F(ConfigTest, UncreatableDefaultLogFolderFailsTheLoadWithErrno) {
  Write("state", "a file where a folder should be");
  try {
    LoadText("");
    ADD_FAILURE() << "no exception";
  } catch (const ErrCodeException& e) {
    EXPECT_EQ(e.Code(), ENOTDIR);
  }
  // A given folder needs no creation, so the same environment loads fine.
  EXPECT_NO_THROW(LoadText("logger.applicationlog = /somewhere\n"));
}

}  // namespace
