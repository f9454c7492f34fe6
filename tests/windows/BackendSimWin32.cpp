// BackendSim under Wine: the reference back-end is the native Linux program
// (ZEP_BACKEND names it, set by the Windows test run). Wine starts a Unix
// program given to CreateProcess as a plain Unix process, its standard output
// on our pipe, but hands back no process handle; so the back-end is stopped
// with its POST /__sim/shutdown, and its exit status cannot be read.
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "mord/http/HttpClient.h"
#include "mord/json/Json.h"
#include "platform/win32/Win32.h"
#include "tests/unit/http/BackendSim.h"

namespace fs = std::filesystem;

namespace {

// The Unix path Wine maps a Windows path to.
std::string UnixPath(const fs::path& path) {
  using Fn = char*(CDECL*)(const wchar_t*);
  static const auto fn = reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (fn == nullptr) throw std::runtime_error("the back-end runs only under Wine");
  char* unix = fn(path.wstring().c_str());
  if (unix == nullptr) throw std::runtime_error("no Unix path for " + path.string());
  std::string out(unix);
  HeapFree(GetProcessHeap(), 0, unix);
  return out;
}

bool Listens(uint16_t port) {
  platform::win32::EnsureWinsock();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  closesocket(s);
  return ok;
}

}  // namespace

BackendSim::BackendSim(const std::string& scenarioJson) {
  const char* backend = std::getenv("ZEP_BACKEND");
  if (backend == nullptr || *backend == '\0')
    throw std::runtime_error(
        "ZEP_BACKEND must name the native zep-backend (scripts/test.sh --windows sets it)");
  static int counter = 0;
  dir_ = fs::temp_directory_path() /
         ("zep-backend-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter));
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  { std::ofstream(dir_ / "scenario.json") << scenarioJson; }

  // Wine does not pass our pipe on as the back-end's standard output, so its port is
  // chosen here and the back-end counts as started once it accepts connections.
  const uint16_t port = UnusedLoopbackPort();
  std::wstring command = L"\"" + platform::win32::Widen(backend) + L"\" --port " + std::to_wstring(port) +
                         L" --cert-out \"" + platform::win32::Widen(UnixPath(dir_ / "ca.pem")) +
                         L"\" --log \"" + platform::win32::Widen(UnixPath(dir_ / "requests.log")) +
                         L"\" --scenario \"" + platform::win32::Widen(UnixPath(dir_ / "scenario.json")) +
                         L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    throw std::runtime_error("cannot start " + std::string(backend) + ": error " +
                             std::to_string(GetLastError()));
  if (info.hProcess != nullptr) CloseHandle(info.hProcess);
  if (info.hThread != nullptr) CloseHandle(info.hThread);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!(Listens(port) && fs::exists(dir_ / "ca.pem"))) {
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("zep-backend did not start");
    Sleep(20);
  }
  port_ = port;
  pid_ = 1;  // running; stopped through its shutdown request
}

BackendSim::~BackendSim() {
  if (pid_ > 0) {
    try {
      HttpClient client("127.0.0.1", port_, CaFile());
      client.Request("POST", "/__sim/shutdown", nullptr, 0);
    } catch (const std::exception&) {
      // It may already be gone; the wait below tells.
    }
    for (int i = 0; i < 100 && Listens(port_); ++i) Sleep(50);
  }
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

int RunBackend(const std::vector<std::string>&, std::string&) {
  throw std::runtime_error("Wine gives no exit status of a Unix program");
}

uint16_t UnusedLoopbackPort() {
  platform::win32::EnsureWinsock();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  int len = sizeof(addr);
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  closesocket(s);
  return ntohs(addr.sin_port);
}
