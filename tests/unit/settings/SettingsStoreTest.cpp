#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "TempConfigHome.h"
#include "sov/settings/SettingsStore.h"

namespace fs = std::filesystem;

namespace {

using namespace std::string_literals;
using Store = TempConfigHome;

constexpr const char* kKey = "SOFTWARE\\Ulmek\\Zep\\Runtime";

unsigned Mode(const fs::path& p) {
  struct stat st {};
  return stat(p.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}
ino_t Inode(const fs::path& p) {
  struct stat st {};
  return stat(p.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(SettingsKeyFile, KeyPathsMapToFileNamesThatStayInTheFolder) {
  EXPECT_EQ(SettingsStore::KeyFileName("Software\\ulmek\\ZEP\\Runtime"), "Runtime");
  EXPECT_EQ(SettingsStore::KeyFileName("SOFTWARE\\Microsoft\\DirectX\\UserGpuPreferences"),
            "Microsoft.DirectX.UserGpuPreferences");
  EXPECT_EQ(SettingsStore::KeyFileName("SOFTWARE\\Ulmek\\Zep"), "Ulmek.Zep");
  for (const std::string& bad : std::vector<std::string>{
           "", "SOFTWARE\\", "SOFTWARE\\Ulmek\\..\\x", "SOFTWARE\\a/b", "SOFTWARE\\.lock", "SOFTWARE\\a\\\\b",
           "SOFTWARE\\a\nb", std::string(250, 'k')})
    EXPECT_EQ(ErrCodeOf([&] { SettingsStore s(bad); }), ErrCode::InvalidArg) << bad;
}

TEST_F(Store, RootFollowsXdgConfigHomeThenHome) {
  EXPECT_EQ(SettingsStore(kKey).File(), home_ / "Ulmek" / "Zep" / "Runtime");
  setenv("HOME", base_.c_str(), 1);
  setenv("XDG_CONFIG_HOME", "relative/dir", 1);  // the XDG rules ignore a relative path
  EXPECT_EQ(SettingsStore::Root(), base_ / ".config" / "Ulmek" / "Zep");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(SettingsStore::Root(), base_ / ".config" / "Ulmek" / "Zep");
}

TEST(SettingsFormat, ReadsHandWrittenLinesAndSkipsBadOnes) {
  const std::string text =
      "# comment line\n\nGood=dword:1\nHex=dword:0x0000007B\r\nBig=dword:4294967295\n"
      "Path/with\\=equals=sz:GpuPreference=1;\nMulti=sz:line1\\nline2\\\\end\\ttab\\x01\n"
      "Blob=binary:0A0b0c0D\n=sz:default value\n\\x23Hash=dword:7\n"
      // Thirteen lines that are skipped.
      "NoEquals\nNeg=dword:-1\nOver=dword:4294967296\nHexOver=dword:0x100000000\nSpaces=dword: 1\n"
      "Qword=qword:1\nOdd=binary:abc\nNotHex=binary:zz\nBadEscape=sz:a\\qb\nShortEscape=sz:\\x4\n"
      "Tail=sz:ends with \\\nCtl=sz:a\x01z\nNul=dword:1\0\n"
      "good=dword:2"s;  // a later line wins, also when cut off without its line end
  SettingsValues v = SettingsStore::Parse(text);
  EXPECT_EQ(v.skippedLines, 13u);
  ASSERT_EQ(v.Items().size(), 8u);
  EXPECT_EQ(v.Dword("GOOD"), 2u);  // names ignore ASCII case, like the registry
  EXPECT_EQ(v.Dword("Hex"), 123u);
  EXPECT_EQ(v.Dword("Big"), 4294967295u);
  EXPECT_EQ(v.Find("Path/with=equals")->text, "GpuPreference=1;");
  EXPECT_EQ(v.Find("Multi")->text, "line1\nline2\\end\ttab\x01");
  EXPECT_EQ(v.Dword("Blob"), 0x0d0c0b0au);  // four binary bytes, little-endian
  EXPECT_EQ(v.Dword("Multi"), std::nullopt);
  EXPECT_EQ(v.Find("")->text, "default value");
  EXPECT_EQ(v.Dword("#Hash"), 7u);
}

TEST(SettingsFormat, SerializeRoundTripsAwkwardNamesAndTexts) {
  SettingsValues in;
  in.Set("Plain", SettingsValue::Dword(42));
  in.Set("/home/u/zep=x\\y", SettingsValue::String("multi\nline\r\n\\ back\tslash = # \x7f end"));
  in.Set("#starts with hash", SettingsValue::String(""));
  in.Set("nl\nname", SettingsValue::Binary({0, 1, 0xfe, 0xff}));
  in.Set("utf8 \xd0\xb8\xd0\xbc\xd1\x8f", SettingsValue::String("\xe2\x88\x9e \xf0\x9f\x8e\xae"));
  std::string text = SettingsStore::Serialize(in, kKey);
  // One header line plus one line per value: nothing escaped leaks a line end.
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 6);
  SettingsValues out = SettingsStore::Parse(text);
  EXPECT_EQ(out.skippedLines, 0u);
  EXPECT_EQ(out.Items(), in.Items());
}

TEST_F(Store, CreateAndWriteKeepPrivateFilesAndReplaceThemWhole) {
  SettingsStore store(kKey);
  store.Create();
  EXPECT_EQ(Mode(StoreDir()), 0700u);
  EXPECT_EQ(Mode(store.File()), 0600u);
  EXPECT_TRUE(store.Load().Empty());
  store.Write("First", SettingsValue::Dword(1));
  store.Create();  // open-or-create leaves an existing key alone
  const ino_t before = Inode(store.File());
  std::ifstream reader(store.File(), std::ios::binary);  // holds the old file open
  store.Write({{"Second", SettingsValue::String("two")}, {"first", SettingsValue::Dword(11)}});
  // A new file was renamed over the old one, which its reader still sees whole.
  EXPECT_NE(Inode(store.File()), before);
  EXPECT_NE(std::string(std::istreambuf_iterator<char>(reader), {}).find("First=dword:1\n"),
            std::string::npos);
  EXPECT_EQ(Mode(store.File()), 0600u);

  SettingsValues v = store.Load();
  ASSERT_EQ(v.Items().size(), 2u);
  EXPECT_EQ(v.Items()[0].first, "First");  // replaced in place, original spelling kept
  EXPECT_EQ(v.Dword("First"), 11u);
  EXPECT_EQ(v.Find("Second")->text, "two");
  EXPECT_EQ(StoreEntries(), (std::vector<std::string>{".lock", "Runtime"}));
  EXPECT_EQ(LogText(), "");
}

TEST_F(Store, SymlinkedKeyFileStaysALink) {
  SettingsStore store(kKey);
  const fs::path target = base_ / "dotfiles" / "zep-runtime";
  WriteRaw(target, "A=dword:1\n");
  fs::create_directories(StoreDir());
  fs::create_symlink(target, store.File());
  store.Write("B", SettingsValue::Dword(2));
  EXPECT_TRUE(fs::is_symlink(store.File()));
  EXPECT_EQ(store.Load().Dword("A"), 1u);
  EXPECT_NE(Read(target).find("B=dword:2"), std::string::npos);
}

TEST_F(Store, DamagedAndForeignFilesNeverThrowAndWarnOnce) {
  SettingsStore store(kKey);
  WriteRaw(store.File(), "Keep=dword:3\nCut=dwo");  // cut off in the middle of a line
  SettingsValues v = store.Load();
  EXPECT_EQ(v.readError, 0);
  EXPECT_EQ(v.Dword("Keep"), 3u);
  EXPECT_EQ(v.skippedLines, 1u);
  std::string log = LogText();
  EXPECT_NE(log.find("WARN"), std::string::npos);
  EXPECT_NE(log.find(store.File().string()), std::string::npos) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;

  WriteRaw(store.File(), "[Settings]\nServerFPSIndex = 5\n<xml/>\n");  // someone else's format
  EXPECT_TRUE(store.Load().Empty());
  // Random bytes, NULs included, many times over, then one good line.
  std::mt19937 rng(12345);
  for (int round = 0; round < 200; ++round) {
    std::string bytes(rng() % 4096, '\0');
    for (auto& b : bytes) b = static_cast<char>(rng());
    WriteRaw(store.File(), bytes + "\nSurvivor=dword:77\n");
    EXPECT_EQ(store.Load().Dword("Survivor"), 77u) << round;
  }
  // A write over a damaged file keeps what was readable and drops the rest.
  WriteRaw(store.File(), "Keep=dword:3\n\x01garbage\n");
  store.Write("New", SettingsValue::Dword(1));
  SettingsValues after = store.Load();
  EXPECT_EQ(after.skippedLines, 0u);
  EXPECT_EQ(after.Dword("Keep"), 3u);
  EXPECT_EQ(after.Dword("New"), 1u);
}

TEST_F(Store, UnreadableKeysAreEmptyAndRefuseWrites) {
  SettingsStore store(kKey);
  auto write = [&] { store.Write("A", SettingsValue::Dword(1)); };
  fs::create_directories(store.File());  // a folder where the key file should be
  EXPECT_EQ(store.Load().readError, EISDIR);
  EXPECT_NE(LogText().find(store.File().string()), std::string::npos);
  EXPECT_EQ(ErrCodeOf(write), EISDIR);
  EXPECT_EQ(ErrCodeOf([&] { store.Create(); }), EISDIR);
  fs::remove(store.File());

  // Something far too large to be ours is not read and not overwritten.
  const std::string huge(2 << 20, 'x');
  WriteRaw(store.File(), huge);
  EXPECT_EQ(store.Load().readError, EFBIG);
  EXPECT_EQ(ErrCodeOf(write), EFBIG);
  EXPECT_EQ(fs::file_size(store.File()), huge.size());
  fs::remove(store.File());

  ASSERT_EQ(mkfifo(store.File().c_str(), 0600), 0);  // would block a plain reader
  EXPECT_EQ(store.Load().readError, EINVAL);
  EXPECT_EQ(ErrCodeOf(write), EINVAL);
  fs::remove(store.File());

  fs::remove_all(home_ / "Ulmek");
  WriteRaw(home_ / "Ulmek", "not a folder");  // a file where the store folder should be
  EXPECT_EQ(store.Load().readError, ENOTDIR);
  EXPECT_EQ(ErrCodeOf(write), ENOTDIR);
  EXPECT_EQ(ErrCodeOf([&] { store.Create(); }), ENOTDIR);
}

TEST_F(Store, ConcurrentWritersFromTwoProcessesLoseNothing) {
  SettingsStore store(kKey);
  store.Create();
  constexpr int kPerProcess = 40;
  auto name = [](int process, int index) { return std::to_string(process * 1000 + index); };
  pid_t children[2];
  for (int p = 0; p < 2; ++p) {
    ASSERT_GE(children[p] = fork(), 0);
    if (children[p] == 0) {
      int rc = 0;
      try {
        for (int i = 0; i < kPerProcess; ++i) store.Write(name(p, i), SettingsValue::Dword(i));
      } catch (...) {
        rc = 1;
      }
      _exit(rc);
    }
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  SettingsValues v = store.Load();
  EXPECT_EQ(v.Items().size(), 2u * kPerProcess);
  for (int p = 0; p < 2; ++p)
    for (int i = 0; i < kPerProcess; ++i) EXPECT_EQ(v.Dword(name(p, i)), static_cast<uint32_t>(i));
  EXPECT_EQ(StoreEntries(), (std::vector<std::string>{".lock", "Runtime"}));
}

}  // namespace
