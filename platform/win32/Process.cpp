// Process launch and watch on Windows. A child starts suspended, joins a job object of its own
// and only then runs, so everything it starts belongs to the job too and Kill ends the whole
// tree. No handle is inherited. The descriptor (fd()) is the process handle, signalled once the
// child has ended.
//
// RequestClose posts WM_CLOSE to the child's top-level windows: that is how a Windows program
// is asked to close. A console program has no window and goes on running; the caller's grace
// period then ends in Kill, as for a program that ignores the request.
#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "platform/win32/Win32.h"
#include "sov/base/BaseException.h"
#include "sov/base/Log.h"

namespace platform {

namespace {

using win32::ErrnoFromWin32;
using win32::FromHandle;
using win32::Narrow;
using win32::ToHandle;
using win32::Widen;

// The exit code a killed child reports: 128 + SIGKILL, as on the other systems.
constexpr UINT kKilledExitCode = 128 + 9;

// One argument quoted the way CommandLineToArgvW and the C runtime split a command line:
// backslashes are literal except before a quote, where they are doubled.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!line.empty()) line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      line.append(backslashes * 2 + 1, L'\\');
    else
      line.append(backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

std::wstring CommandLine(const std::vector<std::string>& argv) {
  std::wstring line;
  for (const std::string& a : argv) AppendQuoted(line, Widen(a));
  return line;
}

// The name part of "NAME=value" (a leading '=' belongs to the name, as in "=C:=C:\").
std::wstring NameOf(const std::wstring& entry) {
  const std::size_t eq = entry.find(L'=', 1);
  return entry.substr(0, eq);
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// A Unicode environment block: ours with setEnv added or replacing, or setEnv alone.
std::wstring EnvironmentBlock(const std::vector<std::string>& setEnv, bool ownEnvironment) {
  std::vector<std::wstring> entries;
  if (ownEnvironment) {
    wchar_t* block = ::GetEnvironmentStringsW();
    for (const wchar_t* p = block; p != nullptr && *p != L'\0'; p += wcslen(p) + 1) entries.emplace_back(p);
    if (block != nullptr) ::FreeEnvironmentStringsW(block);
  }
  for (const std::string& s : setEnv) {
    std::wstring entry = Widen(s);
    const std::wstring name = NameOf(entry);
    bool replaced = false;
    for (std::wstring& e : entries)
      if (SameName(NameOf(e), name)) {
        e = entry;
        replaced = true;
      }
    if (!replaced) entries.push_back(std::move(entry));
  }
  std::wstring out;
  for (const std::wstring& e : entries) {
    out += e;
    out += L'\0';
  }
  out += L'\0';
  if (entries.empty()) out += L'\0';
  return out;
}

BOOL CALLBACK CloseWindowOf(HWND window, LPARAM pid) {
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  if (owner == static_cast<DWORD>(pid)) ::PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

HANDLE g_stopEvent = nullptr;
volatile LONG g_stopSignal = 0;

BOOL WINAPI OnConsoleControl(DWORD type) {
  ::InterlockedExchange(&g_stopSignal, type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT ? SIGINT : SIGTERM);
  ::SetEvent(g_stopEvent);
  return TRUE;
}

}  // namespace

bool SpawnDetached(const std::vector<std::string>& argv) {
  if (argv.empty()) return false;
  std::wstring line = CommandLine(argv);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  // Looked up in PATH (no application name); a console of its own is not wanted either.
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_BREAKAWAY_FROM_JOB, nullptr,
                        nullptr, &startup, &info) &&
      // Outside a job that allows breaking away, start it without asking to.
      !::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &info)) {
    LOGD << "Cannot start " << argv[0] << ": Win32 error " << ::GetLastError();
    return false;
  }
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  return true;
}

ChildProcess ChildProcess::Spawn(const SpawnRequest& request) {
  if (request.argv.empty()) throw ErrCodeException(EINVAL, ZEP_SOURCE, __LINE__);
  // Running as another user needs that user's token (CreateProcessAsUserW), which this layer
  // does not have; the Windows service starts zep in the user's session by other means.
  if (request.runAs) throw ErrCodeException(EPERM, ZEP_SOURCE, __LINE__);
  const std::wstring application = Widen(request.argv[0]);
  std::wstring line = CommandLine(request.argv);
  std::wstring environment = EnvironmentBlock(request.setEnv, request.ownEnvironment);
  const std::wstring directory = Widen(request.directory);

  UniqueFd job(FromHandle(::CreateJobObjectW(nullptr, nullptr)));
  if (ToHandle(job.Get()) == nullptr)
    throw ErrCodeException(ErrnoFromWin32(::GetLastError()), ZEP_SOURCE, __LINE__);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP,
                        environment.data(), directory.empty() ? nullptr : directory.c_str(), &startup, &info))
    throw ErrCodeException(ErrnoFromWin32(::GetLastError()), ZEP_SOURCE, __LINE__);
  UniqueFd process(FromHandle(info.hProcess));
  if (!::AssignProcessToJobObject(ToHandle(job.Get()), info.hProcess)) {
    const DWORD error = ::GetLastError();
    ::TerminateProcess(info.hProcess, kKilledExitCode);
    ::CloseHandle(info.hThread);
    throw ErrCodeException(ErrnoFromWin32(error), ZEP_SOURCE, __LINE__);
  }
  ::ResumeThread(info.hThread);
  ::CloseHandle(info.hThread);
  ChildProcess child(static_cast<int>(info.dwProcessId), std::move(process));
  child.job_ = std::move(job);
  return child;
}

// The handles close; a child still running goes on (the job has no kill-on-close limit).
ChildProcess::~ChildProcess() = default;

bool ChildProcess::HasEnded() const {
  return pidfd_.Valid() && ::WaitForSingleObject(ToHandle(pidfd_.Get()), 0) == WAIT_OBJECT_0;
}

std::optional<int> ChildProcess::ExitCode() {
  if (exitCode_) return exitCode_;
  if (!HasEnded()) return std::nullopt;
  DWORD code = 0;
  if (!::GetExitCodeProcess(ToHandle(pidfd_.Get()), &code)) return std::nullopt;
  exitCode_ = static_cast<int>(code);
  return exitCode_;
}

bool ChildProcess::RequestClose() {
  if (!pidfd_.Valid() || HasEnded()) return false;
  ::EnumWindows(CloseWindowOf, static_cast<LPARAM>(pid_));
  return true;
}

bool ChildProcess::Kill() {
  if (!pidfd_.Valid()) return false;
  const bool running = !HasEnded();
  // The whole job, so that what the child started ends with it.
  if (job_.Valid() && ::TerminateJobObject(ToHandle(job_.Get()), kKilledExitCode)) return running;
  return running && ::TerminateProcess(ToHandle(pidfd_.Get()), kKilledExitCode) != 0;
}

std::string ExecutableDirectory() {
  std::wstring path(32768, L'\0');
  const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return "";
  path.resize(n);
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? "" : Narrow(path.substr(0, slash));
}

std::string ExecutablePathOf(int pid) {
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return "";
  std::wstring path(32768, L'\0');
  DWORD size = static_cast<DWORD>(path.size());
  const BOOL ok = ::QueryFullProcessImageNameW(process, 0, path.data(), &size);
  ::CloseHandle(process);
  if (!ok) return "";
  path.resize(size);
  return Narrow(path);
}

int CurrentProcessId() {
  return static_cast<int>(::GetCurrentProcessId());
}

// An elevated process is no different to the code above this layer; only root on the other
// systems switches users.
bool RunningAsRoot() {
  return false;
}

// Ctrl+C and Ctrl+Break count as SIGINT; closing the console, logging off and shutting down
// as SIGTERM.
void BlockStopSignals() {
  if (g_stopEvent == nullptr) g_stopEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

int WaitStopSignal() {
  if (g_stopEvent == nullptr) BlockStopSignals();
  ::WaitForSingleObject(g_stopEvent, INFINITE);
  return static_cast<int>(::InterlockedCompareExchange(&g_stopSignal, 0, 0));
}

}  // namespace platform
