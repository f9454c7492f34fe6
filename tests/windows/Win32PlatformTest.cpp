// The parts of the Win32 platform layer whose Linux tests use Linux-only means (pthread names,
// nice values, XDG variables, file modes): the same promises, checked the Windows way.
#include <gtest/gtest.h>
#include <winsock2.h>
// After winsock2.h, which must come first.
#include <windows.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/FileStore.h"
#include "platform/Folders.h"
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

}  // namespace
