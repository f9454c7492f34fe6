#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <random>

#include "TempConfigHome.h"
#include "sov/base/BaseException.h"
#include "sov/settings/SettingsStore.h"

namespace fs = std::filesystem;

namespace {

using namespace std::string_literals;
using Store = TempConfigHome;

constexpr const char* kKey = "SOFTWARE\\Ulmek\\Zep\\Runtime";

int ErrCodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const ErrCodeException& e) {
    return e.Code();
  }
  return 0;
}

TEST(SettingsKeyFile, KeyPathsMapToFileNames) {
  EXPECT_EQ(SettingsStore::KeyFileName("SOFTWARE\\Ulmek\\Zep\\Runtime"), "Runtime");
  EXPECT_EQ(SettingsStore::KeyFileName("SOFTWARE\\Ulmek\\Zep\\Service"), "Service");
  EXPECT_EQ(SettingsStore::KeyFileName("Software\\ulmek\\ZEP\\Runtime"), "Runtime");
  EXPECT_EQ(SettingsStore::KeyFileName("SOFTWARE\\Microsoft\\DirectX\\UserGpuPreferences"),
            "Microsoft.DirectX.UserGpuPreferences");
  EXPECT_EQ(SettingsStore::KeyFileName("SOFTWARE\\Ulmek\\Zep"), "Ulmek.Zep");
  EXPECT_EQ(SettingsStore::KeyFileName("Other"), "Other");

  for (const char* bad : {"", "SOFTWARE\\", "SOFTWARE\\Ulmek\\..\\x", "SOFTWARE\\a/b", "SOFTWARE\\.lock",
                          "SOFTWARE\\a\\\\b", "SOFTWARE\\a\nb"}) {
    EXPECT_EQ(ErrCodeOf([&] { SettingsStore s(bad); }), ErrCode::InvalidArg) << bad;
  }
  EXPECT_EQ(ErrCodeOf([] { SettingsStore s(std::string(250, 'k')); }), ErrCode::InvalidArg);
}

TEST_F(Store, RootFollowsXdgConfigHomeThenHome) {
  EXPECT_EQ(SettingsStore::Root(), home_ / "Ulmek" / "Zep");
  EXPECT_EQ(SettingsStore(kKey).File(), home_ / "Ulmek" / "Zep" / "Runtime");

  const char* oldHome = getenv("HOME");
  std::string savedHome = oldHome ? oldHome : "";
  setenv("HOME", base_.c_str(), 1);
  // The XDG rules ignore a relative XDG_CONFIG_HOME.
  setenv("XDG_CONFIG_HOME", "relative/dir", 1);
  EXPECT_EQ(SettingsStore::Root(), base_ / ".config" / "Ulmek" / "Zep");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(SettingsStore::Root(), base_ / ".config" / "Ulmek" / "Zep");
  if (oldHome)
    setenv("HOME", savedHome.c_str(), 1);
  else
    unsetenv("HOME");
}

TEST(SettingsFormat, ParsesHandWrittenFile) {
  const std::string text =
      "# comment line\n"
      "\n"
      "AudioBufferSizeIndex=dword:2\n"
      "Hex=dword:0x0000007B\r\n"
      "Big=dword:4294967295\n"
      "Path/with\\=equals=sz:GpuPreference=1;\n"
      "Multi=sz:line1\\nline2\\\\end\\ttab\\x01\n"
      "Blob=binary:0A0b0c0D\n"
      "Empty=binary:\n"
      "=sz:default value\n"
      "\\x23Hash=dword:7\n";
  SettingsValues v = SettingsStore::Parse(text);
  EXPECT_EQ(v.skippedLines, 0u);
  ASSERT_EQ(v.Items().size(), 9u);
  EXPECT_EQ(v.Dword("AudioBufferSizeIndex"), 2u);
  EXPECT_EQ(v.Dword("audiobuffersizeindex"), 2u);  // names ignore ASCII case, like the registry
  EXPECT_EQ(v.Dword("Hex"), 123u);
  EXPECT_EQ(v.Dword("Big"), 4294967295u);
  ASSERT_NE(v.Find("Path/with=equals"), nullptr);
  EXPECT_EQ(v.Find("Path/with=equals")->text, "GpuPreference=1;");
  EXPECT_EQ(v.Find("Multi")->text, std::string("line1\nline2\\end\ttab\x01"));
  EXPECT_EQ(v.Find("Blob")->binary, (std::vector<uint8_t>{0x0a, 0x0b, 0x0c, 0x0d}));
  EXPECT_EQ(v.Dword("Blob"), 0x0d0c0b0au);  // four binary bytes read as a little-endian DWORD
  EXPECT_EQ(v.Dword("Empty"), std::nullopt);
  EXPECT_EQ(v.Dword("Multi"), std::nullopt);  // a string is no DWORD
  EXPECT_EQ(v.Find("")->text, "default value");
  EXPECT_EQ(v.Dword("#Hash"), 7u);
  EXPECT_EQ(v.Find("Missing"), nullptr);
}

TEST(SettingsFormat, SkipsEveryKindOfBadLine) {
  const std::string text =
      "Good=dword:1\n"
      "NoEquals\n"
      "Neg=dword:-1\n"
      "Over=dword:4294967296\n"
      "HexOver=dword:0x100000000\n"
      "Spaces=dword: 1\n"
      "Qword=qword:1\n"
      "Odd=binary:abc\n"
      "NotHex=binary:zz\n"
      "BadEscape=sz:a\\qb\n"
      "ShortEscape=sz:\\x4\n"
      "Tail=sz:ends with \\\n"
      "Ctl=sz:a\x01"
      "b\n"
      "Nul=dword:1\0\n"
      "Later=dword:5\n"
      "Good=dword:2"s;  // no line end: a truncated last line still counts
  SettingsValues v = SettingsStore::Parse(text);
  EXPECT_EQ(v.skippedLines, 13u);
  ASSERT_EQ(v.Items().size(), 2u);
  EXPECT_EQ(v.Dword("Good"), 2u);  // the later line wins
  EXPECT_EQ(v.Dword("Later"), 5u);
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

TEST_F(Store, CreateMakesPrivateFolderAndEmptyKeyOnce) {
  SettingsStore store(kKey);
  store.Create();
  struct stat st {};
  ASSERT_EQ(stat(StoreDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(store.File().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(store.Load().Empty());

  // Open-or-create leaves an existing key alone.
  store.Write("A", SettingsValue::Dword(9));
  store.Create();
  EXPECT_EQ(store.Load().Dword("A"), 9u);
}

TEST_F(Store, WriteIsAtomicPrivateAndKeepsOtherValues) {
  SettingsStore store(kKey);
  store.Write("First", SettingsValue::Dword(1));
  store.Write({{"Second", SettingsValue::String("two")}, {"first", SettingsValue::Dword(11)}});
  SettingsValues v = store.Load();
  ASSERT_EQ(v.Items().size(), 2u);
  EXPECT_EQ(v.Items()[0].first, "First");  // replaced in place, original spelling kept
  EXPECT_EQ(v.Dword("First"), 11u);
  EXPECT_EQ(v.Find("Second")->text, "two");

  // Only the key file and the lock remain: no temp files.
  EXPECT_EQ(StoreEntries(), (std::vector<std::string>{".lock", "Runtime"}));
  struct stat st {};
  ASSERT_EQ(stat(store.File().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(LogText(), "");
}

TEST_F(Store, WriteReplacesTheFileRatherThanRewritingIt) {
  SettingsStore store(kKey);
  store.Write("A", SettingsValue::Dword(1));
  struct stat before {};
  ASSERT_EQ(stat(store.File().c_str(), &before), 0);
  // A reader holding the old file keeps reading the old content.
  std::ifstream reader(store.File(), std::ios::binary);
  store.Write("A", SettingsValue::Dword(2));
  struct stat after {};
  ASSERT_EQ(stat(store.File().c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);
  std::stringstream old;
  old << reader.rdbuf();
  EXPECT_NE(old.str().find("A=dword:1"), std::string::npos);
  EXPECT_EQ(store.Load().Dword("A"), 2u);
}

TEST_F(Store, SymlinkedKeyFileStaysALink) {
  SettingsStore store(kKey);
  const fs::path target = base_ / "dotfiles" / "zep-runtime";
  WriteRaw(target, "A=dword:1\n");
  fs::create_directories(StoreDir());
  fs::create_symlink(target, store.File());
  EXPECT_EQ(store.Load().Dword("A"), 1u);
  store.Write("B", SettingsValue::Dword(2));
  EXPECT_TRUE(fs::is_symlink(store.File()));
  SettingsValues v = store.Load();
  EXPECT_EQ(v.Dword("A"), 1u);
  EXPECT_EQ(v.Dword("B"), 2u);
  EXPECT_NE(Read(target).find("B=dword:2"), std::string::npos);
}

TEST_F(Store, DamagedFilesNeverThrowAndWarnOnce) {
  SettingsStore store(kKey);
  // A file cut off in the middle of a line.
  WriteRaw(store.File(), "Keep=dword:3\nCut=dwo");
  SettingsValues v = store.Load();
  EXPECT_EQ(v.readError, 0);
  EXPECT_EQ(v.Dword("Keep"), 3u);
  EXPECT_EQ(v.skippedLines, 1u);
  std::string log = LogText();
  EXPECT_NE(log.find("WARN"), std::string::npos);
  EXPECT_NE(log.find(store.File().string()), std::string::npos) << log;
  EXPECT_EQ(Lines(log).size(), 1u) << log;

  // Random bytes, NULs included, many times over.
  std::mt19937 rng(12345);
  for (int round = 0; round < 200; ++round) {
    std::string bytes(rng() % 4096, '\0');
    for (auto& b : bytes) b = static_cast<char>(rng());
    if (round % 3 == 0) bytes += "\nSurvivor=dword:77\n";
    WriteRaw(store.File(), bytes);
    SettingsValues g = store.Load();
    EXPECT_EQ(g.readError, 0);
    if (round % 3 == 0) {
      EXPECT_EQ(g.Dword("Survivor"), 77u) << round;
    }
  }
  // A write over a damaged file keeps what was readable and drops the rest.
  store.Write("New", SettingsValue::Dword(1));
  SettingsValues after = store.Load();
  EXPECT_EQ(after.skippedLines, 0u);
  EXPECT_EQ(after.Dword("New"), 1u);
}

TEST_F(Store, UnreadableKeysAreEmptyAndRefuseWrites) {
  SettingsStore store(kKey);
  // A folder where the key file should be.
  fs::create_directories(store.File());
  SettingsValues v = store.Load();
  EXPECT_EQ(v.readError, EISDIR);
  EXPECT_TRUE(v.Empty());
  EXPECT_NE(LogText().find(store.File().string()), std::string::npos);
  EXPECT_EQ(ErrCodeOf([&] { store.Write("A", SettingsValue::Dword(1)); }), EISDIR);
  EXPECT_EQ(ErrCodeOf([&] { store.Create(); }), EISDIR);
  fs::remove(store.File());

  // Something far too large to be ours is not read and not overwritten.
  std::string huge(2 << 20, 'x');
  WriteRaw(store.File(), huge);
  EXPECT_EQ(store.Load().readError, EFBIG);
  EXPECT_EQ(ErrCodeOf([&] { store.Write("A", SettingsValue::Dword(1)); }), EFBIG);
  EXPECT_EQ(fs::file_size(store.File()), huge.size());
  fs::remove(store.File());

  // A file where the store folder should be.
  fs::remove_all(home_ / "Ulmek");
  WriteRaw(home_ / "Ulmek", "not a folder");
  EXPECT_EQ(store.Load().readError, ENOTDIR);
  EXPECT_EQ(ErrCodeOf([&] { store.Write("A", SettingsValue::Dword(1)); }), ENOTDIR);
  EXPECT_EQ(ErrCodeOf([&] { store.Create(); }), ENOTDIR);
}

// "P<process>_<index>", built step by step (GCC 12 warns falsely on chained string + at -O2).
std::string ValueName(int process, int index) {
  std::string name = "P";
  name += std::to_string(process);
  name += '_';
  name += std::to_string(index);
  return name;
}

TEST_F(Store, ConcurrentWritersFromTwoProcessesLoseNothing) {
  SettingsStore store(kKey);
  store.Create();
  constexpr int kPerProcess = 40;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int rc = 0;
      try {
        for (int i = 0; i < kPerProcess; ++i) store.Write(ValueName(p, i), SettingsValue::Dword(i));
      } catch (...) {
        rc = 1;
      }
      _exit(rc);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  SettingsValues v = store.Load();
  EXPECT_EQ(v.Items().size(), 2u * kPerProcess);
  for (int p = 0; p < 2; ++p)
    for (int i = 0; i < kPerProcess; ++i) EXPECT_EQ(v.Dword(ValueName(p, i)), static_cast<uint32_t>(i));
  EXPECT_EQ(StoreEntries(), (std::vector<std::string>{".lock", "Runtime"}));
}

}  // namespace
