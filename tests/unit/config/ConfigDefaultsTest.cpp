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
using configtest::TempDir;
namespace fs = std::filesystem;

void ExpectKcp(const KcpChannelConfig& k, int32_t slice, int32_t packet, int32_t wnd) {
  EXPECT_EQ(k.sliceSize, slice);
  EXPECT_EQ(k.packetSize, packet);
  EXPECT_EQ(k.sendWnd, wnd);
  EXPECT_EQ(k.recvWnd, wnd);
  EXPECT_EQ(k.forceFlush, 0);
  EXPECT_EQ(k.contRecvBufLen, 50000);
  EXPECT_EQ(k.contSendBufLen, 50000);
}

TEST_F(ConfigTest, NoFileGivesEveryDefaultAndCreatesLogFolders) {
  Config& c = Config::Instance();
  ::testing::internal::CaptureStdout();
  c.Load((dir_.path() / "client-config.cfg").string());
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

  const fs::path appLogs = StateHome() / "Vekta" / "Logs";
  const fs::path serviceLogs = DataHome() / "Vekta" / "Logs";
  EXPECT_EQ(c.applicationLogFolder, appLogs.wstring());
  EXPECT_EQ(c.serviceLogFolder, serviceLogs.wstring());
  EXPECT_TRUE(fs::is_directory(appLogs));
  EXPECT_TRUE(fs::is_directory(serviceLogs));
  EXPECT_EQ(c.maxLogFileSize, 102400);

  EXPECT_EQ(c.merchantApiPort, 7985);
  EXPECT_EQ(c.mousePointerPort, 7986);
  EXPECT_EQ(c.videoFramesPort, 7987);
  EXPECT_EQ(c.audioFramesPort, 7988);
  EXPECT_EQ(c.apiPort, 7989);
  EXPECT_EQ(c.humanControlPort, 7990);
  EXPECT_EQ(c.serverAddress, "192.168.1.102");
  EXPECT_EQ(c.udpVideoPort, 7987);
  EXPECT_EQ(c.udpAudioPort, 7988);

  ExpectKcp(c.videoKcp, 32768, 1400, 2048);
  ExpectKcp(c.audioKcp, 32768, 1400, 64);

  EXPECT_TRUE(c.pausedOnFullscreen);
  EXPECT_FLOAT_EQ(c.desiredMonitorFreq, 144.0f);
  EXPECT_TRUE(c.useVirtualAudio);

  EXPECT_EQ(c.serverManagerPort, 443);
  EXPECT_EQ(c.sessionManagerPort, 443);
  EXPECT_EQ(c.productManagerPort, 443);
  EXPECT_EQ(c.tokenVerifierPort, 443);
  EXPECT_EQ(c.settingsPort, 443);
  EXPECT_EQ(c.serverManagerHost, L"api.zep.example");
  EXPECT_EQ(c.sessionManagerHost, L"api.zep.example");
  EXPECT_EQ(c.productManagerHost, L"api.zep.example");
  EXPECT_EQ(c.tokenVerifierHost, L"api.zep.example");
  EXPECT_EQ(c.settingsHost, L"www.zep.example");
  EXPECT_EQ(c.httpsCaFile, "");
  EXPECT_TRUE(c.table.empty());
}

TEST_F(ConfigTest, UdpPortsFollowTheFramesPorts) {
  LoadText("VideoFramesPort = 8000\nAudioFramesPort=8001\n");
  EXPECT_EQ(Config::Instance().udpVideoPort, 8000);
  EXPECT_EQ(Config::Instance().udpAudioPort, 8001);
  LoadText("VideoFramesPort = 8000\nUDPVideoPort = 8500\n");
  EXPECT_EQ(Config::Instance().udpVideoPort, 8500);
  EXPECT_EQ(Config::Instance().udpAudioPort, 7988);
}

TEST_F(ConfigTest, EveryKeyIsRead) {
  LoadText(
      "logger.applicationlog=/l/app\nlogger.servicelog=/l/svc\nlogger.Max_Log_File_Size=5000\n"
      "MerchantApiPort=1\nMousePointerPort=2\nVideoFramesPort=3\nAudioFramesPort=4\nApiPort=5\n"
      "HumanControlPort=6\nUDPVideoPort=7\nUDPAudioPort=8\nUDPVideoSliceSize=9\nUDPVideoPacketSize=10\n"
      "UDPAudioSliceSize=11\nUDPAudioPacketSize=12\nUDPVideoSendWnd=13\nUDPVideoRecvWnd=14\n"
      "UDPAudioSendWnd=15\nUDPAudioRecvWnd=16\nUDPVideoForceFlush=17\nUDPAudioForceFlush=18\n"
      "UDPVideoContRecvBufLen=19\nUDPVideoContSendBufLen=20\nUDPAudioContRecvBufLen=21\n"
      "UDPAudioContSendBufLen=22\nServerManagerPort=23\nServerManagerHost=sm\nSessionManagerPort=24\n"
      "SessionManagerHost=ss\nProductManagerPort=25\nProductManagerHost=pm\nTokenVerifierPort=26\n"
      "TokenVerifierHost=tv\nSettingsPort=27\nSettingsHost=st\nPausedOnFullscreen=false\n"
      "DesiredMonitorFreq=75.5\nUseVirtualAudio=false\nHttpsCaFile=/ca.pem\n");
  const Config& c = Config::Instance();
  EXPECT_EQ(c.applicationLogFolder, L"/l/app");
  EXPECT_EQ(c.serviceLogFolder, L"/l/svc");
  EXPECT_EQ(c.maxLogFileSize, 5000);
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
                         c.settingsPort};
  for (int i = 0; i < 27; ++i) EXPECT_EQ(got[i], i + 1) << "field " << i;
  EXPECT_EQ(c.serverManagerHost, L"sm");
  EXPECT_EQ(c.sessionManagerHost, L"ss");
  EXPECT_EQ(c.productManagerHost, L"pm");
  EXPECT_EQ(c.tokenVerifierHost, L"tv");
  EXPECT_EQ(c.settingsHost, L"st");
  EXPECT_FALSE(c.pausedOnFullscreen);
  EXPECT_FLOAT_EQ(c.desiredMonitorFreq, 75.5f);
  EXPECT_FALSE(c.useVirtualAudio);
  EXPECT_EQ(c.httpsCaFile, "/ca.pem");
  // Given log folders are taken as they stand; only defaults are created.
  EXPECT_FALSE(fs::exists(StateHome()));
  EXPECT_FALSE(fs::exists(DataHome()));
}

TEST(ConfigPorts, SetPortBlock) {
  Config& c = Config::Instance();
  c.SetPortBlock(9000);
  EXPECT_EQ(c.merchantApiPort, 9000);
  EXPECT_EQ(c.mousePointerPort, 9001);
  EXPECT_EQ(c.videoFramesPort, 9002);
  EXPECT_EQ(c.audioFramesPort, 9003);
  EXPECT_EQ(c.apiPort, 9004);
  EXPECT_EQ(c.humanControlPort, 9005);
  EXPECT_EQ(c.udpVideoPort, 9002);
  EXPECT_EQ(c.udpAudioPort, 9003);
  c.SetPortBlock(65530);
  EXPECT_EQ(c.humanControlPort, 65535);
  for (int32_t bad : {0, -1, 65531, INT32_MAX, INT32_MIN}) {
    EXPECT_THROW(c.SetPortBlock(bad), ConvertException) << bad;
  }
  EXPECT_EQ(c.merchantApiPort, 65530);
}

TEST(KnownFolders, XdgVariablesAndHomeFallback) {
  TempDir dir;
  const std::string home = (dir.path() / "home").string();
  EnvGuard homeGuard("HOME", home.c_str());
  std::string path;
  {
    EnvGuard s("XDG_STATE_HOME", "/srv/state/");
    EnvGuard d("XDG_DATA_HOME", "/srv/data");
    ASSERT_EQ(platform::KnownFolderPath(platform::KnownFolder::RoamingAppData, path), 0);
    EXPECT_EQ(path, "/srv/state");
    ASSERT_EQ(platform::KnownFolderPath(platform::KnownFolder::ProgramData, path), 0);
    EXPECT_EQ(path, "/srv/data");
  }
  // Relative or empty values are not XDG folders and are ignored.
  for (const char* ignored : std::initializer_list<const char*>{"", "relative/state", nullptr}) {
    EnvGuard s("XDG_STATE_HOME", ignored);
    EnvGuard d("XDG_DATA_HOME", ignored);
    ASSERT_EQ(platform::KnownFolderPath(platform::KnownFolder::RoamingAppData, path), 0);
    EXPECT_EQ(path, home + "/.local/state");
    ASSERT_EQ(platform::KnownFolderPath(platform::KnownFolder::ProgramData, path), 0);
    EXPECT_EQ(path, home + "/.local/share");
  }
}

TEST(KnownFolders, WithoutHomeVariableUsesPasswordEntry) {
  EnvGuard homeGuard("HOME", nullptr);
  EnvGuard s("XDG_STATE_HOME", nullptr);
  std::string path;
  const int err = platform::KnownFolderPath(platform::KnownFolder::RoamingAppData, path);
  if (err != 0) GTEST_SKIP() << "no password entry for this user: " << err;
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_TRUE(path.ends_with("/.local/state")) << path;
}

TEST(KnownFolders, LogFolderIsCreatedWithParents) {
  TempDir dir;
  const fs::path state = dir.path() / "a" / "b";
  EnvGuard s("XDG_STATE_HOME", state.c_str());
  const std::wstring folder = GetLogFolder(platform::KnownFolder::RoamingAppData);
  EXPECT_EQ(folder, (state / "Vekta" / "Logs").wstring());
  EXPECT_TRUE(fs::is_directory(state / "Vekta" / "Logs"));
  struct stat st {};
  ASSERT_EQ(stat((state / "Vekta").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // A second call finds it there.
  EXPECT_EQ(GetLogFolder(platform::KnownFolder::RoamingAppData), folder);
}

TEST(KnownFolders, UncreatableLogFolderRaisesErrno) {
  TempDir dir;
  const std::string blocker = dir.Write("state", "a file where a folder should be");
  EnvGuard s("XDG_STATE_HOME", blocker.c_str());
  try {
    GetLogFolder(platform::KnownFolder::RoamingAppData);
    FAIL() << "no exception";
  } catch (const ErrCodeException& e) {
    EXPECT_EQ(e.Code(), ENOTDIR);
  }
  EXPECT_EQ(platform::CreateDirectories(blocker + "/x"), ENOTDIR);
  EXPECT_EQ(platform::CreateDirectories(""), ENOENT);
  EXPECT_EQ(platform::CreateDirectories(dir.path().string() + "//p//q/"), 0);
  EXPECT_TRUE(fs::is_directory(dir.path() / "p" / "q"));
}

TEST_F(ConfigTest, LoadFailsWhenDefaultLogFolderCannotBeMade) {
  dir_.Write("state", "");
  EXPECT_THROW(LoadText(""), ErrCodeException);
  // A given folder needs no creation, so the same environment loads fine.
  EXPECT_NO_THROW(LoadText("logger.applicationlog = /somewhere\n"));
  EXPECT_EQ(Config::Instance().applicationLogFolder, L"/somewhere");
}

}  // namespace
