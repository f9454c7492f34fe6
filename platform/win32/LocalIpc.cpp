// The local IPC on Windows. The "paths" are the names of kernel objects: the instance lock is
// a named mutex ("Global\zepsmainmutex"), the message server a named pipe in message mode
// ("\\.\pipe\vektaschemapipe", 1024-byte messages), the confirmation signal a named event
// ("ConfirmSessionEvent"). The named objects live as long as a handle to them is open, so
// nothing stale is left behind when a process dies.
#include "platform/LocalIpc.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <span>

#include "platform/Wait.h"
#include "platform/win32/Win32.h"
#include "sov/base/BaseException.h"

namespace platform {

namespace {

using win32::ErrnoFromWin32;
using win32::FromHandle;
using win32::ToHandle;
using win32::Widen;

constexpr DWORD kPipeBufferBytes = 1024;
// How long a sender waits for a busy pipe (the server is reading another client's message).
constexpr DWORD kBusyPipeWaitMs = 2000;

[[noreturn]] void ThrowLastError(int line) {
  throw ErrCodeException(ErrnoFromWin32(::GetLastError()), ZEP_SOURCE, line);
}

// A manual-reset event as a Waitable, so that overlapped I/O joins the portable waits.
class EventWaitable : public Waitable {
 public:
  explicit EventWaitable(HANDLE event) : event_(event) {}
  int fd() const override { return FromHandle(event_); }
  bool TryAcquire() override { return ::WaitForSingleObject(event_, 0) == WAIT_OBJECT_0; }

 private:
  HANDLE event_;
};

}  // namespace

// There is no runtime folder: the IPC objects are named kernel objects of the session. The
// user's temporary folder stands in for callers that need a folder for their own files.
int RuntimeFolder(std::string& path) {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD n = ::GetTempPathW(MAX_PATH + 1, buffer);
  if (n == 0 || n > MAX_PATH) return ENOENT;
  path = win32::Narrow(std::wstring_view(buffer, n));
  while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  return 0;
}

std::optional<InstanceLock> InstanceLock::TryAcquire(const std::string& name) {
  const std::wstring wide = Widen(name);
  HANDLE mutex = ::CreateMutexW(nullptr, TRUE, wide.c_str());
  if (mutex == nullptr) {
    // A mutex of that name made by another user whose security we may not open is held too.
    if (::GetLastError() == ERROR_ACCESS_DENIED) return std::nullopt;
    ThrowLastError(__LINE__);
  }
  UniqueFd fd(FromHandle(mutex));
  if (::GetLastError() == ERROR_ALREADY_EXISTS) return std::nullopt;
  return InstanceLock(std::move(fd));
}

namespace {

// A fresh pipe instance: the first one of its name (a second server is refused), message
// mode both ways, overlapped so that connecting and reading can be waited on.
HANDLE CreatePipeInstance(const std::wstring& name, bool first) {
  return ::CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, nullptr);
}

// Starts waiting for a client on the pipe; the event is set once one is connected.
void StartConnect(HANDLE pipe, OVERLAPPED& overlapped, HANDLE event) {
  overlapped = OVERLAPPED{};
  overlapped.hEvent = event;
  ::ResetEvent(event);
  if (::ConnectNamedPipe(pipe, &overlapped)) {
    ::SetEvent(event);
    return;
  }
  const DWORD error = ::GetLastError();
  if (error == ERROR_PIPE_CONNECTED) {
    ::SetEvent(event);  // the client came between creation and this call
    return;
  }
  if (error != ERROR_IO_PENDING) throw ErrCodeException(ErrnoFromWin32(error), ZEP_SOURCE, __LINE__);
}

}  // namespace

// The pipe's state lives in one heap block so that the OVERLAPPED keeps its address; the
// event it signals (set while a client is connected) is listening_.
struct PipeServerState {
  std::wstring name;
  UniqueFd pipe;
  OVERLAPPED overlapped{};
};

// On Windows fd() is the event that is set while a client is connected: a handle for the
// Waitable waits (WaitAny through a Waitable), not a socket for WaitAnyFd.
MessageServer::MessageServer(const std::string& path) : path_(path) {
  auto* state = new PipeServerState;
  state->name = Widen(path);
  HANDLE pipe = CreatePipeInstance(state->name, true);
  if (pipe == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    delete state;
    // Another process serves this name already.
    throw ErrCodeException(ErrnoFromWin32(error), ZEP_SOURCE, __LINE__);
  }
  state->pipe.Reset(FromHandle(pipe));
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    delete state;
    ThrowLastError(__LINE__);
  }
  listening_.Reset(FromHandle(event));
  try {
    StartConnect(pipe, state->overlapped, event);
  } catch (...) {
    delete state;
    throw;
  }
  state_ = state;
}

MessageServer::~MessageServer() {
  auto* state = static_cast<PipeServerState*>(state_);
  if (state == nullptr) return;
  // Ends a pending connect before the OVERLAPPED goes away.
  ::CancelIoEx(ToHandle(state->pipe.Get()), nullptr);
  DWORD ignored = 0;
  ::GetOverlappedResult(ToHandle(state->pipe.Get()), &state->overlapped, &ignored, TRUE);
  delete state;
}

std::optional<std::string> MessageServer::ReceiveOne(std::size_t maxBytes, int timeoutMs, Waitable* stop) {
  auto* state = static_cast<PipeServerState*>(state_);
  HANDLE pipe = ToHandle(state->pipe.Get());
  HANDLE connected = ToHandle(listening_.Get());
  if (::WaitForSingleObject(connected, 0) != WAIT_OBJECT_0) return std::nullopt;  // no client yet
  DWORD ignored = 0;
  ::GetOverlappedResult(pipe, &state->overlapped, &ignored, FALSE);

  // Reads one message into a buffer one byte larger than allowed, so a longer one is seen.
  std::string message(maxBytes + 1, '\0');
  OVERLAPPED read{};
  UniqueFd readEvent(FromHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  if (ToHandle(readEvent.Get()) == nullptr) ThrowLastError(__LINE__);
  read.hEvent = ToHandle(readEvent.Get());
  bool ok = false;
  DWORD got = 0;
  if (::ReadFile(pipe, message.data(), static_cast<DWORD>(message.size()), nullptr, &read)) {
    ok = ::GetOverlappedResult(pipe, &read, &got, FALSE) != 0;
  } else if (::GetLastError() == ERROR_IO_PENDING) {
    EventWaitable done(read.hEvent);
    Waitable* objects[2] = {&done, stop};
    const int r = WaitAny(std::span<Waitable* const>(objects, stop != nullptr ? 2 : 1), timeoutMs);
    if (r != 0) ::CancelIoEx(pipe, &read);
    ok = ::GetOverlappedResult(pipe, &read, &got, TRUE) != 0 && r == 0;
  }
  // ERROR_MORE_DATA (longer than allowed), a broken pipe (closed without a message), a
  // cancelled read: the message is dropped whole, with the rest of it.
  // The pipe serves the next client either way.
  ::DisconnectNamedPipe(pipe);
  StartConnect(pipe, state->overlapped, connected);
  // An empty message carries nothing, as on the other systems.
  if (!ok || got == 0 || got > maxBytes) return std::nullopt;
  message.resize(got);
  return message;
}

bool SendMessage(const std::string& path, const std::string& message) {
  const std::wstring name = Widen(path);
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyPipeWaitMs);
  for (;;) {
    HANDLE pipe = ::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) {
      UniqueFd fd(FromHandle(pipe));
      DWORD written = 0;
      if (!::WriteFile(pipe, message.data(), static_cast<DWORD>(message.size()), &written, nullptr) ||
          written != message.size())
        ThrowLastError(__LINE__);
      return true;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return false;
    if (error != ERROR_PIPE_BUSY || std::chrono::steady_clock::now() >= end)
      throw ErrCodeException(ErrnoFromWin32(error), ZEP_SOURCE, __LINE__);
    // Another client is being served: wait for the server's next instance.
    ::WaitNamedPipeW(name.c_str(), 100);
  }
}

// A manual-reset named event: signalled while set, and TryAcquire takes the signal by resetting
// it (however many times it was set). Signals left on an event of that name from before are
// dropped. The owner has no meaning here: the event is reachable from the user's session.
FifoSignal::FifoSignal(const std::string& path, const RunAs* /*owner*/) : path_(path) {
  const std::wstring name = Widen(path);
  HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  if (event == nullptr) ThrowLastError(__LINE__);
  read_.Reset(FromHandle(event));
  ::ResetEvent(event);
}

FifoSignal::~FifoSignal() = default;

bool FifoSignal::TryAcquire() {
  HANDLE event = ToHandle(read_.Get());
  if (::WaitForSingleObject(event, 0) != WAIT_OBJECT_0) return false;
  ::ResetEvent(event);
  return true;
}

bool SetFifoSignal(const std::string& path) {
  const std::wstring name = Widen(path);
  HANDLE event = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str());
  if (event == nullptr) {
    // No event of that name (nobody holds it), or an object of another type has the name.
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_INVALID_HANDLE) return false;
    throw ErrCodeException(ErrnoFromWin32(error), ZEP_SOURCE, __LINE__);
  }
  UniqueFd fd(FromHandle(event));
  if (!::SetEvent(event)) ThrowLastError(__LINE__);
  return true;
}

// AF_UNIX stream sockets exist on Windows 10 and later (afunix.h); where the system has none,
// nothing listens.
UniqueFd ConnectStream(const std::string& /*path*/) {
  return UniqueFd();
}

bool WriteAll(int fd, const void* data, std::size_t length, int timeoutMs) {
  const auto* p = static_cast<const char*>(data);
  const SOCKET s = win32::ToSocket(fd);
  while (length > 0) {
    const int n = ::send(s, p, static_cast<int>(std::min<std::size_t>(length, 1 << 20)), 0);
    if (n > 0) {
      p += n;
      length -= static_cast<std::size_t>(n);
      continue;
    }
    if (n == SOCKET_ERROR && ::WSAGetLastError() == WSAEWOULDBLOCK) {
      WSAPOLLFD pfd{s, POLLWRNORM, 0};
      if (::WSAPoll(&pfd, 1, timeoutMs) <= 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

long ReadSome(int fd, void* data, std::size_t length, int timeoutMs, bool* ended) {
  if (ended != nullptr) *ended = false;
  const SOCKET s = win32::ToSocket(fd);
  WSAPOLLFD pfd{s, POLLRDNORM, 0};
  const int ready = ::WSAPoll(&pfd, 1, timeoutMs);
  if (ready < 0) return -1;
  if (ready == 0) return 0;
  const int n =
      ::recv(s, static_cast<char*>(data), static_cast<int>(std::min<std::size_t>(length, 1 << 20)), 0);
  if (n > 0) return n;
  if (n == 0) {
    if (ended != nullptr) *ended = true;
    return 0;
  }
  return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

}  // namespace platform
