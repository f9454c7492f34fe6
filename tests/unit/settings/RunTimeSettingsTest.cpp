#include <sys/stat.h>
#include <unistd.h>

#include "TempConfigHome.h"
#include "sov/base/BaseException.h"
#include "sov/settings/RunTimeSettings.h"
#include "sov/settings/SettingsStore.h"

namespace fs = std::filesystem;

namespace {

using RunTime = TempConfigHome;

struct Expected {
  const char* name;
  std::atomic<uint32_t> CRunTimeSettings::*field;
  uint32_t def;
  uint32_t max;
};

// Written out by hand from the settings table, in load order.
const Expected kExpected[] = {
    {"AudioBufferSizeIndex", &CRunTimeSettings::audioBufferSizeIndex, 1, 2},
    {"VSyncIndex", &CRunTimeSettings::vSyncIndex, 0, 1},
    {"PostProcessingIndex", &CRunTimeSettings::postProcessingIndex, 0, 1},
    {"NetworkUsageIndex", &CRunTimeSettings::networkUsageIndex, 0, 3},
    {"NetworkBandwidthIndex", &CRunTimeSettings::networkBandwidthIndex, 1, 4},
    {"CodecIndex", &CRunTimeSettings::codecIndex, 0, 4},
    {"NetworkTransportIndex", &CRunTimeSettings::networkTransportIndex, 0, 1},
    {"VideoResolutionIndex", &CRunTimeSettings::videoResolutionIndex, 1, 2},
    {"ServerFPSIndex", &CRunTimeSettings::serverFpsIndex, 3, 8},
    {"PreserveAspectRatioIndex", &CRunTimeSettings::preserveAspectRatioIndex, 0, 1},
    {"AllowGamepadIndex", &CRunTimeSettings::allowGamepadIndex, 0, 1},
    {"AllowIncomingIndex", &CRunTimeSettings::allowIncomingIndex, 0, 1},
    {"EnableMicIndex", &CRunTimeSettings::enableMicIndex, 1, 1},
};

void ExpectDefaults(const CRunTimeSettings& s) {
  for (const auto& e : kExpected) EXPECT_EQ((s.*e.field).load(), e.def) << e.name;
  EXPECT_EQ(s.overlayVisible.load(), 0u);
  EXPECT_EQ(s.streamingEnabled.load(), 0u);
  EXPECT_EQ(s.overlayBuildTime.load(), 0u);
  EXPECT_EQ(s.overlayBuildValue.load(), 0u);
}

int SaveError(CRunTimeSettings& s) {
  try {
    s.Save();
  } catch (const ErrCodeException& e) {
    return e.Code();
  }
  return 0;
}

fs::path RuntimeFile(const fs::path& home) {
  return home / "Ulmek" / "Zep" / "Runtime";
}

TEST_F(RunTime, TableMatchesTheDocumentedFields) {
  const auto& table = RunTimeSettingTable();
  ASSERT_EQ(std::size(table), std::size(kExpected));
  for (std::size_t i = 0; i < std::size(kExpected); ++i) {
    EXPECT_STREQ(table[i].valueName, kExpected[i].name);
    EXPECT_EQ(table[i].field, kExpected[i].field) << kExpected[i].name;
    EXPECT_EQ(table[i].defaultIndex, kExpected[i].def) << kExpected[i].name;
    EXPECT_EQ(table[i].maxIndex, kExpected[i].max) << kExpected[i].name;
    EXPECT_EQ(table[i].saved, std::string(kExpected[i].name) != "NetworkTransportIndex");
  }
}

TEST_F(RunTime, EmptyStoreLoadsDefaultsAndCreatesTheKey) {
  ASSERT_FALSE(fs::exists(RuntimeFile(home_)));
  CRunTimeSettings s;
  ExpectDefaults(s);
  EXPECT_TRUE(fs::is_regular_file(RuntimeFile(home_)));
  EXPECT_TRUE(SettingsStore(kRunTimeSettingsKey).Load().Empty());
  EXPECT_EQ(LogText(), "");
}

TEST_F(RunTime, OnlyInRangeDwordsAreTaken) {
  SettingsStore store(kRunTimeSettingsKey);
  store.Write({
      {"ServerFPSIndex", SettingsValue::Dword(9)},          // out of range: keeps 3
      {"AudioBufferSizeIndex", SettingsValue::Dword(2)},    // the top of its range
      {"VSyncIndex", SettingsValue::String("1")},           // a string is not a number
      {"CodecIndex", SettingsValue::Binary({4, 0, 0, 0})},  // four binary bytes count as a DWORD
      {"NetworkUsageIndex", SettingsValue::Binary({3, 0, 0})},
      {"NetworkBandwidthIndex", SettingsValue::Dword(0xFFFFFFFF)},
      {"NetworkTransportIndex", SettingsValue::Dword(1)},  // read, though never written
      {"EnableMicIndex", SettingsValue::Dword(0)},
  });
  CRunTimeSettings s;
  EXPECT_EQ(s.serverFpsIndex.load(), 3u);
  EXPECT_EQ(s.audioBufferSizeIndex.load(), 2u);
  EXPECT_EQ(s.vSyncIndex.load(), 0u);
  EXPECT_EQ(s.codecIndex.load(), 4u);
  EXPECT_EQ(s.networkUsageIndex.load(), 0u);
  EXPECT_EQ(s.networkBandwidthIndex.load(), 1u);
  EXPECT_EQ(s.networkTransportIndex.load(), 1u);
  EXPECT_EQ(s.enableMicIndex.load(), 0u);

  // A later load with an out-of-range value keeps the current one, not the default.
  s.serverFpsIndex = 6;
  s.Load();
  EXPECT_EQ(s.serverFpsIndex.load(), 6u);
  // Binary bytes are little-endian.
  store.Write("ServerFPSIndex", SettingsValue::Binary({8, 0, 0, 0}));
  store.Write("PreserveAspectRatioIndex", SettingsValue::Binary({0, 0, 0, 1}));
  s.Load();
  EXPECT_EQ(s.serverFpsIndex.load(), 8u);
  EXPECT_EQ(s.preserveAspectRatioIndex.load(), 0u);
}

TEST_F(RunTime, SaveThenLoadReturnsEveryPersistedField) {
  CRunTimeSettings a;
  // Each field at a non-default value inside its range.
  for (const auto& e : kExpected) (a.*e.field) = e.def == e.max ? 0 : e.max;
  a.overlayVisible = 1;
  a.streamingEnabled = 1;
  a.overlayBuildTime = 1234;
  a.Save();

  const std::vector<std::string> lines = Lines(Read(RuntimeFile(home_)));
  std::vector<std::string> valueLines;
  for (const auto& l : lines)
    if (!l.empty() && l[0] != '#') valueLines.push_back(l);
  // The twelve values in save order; no transport index and no unsaved field.
  const std::vector<std::string> expected = {"AudioBufferSizeIndex=dword:2",     "VSyncIndex=dword:1",
                                             "PostProcessingIndex=dword:1",      "NetworkUsageIndex=dword:3",
                                             "NetworkBandwidthIndex=dword:4",    "CodecIndex=dword:4",
                                             "VideoResolutionIndex=dword:2",     "ServerFPSIndex=dword:8",
                                             "PreserveAspectRatioIndex=dword:1", "AllowGamepadIndex=dword:1",
                                             "AllowIncomingIndex=dword:1",       "EnableMicIndex=dword:0"};
  EXPECT_EQ(valueLines, expected);

  CRunTimeSettings b;
  for (const auto& e : kExpected) {
    if (std::string(e.name) == "NetworkTransportIndex")
      EXPECT_EQ((b.*e.field).load(), 0u);
    else
      EXPECT_EQ((b.*e.field).load(), (a.*e.field).load()) << e.name;
  }
  EXPECT_EQ(b.overlayVisible.load(), 0u);
  EXPECT_EQ(b.streamingEnabled.load(), 0u);
  EXPECT_EQ(b.overlayBuildTime.load(), 0u);
  EXPECT_EQ(StoreEntries(), (std::vector<std::string>{".lock", "Runtime"}));
}

TEST_F(RunTime, TransportToggleNeverReachesTheStore) {
  CRunTimeSettings s;
  CRunTimeSettings::Set(s.networkTransportIndex, 1);
  s.Save();
  SettingsStore store(kRunTimeSettingsKey);
  EXPECT_EQ(store.Load().Find("NetworkTransportIndex"), nullptr);

  // A stored transport index stays as it was, whatever the field holds.
  store.Write("NetworkTransportIndex", SettingsValue::Dword(1));
  s.Load();
  EXPECT_EQ(s.networkTransportIndex.load(), 1u);
  CRunTimeSettings::Set(s.networkTransportIndex, 0);
  s.Save();
  EXPECT_EQ(store.Load().Dword("NetworkTransportIndex"), 1u);
}

TEST_F(RunTime, DamagedStoreGivesDefaultsAndAWarning) {
  const fs::path file = RuntimeFile(home_);
  struct Case {
    const char* what;
    std::string bytes;
  };
  std::string garbage(3000, '\0');
  unsigned x = 7;
  for (auto& c : garbage) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
  const Case cases[] = {
      {"truncated", "AudioBufferSizeIndex=dword:2\nServerFPSIndex=dwo"},
      {"garbage", garbage},
      {"foreign", "[Settings]\nServerFPSIndex = 5\n<xml/>\n"},
  };
  auto warnings = [&] {
    std::string log = LogText();
    std::size_t n = 0;
    for (std::size_t pos = 0; (pos = log.find(file.string(), pos)) != std::string::npos; ++pos) ++n;
    return n;
  };
  for (const auto& c : cases) {
    WriteRaw(file, c.bytes);
    const std::size_t before = warnings();
    CRunTimeSettings s;
    EXPECT_EQ(s.serverFpsIndex.load(), 3u) << c.what;
    EXPECT_EQ(s.codecIndex.load(), 0u) << c.what;
    if (std::string(c.what) == "truncated") {
      EXPECT_EQ(s.audioBufferSizeIndex.load(), 2u);
    }
    EXPECT_EQ(warnings(), before + 1) << c.what;
    // Saving repairs the file.
    s.Save();
    EXPECT_EQ(SettingsStore(kRunTimeSettingsKey).Load().skippedLines, 0u) << c.what;
  }
}

TEST_F(RunTime, FolderInPlaceOfTheFileLoadsDefaultsAndSaveRaises) {
  const fs::path file = RuntimeFile(home_);
  fs::create_directories(file);
  CRunTimeSettings s;
  ExpectDefaults(s);
  EXPECT_NE(LogText().find("WARN"), std::string::npos);
  s.vSyncIndex = 1;
  EXPECT_EQ(SaveError(s), EISDIR);
  EXPECT_TRUE(fs::is_directory(file));
}

TEST_F(RunTime, StoreFolderThatCannotBeMadeLoadsDefaultsAndSaveRaises) {
  // A file where the configuration folder should be: fails for every user.
  WriteRaw(home_ / "Ulmek", "x");
  CRunTimeSettings s;
  ExpectDefaults(s);
  EXPECT_NE(LogText().find("WARN"), std::string::npos);
  EXPECT_EQ(SaveError(s), ENOTDIR);
}

// A read-only folder stops only ordinary users, so the check runs as one.
void UnwritableFolderCheck(const fs::path& home) {
  if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(10);
  CRunTimeSettings s;
  if (s.serverFpsIndex.load() != 5) _exit(11);  // what was stored is still read
  if (fs::exists(RuntimeFile(home).parent_path() / ".lock")) _exit(12);
  s.serverFpsIndex = 6;
  try {
    s.Save();
  } catch (const ErrCodeException& e) {
    _exit(e.Code() == EACCES ? 0 : 13);
  }
  _exit(14);
}

TEST_F(RunTime, ReadOnlyFolderLoadsWhatIsThereAndSaveRaises) {
  const fs::path dir = RuntimeFile(home_).parent_path();
  WriteRaw(RuntimeFile(home_), "ServerFPSIndex=dword:5\n");
  chmod(RuntimeFile(home_).c_str(), 0644);
  // Let an unprivileged user reach the folder but not write it.
  for (fs::path p = dir; p != base_.parent_path(); p = p.parent_path()) chmod(p.c_str(), 0555);
  EXPECT_EXIT(UnwritableFolderCheck(home_), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(Read(RuntimeFile(home_)), "ServerFPSIndex=dword:5\n");
}

TEST_F(RunTime, ProcessWideInstanceIsOneObject) {
  CRunTimeSettings& a = RunTimeSettings();
  CRunTimeSettings& b = RunTimeSettings();
  EXPECT_EQ(&a, &b);
  ExpectDefaults(a);
}

}  // namespace
