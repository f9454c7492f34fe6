#pragma once
// Waitable objects and the waits over them (the WaitForMultipleObjects family).
// Every object exposes a descriptor that poll reports readable while the object is
// signalled, so objects can share one wait with sockets, FIFOs and pidfds. The
// descriptor is only for polling: the signal itself is taken with TryAcquire.
#include <cstddef>
#include <initializer_list>
#include <span>

namespace platform {

class Waitable {
 public:
  virtual ~Waitable();
  // Readable while the object is signalled.
  virtual int fd() const = 0;
  // Takes one signal if there is one: a unit of a semaphore, the set state of an
  // auto-reset event. A manual-reset event reports true while it is set.
  virtual bool TryAcquire() = 0;
  // Gives back what a successful TryAcquire took (WaitAll backs off this way when it
  // cannot take every object at once). Objects whose TryAcquire consumes nothing keep
  // the default.
  virtual void ReturnAcquired() {}
};

constexpr int kWaitTimeout = 258;
constexpr int kInfinite = -1;
// Most objects plus descriptors one wait takes (as MAXIMUM_WAIT_OBJECTS); keeps every
// index below kWaitTimeout.
constexpr std::size_t kMaxWaitObjects = 64;

// Time-outs are in milliseconds; any negative value waits without limit.
// Failures of the wait itself throw ErrCodeException with errno; more than
// kMaxWaitObjects objects or a null object throw ErrCodeException(ErrCode::InvalidArg).

// Index of the first signalled object, whose signal is taken, or kWaitTimeout.
// Objects earlier in the list win ties.
int WaitAny(std::span<Waitable* const> objects, int timeoutMs);
inline int WaitAny(std::initializer_list<Waitable*> objects, int timeoutMs) {
  return WaitAny(std::span<Waitable* const>(objects.begin(), objects.size()), timeoutMs);
}

// True once every object was taken together, false on time-out. Objects are never
// held partially while waiting: a failed round gives back what it took and waits for
// the object that was missing. The same object twice is an InvalidArg error.
bool WaitAll(std::span<Waitable* const> objects, int timeoutMs);
inline bool WaitAll(std::initializer_list<Waitable*> objects, int timeoutMs) {
  return WaitAll(std::span<Waitable* const>(objects.begin(), objects.size()), timeoutMs);
}

// The readiness a descriptor is waited for; the values are poll's, so the Linux wait passes them on.
constexpr short kWaitReadable = 0x001;
constexpr short kWaitWritable = 0x004;

// A descriptor and the events that make it ready (kWaitReadable, kWaitWritable).
// Errors and hang-ups always count as ready, so the caller's next
// read or write sees the failure.
struct PollFd {
  int fd;
  short events;
};

// Waits for descriptors and objects at once. The result indexes the arguments in
// order: i < fds.size() is fds[i] (ready, nothing consumed); fds.size() + j is
// objects[j] (its signal taken); or kWaitTimeout. Signalled objects win over ready
// descriptors, so an interrupt event is seen even while a socket stays readable.
int WaitAnyFd(std::span<const PollFd> fds, std::span<Waitable* const> objects, int timeoutMs);
// The same, waiting for each descriptor to become readable.
int WaitAnyFd(std::span<const int> fds, std::span<Waitable* const> objects, int timeoutMs);

}  // namespace platform
