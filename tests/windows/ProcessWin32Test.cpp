// Process launch on Windows with this test program as the child: started with
// ZEP_PROCESS_CHILD set, it does what the variable says before any test runs, then exits.
#include <gtest/gtest.h>
#include <windows.h>
// shellapi.h needs the types of windows.h first.
#include <shellapi.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Process.h"
#include "platform/Wait.h"
#include "platform/win32/Win32.h"
#include "sov/base/BaseException.h"
#include "tests/unit/ErrCodeOf.h"

namespace fs = std::filesystem;

namespace {

std::string SelfPath() {
  wchar_t path[MAX_PATH];
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  return platform::win32::Narrow(path);
}

void WriteAtomically(const std::string& file, const std::string& text) {
  std::ofstream(file + ".tmp", std::ios::binary) << text;
  ::MoveFileExA((file + ".tmp").c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// The child's side.
const int kChildDone = [] {
  const char* mode = std::getenv("ZEP_PROCESS_CHILD");
  if (mode == nullptr) return 0;
  const std::string m = mode;
  if (m.rfind("args:", 0) == 0) {
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    std::string out;
    for (int i = 1; i < argc; ++i) out += "[" + platform::win32::Narrow(argv[i]) + "]";
    const char* extra = std::getenv("ZEP_EXTRA");
    out += "\n" + std::string(extra ? extra : "(none)") + "\n" + fs::current_path().string() + "\n";
    WriteAtomically(m.substr(5), out);
    ::ExitProcess(7);
  }
  if (m.rfind("tree:", 0) == 0) {
    // Starts a grandchild the ordinary way (it joins our job) and reports its id.
    ::SetEnvironmentVariableW(L"ZEP_PROCESS_CHILD", L"sleep");
    std::wstring line = L"\"" + platform::win32::Widen(SelfPath()) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &info))
      ::ExitProcess(3);
    WriteAtomically(m.substr(5), std::to_string(info.dwProcessId));
  }
  ::Sleep(120000);
  ::ExitProcess(0);
}();

std::string WaitForFile(const std::string& file) {
  for (int i = 0; i < 3000; ++i) {
    std::ifstream in(file, std::ios::binary);
    if (in) return std::string(std::istreambuf_iterator<char>(in), {});
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return "";
}

class ProcessWin32 : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zep-process-" + std::to_string(::GetCurrentProcessId()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(ProcessWin32, ArgumentsEnvironmentAndFolderReachTheChild) {
  const std::string out = (dir_ / "args.txt").string();
  platform::SpawnRequest request;
  request.argv = {SelfPath(), "plain", "with space", "quote\"inside", "trail\\", "back\\\\\"q", "", "a\\b c"};
  request.setEnv = {"ZEP_PROCESS_CHILD=args:" + out, "ZEP_EXTRA=value one"};
  request.directory = dir_.string();
  platform::ChildProcess child = platform::ChildProcess::Spawn(request);
  EXPECT_GT(child.Pid(), 0);
  ASSERT_EQ(platform::WaitAny({&child}, 60000), 0);
  EXPECT_EQ(child.ExitCode(), 7);
  EXPECT_EQ(child.ExitCode(), 7);  // stays
  const std::string text = WaitForFile(out);
  EXPECT_EQ(text, "[plain][with space][quote\"inside][trail\\][back\\\\\"q][][a\\b c]\nvalue one\n" +
                      dir_.string() + "\n")
      << text;
}

TEST_F(ProcessWin32, KillEndsTheChildAndWhatItStarted) {
  const std::string out = (dir_ / "tree.txt").string();
  platform::SpawnRequest request;
  request.argv = {SelfPath()};
  request.setEnv = {"ZEP_PROCESS_CHILD=tree:" + out};
  platform::ChildProcess child = platform::ChildProcess::Spawn(request);
  const std::string pid = WaitForFile(out);
  ASSERT_FALSE(pid.empty()) << "the child did not start its own child";
  HANDLE grandchild = ::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::stoul(pid)));
  ASSERT_NE(grandchild, nullptr);
  // A console program has no window to close: it keeps running.
  EXPECT_TRUE(child.RequestClose());
  EXPECT_EQ(platform::WaitAny({&child}, 300), platform::kWaitTimeout);
  EXPECT_FALSE(child.HasEnded());
  EXPECT_EQ(child.ExitCode(), std::nullopt);
  EXPECT_TRUE(child.Kill());
  ASSERT_EQ(platform::WaitAny({&child}, 30000), 0);
  EXPECT_EQ(child.ExitCode(), 137);
  EXPECT_EQ(::WaitForSingleObject(grandchild, 30000), WAIT_OBJECT_0) << "the grandchild outlived Kill";
  ::CloseHandle(grandchild);
  EXPECT_FALSE(child.Kill());
  EXPECT_FALSE(child.RequestClose());
}

TEST_F(ProcessWin32, WhatCannotStartIsAnError) {
  platform::SpawnRequest missing;
  missing.argv = {(dir_ / "no-such-program.exe").string()};
  EXPECT_EQ(ErrCodeOf([&] { platform::ChildProcess::Spawn(missing); }), ENOENT);
  platform::SpawnRequest other;
  other.argv = {SelfPath()};
  other.runAs = platform::RunAs{1000, 1000, {}};
  EXPECT_EQ(ErrCodeOf([&] { platform::ChildProcess::Spawn(other); }), EPERM);
  EXPECT_FALSE(platform::SpawnDetached({"no-such-program-zep.exe"}));
}

TEST(ProcessWin32Paths, OwnExecutableIsFound) {
  const std::string self = SelfPath();
  EXPECT_EQ(platform::ExecutablePathOf(platform::CurrentProcessId()), self);
  EXPECT_EQ(platform::ExecutableDirectory(), fs::path(self).parent_path().string());
  EXPECT_EQ(platform::ExecutablePathOf(-5), "");
}

}  // namespace
