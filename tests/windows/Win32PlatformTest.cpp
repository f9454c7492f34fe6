// The parts of the Win32 platform layer whose Linux tests use Linux-only means (pthread names,
// nice values, XDG variables, file modes): the same promises, checked the Windows way; and the
// GUIDs against Windows's own GUID formatters and parser.
#include <gtest/gtest.h>
#include <winsock2.h>
// After winsock2.h, which must come first.
#include <windows.h>
// After windows.h, which they build on.
#include <objbase.h>
#include <rpc.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "platform/FileStore.h"
#include "platform/Folders.h"
#include "platform/Guid.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "platform/UniqueFd.h"
#include "sov/base/BaseException.h"
#include "tests/unit/TestSystem.h"

namespace fs = std::filesystem;

namespace {

HANDLE AsHandle(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

// ASCII text from a wide string (GUID texts are ASCII).
std::string Ascii(const wchar_t* wide) {
  std::string out;
  for (; *wide != 0; ++wide) out += static_cast<char>(*wide);
  return out;
}

GUID AsGuid(const platform::Guid& g) {
  GUID w{};
  const auto bytes = g.Bytes();
  static_assert(sizeof(w) == bytes.size());
  std::memcpy(&w, bytes.data(), sizeof(w));
  return w;
}

class EnvRestore {
 public:
  explicit EnvRestore(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) old_ = v, had_ = true;
  }
  ~EnvRestore() { testsys::SetEnv(name_, had_ ? old_.c_str() : nullptr); }

 private:
  const char* name_;
  std::string old_;
  bool had_ = false;
};

TEST(Win32Thread, NameIsCutTo15CharactersAndReadsBack) {
  using GetDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  auto get = reinterpret_cast<GetDescription>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  if (get == nullptr) GTEST_SKIP() << "this system has no GetThreadDescription (before Windows 10 1607)";
  std::wstring name;
  std::thread([&] {
    platform::SetThreadName("AudioResampleThreadProc");
    PWSTR text = nullptr;
    if (SUCCEEDED(get(::GetCurrentThread(), &text)) && text != nullptr) name = text;
    ::LocalFree(text);
  }).join();
  EXPECT_EQ(name, L"AudioResampleTh");
}

TEST(Win32Thread, RaisedPriorityIsTheHighestThreadPriority) {
  bool raised = false;
  int priority = 0;
  std::thread([&] {
    raised = platform::RaiseThreadPriority("capture");
    priority = ::GetThreadPriority(::GetCurrentThread());
  }).join();
  // Any user may raise a thread of its own process within its priority class.
  EXPECT_TRUE(raised);
  EXPECT_EQ(priority, THREAD_PRIORITY_HIGHEST);
}

TEST(Win32Folders, AppDataWinsElseTheShellFolder) {
  EnvRestore appData("APPDATA"), programData("PROGRAMDATA");
  std::string roaming, data;
  testsys::SetEnv("APPDATA", "C:\\Users\\x\\AppData\\Roaming\\");
  testsys::SetEnv("PROGRAMDATA", "D:/shared/data");
  ASSERT_EQ(platform::KnownFolderPath(platform::KnownFolder::RoamingAppData, roaming), 0);
  ASSERT_EQ(platform::KnownFolderPath(platform::KnownFolder::ProgramData, data), 0);
  EXPECT_EQ(roaming, "C:\\Users\\x\\AppData\\Roaming");
  EXPECT_EQ(data, "D:/shared/data");
  // A relative or missing value falls back to the shell's folder, which is absolute.
  testsys::SetEnv("APPDATA", "relative\\dir");
  testsys::SetEnv("PROGRAMDATA", nullptr);
  ASSERT_EQ(platform::KnownFolderPath(platform::KnownFolder::Config, roaming), 0);
  ASSERT_EQ(platform::KnownFolderPath(platform::KnownFolder::ProgramData, data), 0);
  EXPECT_TRUE(fs::path(roaming).is_absolute()) << roaming;
  EXPECT_TRUE(fs::path(data).is_absolute()) << data;
  EXPECT_NE(roaming, data);
}

class Win32FileStore : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const char* name) const { return (dir_ / name).string(); }
  const fs::path dir_ = testsys::MakeTempDir("zep-win32-files");
};

TEST_F(Win32FileStore, FilesAreReplacedWholeAndReadBackWithTheirErrors) {
  const std::string file = Path("Runtime");
  std::string text;
  EXPECT_EQ(platform::ReadSmallFile(file, 100, text), ENOENT);
  EXPECT_EQ(platform::KindOfFile(file), platform::FileKind::Missing);
  platform::ReplaceFileAtomically(file, "first");
  platform::ReplaceFileAtomically(file, std::string("second\0line", 11));
  ASSERT_EQ(platform::ReadSmallFile(file, 100, text), 0);
  EXPECT_EQ(text, std::string("second\0line", 11));
  EXPECT_EQ(platform::ReadSmallFile(file, 10, text), EFBIG);
  EXPECT_EQ(platform::ReadSmallFile(dir_.string(), 100, text), EISDIR);
  EXPECT_EQ(platform::KindOfFile(file), platform::FileKind::Regular);
  EXPECT_EQ(platform::KindOfFile(dir_.string()), platform::FileKind::Folder);
  // Nothing but the file itself is left in the folder.
  int entries = 0;
  for (const auto& e : fs::directory_iterator(dir_)) entries += e.path().filename() == "Runtime" ? 1 : 100;
  EXPECT_EQ(entries, 1);
  // A folder in the way fails with the system's reason.
  fs::create_directories(dir_ / "blocked");
  try {
    platform::ReplaceFileAtomically(Path("blocked"), "x");
    ADD_FAILURE() << "no exception";
  } catch (const ErrCodeException& e) {
    EXPECT_EQ(e.Code(), EACCES);
  }
}

TEST_F(Win32FileStore, LockExcludesOthersUntilItsHandleCloses) {
  const std::string lockPath = Path(".lock");
  auto tryLock = [&] {
    HANDLE h = ::CreateFileW(fs::path(lockPath).wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED whole{};
    bool got =
        ::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole);
    ::CloseHandle(h);
    return got;
  };
  {
    platform::UniqueFd held = platform::LockFile(lockPath);
    ASSERT_TRUE(held.Valid());
    EXPECT_FALSE(tryLock());
  }
  EXPECT_TRUE(tryLock());
}

TEST(Win32UniqueFd, ClosesHandlesAndSocketsAlike) {
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD flags = 0;
  {
    platform::UniqueFd fd(static_cast<int>(reinterpret_cast<intptr_t>(event)));
    EXPECT_TRUE(::GetHandleInformation(AsHandle(fd.Get()), &flags));
  }
  EXPECT_FALSE(::GetHandleInformation(event, &flags));

  int socket = -1;
  {
    platform::UniqueFd s;
    ASSERT_EQ(platform::OpenTcpSocket(s), 0);
    socket = s.Get();
  }
  int type = 0;
  int len = sizeof(type);
  EXPECT_NE(
      ::getsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len),
      0);
  EXPECT_EQ(::WSAGetLastError(), WSAENOTSOCK);
}

// NewRandom's GUIDs (CoCreateGuid) are version 4 with the RFC 4122 variant, all different, and
// their bytes read as the same GUID to Windows: its formatters print what ToString prints (upper
// case and in braces for StringFromGUID2), and Parse reads both texts back.
TEST(Win32Guid, NewRandomIsVersion4AndPrintsAsWindowsPrintsIt) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const platform::Guid g = platform::Guid::NewRandom();
    const std::string text = g.ToString();
    EXPECT_EQ(g.data3 >> 12, 4) << text;
    EXPECT_EQ(g.data4[0] & 0xC0, 0x80) << text;
    EXPECT_EQ(platform::Guid::Parse(text), g) << text;
    seen.insert(text);

    GUID w = AsGuid(g);
    RPC_WSTR rpc = nullptr;
    ASSERT_EQ(::UuidToStringW(&w, &rpc), RPC_S_OK);
    EXPECT_EQ(Ascii(reinterpret_cast<const wchar_t*>(rpc)), text);
    ::RpcStringFreeW(&rpc);

    wchar_t braced[39] = {};
    ASSERT_EQ(::StringFromGUID2(w, braced, 39), 39);
    std::string upper = text;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(Ascii(braced), "{" + upper + "}");
    EXPECT_EQ(platform::Guid::Parse(Ascii(braced)), g) << Ascii(braced);
  }
  EXPECT_EQ(seen.size(), 100u);
}

// Parse reads a GUID text into the bytes UuidFromStringW makes of it, and refuses what it
// refuses; it also takes the braces StringFromGUID2 writes, which UuidFromStringW does not.
TEST(Win32Guid, ParseReadsWhatUuidFromStringReads) {
  for (const wchar_t* text :
       {L"01234567-89ab-cdef-0123-456789abcdef", L"FEDCBA98-7654-3210-fEdC-bA9876543210",
        L"00000000-0000-0000-0000-000000000000"}) {
    UUID w{};
    ASSERT_EQ(::UuidFromStringW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text)), &w), RPC_S_OK);
    auto g = platform::Guid::Parse(Ascii(text));
    ASSERT_TRUE(g.has_value()) << Ascii(text);
    EXPECT_EQ(std::memcmp(&w, g->Bytes().data(), sizeof(w)), 0) << Ascii(text);
  }
  for (const wchar_t* text :
       {L"01234567-89ab-cdef-0123-456789abcdeg", L"01234567-89ab-cdef-0123_456789abcdef",
        L"01234567-89ab-cdef-0123-456789abcde", L"01234567-89ab-cdef-0123-456789abcdef0",
        L"0123456-789ab-cdef-0123-456789abcdef", L""}) {
    UUID w{};
    EXPECT_NE(::UuidFromStringW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(text)), &w), RPC_S_OK)
        << Ascii(text);
    EXPECT_FALSE(platform::Guid::Parse(Ascii(text)).has_value()) << Ascii(text);
  }
  const wchar_t* braced = L"{01234567-89AB-CDEF-0123-456789ABCDEF}";
  UUID w{};
  EXPECT_NE(::UuidFromStringW(reinterpret_cast<RPC_WSTR>(const_cast<wchar_t*>(braced)), &w), RPC_S_OK);
  auto g = platform::Guid::Parse(Ascii(braced));
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(g->ToString(), "01234567-89ab-cdef-0123-456789abcdef");
}

}  // namespace
