#pragma once
// Per-user local IPC of the service: the single-instance lock, the message socket that
// carries URLs to the running instance, the confirmation FIFO, and stream-socket clients
// (the presence link). Everything lives in the user's runtime folder with mode 0600.
//
// On Windows each path is the name of a kernel object instead (platform/win32/LocalIpc.cpp):
// the lock is a named mutex ("Global\zepsmainmutex"), the message server a named pipe in
// message mode ("\\.\pipe\vektaschemapipe"), the FIFO a named event ("ConfirmSessionEvent").
#include <cstddef>
#include <optional>
#include <string>

#include "platform/Process.h"
#include "platform/UniqueFd.h"
#include "platform/Waitable.h"

namespace platform {

#ifdef _WIN32
struct PipeServerState;
#endif

// $XDG_RUNTIME_DIR when set and absolute, else /run/user/<uid> when it exists. Returns 0 or
// an errno value (ENOENT when there is none).
int RuntimeFolder(std::string& path);

// An exclusive flock on a lock file; held until destruction (or the process ends).
class InstanceLock {
 public:
  // Not held when another process holds it. ErrCodeException (errno) when the file cannot be
  // opened.
  static std::optional<InstanceLock> TryAcquire(const std::string& path);

 private:
  explicit InstanceLock(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

// A SOCK_SEQPACKET listening socket: each connection delivers one message.
class MessageServer {
 public:
  // Replaces a stale socket file (the caller holds the instance lock, so none is live) and
  // binds with mode 0600. ErrCodeException (errno) on failure.
  explicit MessageServer(const std::string& path);
  ~MessageServer();
  MessageServer(const MessageServer&) = delete;
  MessageServer& operator=(const MessageServer&) = delete;

  int fd() const { return listening_.Get(); }
  // Call when fd() is readable: accepts one client and reads its message, waiting at most
  // timeoutMs for it. Nothing when the client sent nothing in time, closed without a message,
  // or sent more than maxBytes (the message is dropped whole), or `stop` was set while waiting.
  // ErrCodeException when the listening socket itself fails.
  std::optional<std::string> ReceiveOne(std::size_t maxBytes, int timeoutMs, Waitable* stop = nullptr);

 private:
  std::string path_;
  UniqueFd listening_;
#ifdef _WIN32
  PipeServerState* state_ = nullptr;  // the pipe instance and its pending connect
#endif
};

// Sends one message to the server at path. False when no server listens there; other
// failures throw ErrCodeException (errno).
bool SendMessage(const std::string& path, const std::string& message);

// The FIFO a child sets by writing a byte. It is waitable: signalled while bytes are
// pending, and taking the signal drains them (one signal for however many bytes came, as an
// auto-reset event). We hold a write end ourselves, so a writer closing its end never makes
// the FIFO report a hang-up.
class FifoSignal : public Waitable {
 public:
  // Replaces any file of that name with a new FIFO (mode 0600), owned by `owner` when given
  // (a root service hands it to the desktop user it starts zep as). ErrCodeException (errno).
  explicit FifoSignal(const std::string& path, const RunAs* owner = nullptr);
  ~FifoSignal() override;
  FifoSignal(const FifoSignal&) = delete;
  FifoSignal& operator=(const FifoSignal&) = delete;

  int fd() const override { return read_.Get(); }
  bool TryAcquire() override;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  UniqueFd read_;
  UniqueFd write_;
};

// Sets the FifoSignal at path from any process: writes one byte without waiting for a reader.
// False when there is no FIFO at path or nobody holds it open for reading; other failures throw
// ErrCodeException (errno).
bool SetFifoSignal(const std::string& path);

// A connected AF_UNIX stream socket (non-blocking reads), or an invalid descriptor when
// nothing listens at path.
UniqueFd ConnectStream(const std::string& path);
// Writes all bytes (waiting while the socket is full, at most timeoutMs in all). False on
// failure or time-out.
bool WriteAll(int fd, const void* data, std::size_t length, int timeoutMs);
// Reads what is there, waiting at most timeoutMs for the first byte: the byte count, 0 at the
// end of the stream or on time-out (then *ended tells which), -1 on error.
long ReadSome(int fd, void* data, std::size_t length, int timeoutMs, bool* ended);

}  // namespace platform
