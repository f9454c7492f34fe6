#include <sys/stat.h>
#include <unistd.h>

#include "TempConfigHome.h"
#include "sov/settings/RunTimeSettings.h"
#include "sov/settings/SettingsStore.h"

namespace fs = std::filesystem;

namespace {

using RunTime = TempConfigHome;

fs::path RuntimeFile(const fs::path& home) {
  return home / "Ulmek" / "Zep" / "Runtime";
}

// The member initialisers and the table the overlay reads must name the same defaults.
void ExpectDefaults(const CRunTimeSettings& s) {
  for (const auto& info : RunTimeSettingTable())
    EXPECT_EQ((s.*info.field).load(), info.defaultIndex) << info.valueName;
}

TEST_F(RunTime, EmptyOrBrokenStoreLoadsDefaults) {
  CRunTimeSettings s;
  ExpectDefaults(s);
  EXPECT_TRUE(fs::is_regular_file(RuntimeFile(home_)));  // the key is made
  EXPECT_EQ(LogText(), "");

  fs::remove_all(home_ / "Ulmek");
  WriteRaw(home_ / "Ulmek", "x");  // a file where the folder should be: fails for every user
  CRunTimeSettings broken;
  ExpectDefaults(broken);
  EXPECT_NE(LogText().find("WARN"), std::string::npos);
  EXPECT_EQ(ErrCodeOf([&] { broken.Save(); }), ENOTDIR);
}

TEST_F(RunTime, OnlyInRangeDwordsAreTaken) {
  SettingsStore store(kRunTimeSettingsKey);
  store.Write({
      {"ServerFPSIndex", SettingsValue::Dword(9)},          // out of range: keeps 3
      {"AudioBufferSizeIndex", SettingsValue::Dword(2)},    // the top of its range
      {"VSyncIndex", SettingsValue::String("1")},           // a string is not a number
      {"CodecIndex", SettingsValue::Binary({4, 0, 0, 0})},  // four binary bytes count as a DWORD
      {"NetworkUsageIndex", SettingsValue::Binary({3, 0, 0})},
      {"NetworkTransportIndex", SettingsValue::Dword(1)},  // read, though never written
  });
  CRunTimeSettings s;
  EXPECT_EQ(s.serverFpsIndex.load(), 3u);
  EXPECT_EQ(s.audioBufferSizeIndex.load(), 2u);
  EXPECT_EQ(s.vSyncIndex.load(), 0u);
  EXPECT_EQ(s.codecIndex.load(), 4u);
  EXPECT_EQ(s.networkUsageIndex.load(), 0u);
  EXPECT_EQ(s.networkTransportIndex.load(), 1u);
  // A later load with an out-of-range value keeps the current one, not the default.
  s.serverFpsIndex = 6;
  s.Load();
  EXPECT_EQ(s.serverFpsIndex.load(), 6u);
}

TEST_F(RunTime, SaveThenLoadReturnsEveryPersistedFieldButNotTheTransport) {
  SettingsStore store(kRunTimeSettingsKey);
  store.Write("NetworkTransportIndex", SettingsValue::Dword(1));
  CRunTimeSettings a;
  // Each field at a non-default value inside its range.
  for (const auto& info : RunTimeSettingTable())
    (a.*info.field) = info.defaultIndex == info.maxIndex ? 0 : info.maxIndex;
  CRunTimeSettings::Set(a.networkTransportIndex, 0);  // the switch changes the field only
  a.overlayVisible = 1;
  a.streamingEnabled = 1;
  a.Save();

  EXPECT_EQ(store.Load().Items().size(), 13u);  // twelve saved plus the transport already there
  EXPECT_EQ(store.Load().Dword("NetworkTransportIndex"), 1u);
  CRunTimeSettings b;
  for (const auto& info : RunTimeSettingTable())
    if (info.saved) {
      EXPECT_EQ((b.*info.field).load(), (a.*info.field).load()) << info.valueName;
    }
  EXPECT_EQ(b.networkTransportIndex.load(), 1u);
  EXPECT_EQ(b.overlayVisible.load() + b.streamingEnabled.load(), 0u);
}

// A read-only folder stops only ordinary users, so the check runs as one.
void UnwritableFolderCheck() {
  if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
  CRunTimeSettings s;
  if (s.serverFpsIndex.load() != 5) _exit(11);  // what was stored is still read
  s.serverFpsIndex = 6;
  _exit(ErrCodeOf([&] { s.Save(); }) == EACCES ? 0 : 13);
}

TEST_F(RunTime, ReadOnlyFolderLoadsWhatIsThereAndSaveRaises) {
  const fs::path dir = RuntimeFile(home_).parent_path();
  WriteRaw(RuntimeFile(home_), "ServerFPSIndex=dword:5\n");
  chmod(RuntimeFile(home_).c_str(), 0644);
  // Let an unprivileged user reach the folder but not write it.
  for (fs::path p = dir; p != base_.parent_path(); p = p.parent_path()) chmod(p.c_str(), 0555);
  EXPECT_EXIT(UnwritableFolderCheck(), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(Read(RuntimeFile(home_)), "ServerFPSIndex=dword:5\n");
}

}  // namespace
