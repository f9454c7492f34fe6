#pragma once
// Exact-length receive and send over a small set of TCP sockets. There is no framing
// here: the stream protocol reads a type byte and then fixed or counted blocks.
//
// Threading: receives run on one thread, sends on at most one other. CloseSocket() with
// the forced close may come from any thread; it shuts the connection down, which breaks a
// receive or send blocked in another thread. The descriptor itself is closed only by the
// destructor (or when the owning thread puts a new socket into the slot), so its number
// cannot be reused under a thread that is still inside recv().
//
// Stopping: every wait (receive, a send on a full socket buffer, connect) also ends when the
// interrupt event given at construction is set, with InterruptException.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/UniqueFd.h"

namespace platform {
class Event;
}

class TransportBase {
 public:
  static constexpr int kForcedClose = -1;

  virtual ~TransportBase();
  TransportBase(const TransportBase&) = delete;
  TransportBase& operator=(const TransportBase&) = delete;

  // The type byte of the next message. With several sockets, first waits for one to become
  // readable and makes it current. Failures close the slot and throw ReceiveException.
  uint8_t ReceiveMessageType();
  uint8_t ReceiveByte(uint32_t slot);
  // Exactly `length` bytes from the current socket, or ReceiveException (slot closed).
  void* ReceiveBuffer(void* destination, std::size_t length);
  // Sends the block to every open socket; a failing socket is closed and logged. Throws
  // TransportException only when no socket took it.
  void SendBuffer(const void* source, std::size_t length);
  // lastResult 0: the peer ended the stream; anything else (an error, or kForcedClose)
  // also shuts down our side and drains what the peer still sends, for a bounded time.
  void CloseSocket(uint32_t slot, int lastResult);
  // The forced close of every slot, used to tear a channel down from another thread.
  void CloseAllSockets();
  // Shuts every slot down at once without waiting for the peer: for a connection whose peer
  // owes us nothing more, such as a finished probe.
  void AbandonAllSockets();

  // Service helpers: a receive time-out on the current socket (a receive that waits longer
  // fails with EAGAIN); discarding receive that leaves the socket open on failure
  // (TransportException); switching back to blocking mode.
  void SetReceiveTimeout(uint32_t milliseconds);
  void Skip(std::size_t length);
  void SetBlocking(bool blocking);

  uint32_t Count() const { return count_; }
  uint32_t Current() const { return current_.load(std::memory_order_relaxed); }
  bool IsOpen(uint32_t slot) const { return Socket(slot) >= 0; }
  // The slot's descriptor, or -1 when the slot is closed.
  int Socket(uint32_t slot) const;

 protected:
  TransportBase(uint32_t count, bool noDelay, platform::Event* interrupt);

  // Puts a connected or connecting socket into a slot, which owns it from then on.
  void AdoptSocket(uint32_t slot, platform::UniqueFd socket);
  void SetCurrent(uint32_t slot) { current_.store(slot, std::memory_order_relaxed); }
  bool NoDelay() const { return noDelay_; }
  platform::Event* Interrupt() const { return interrupt_; }
  // Throws InterruptException for kSocketInterrupted, else TransportException with the error.
  [[noreturn]] static void ThrowSocketError(int error, int line);

 private:
  struct Slot {
    std::atomic<int> fd{-1};   // what operations use; -1 once closed
    platform::UniqueFd owned;  // closed by the destructor or the next AdoptSocket
    int receiveTimeoutMs = -1;
  };

  void ReceiveExact(uint32_t slot, void* destination, std::size_t length);
  void WaitForReadableSlot();

  std::unique_ptr<Slot[]> slots_;
  uint32_t count_;
  // Written by the receiving thread, read by the sending one (its fallback slot).
  std::atomic<uint32_t> current_{0};
  bool noDelay_;
  platform::Event* interrupt_;  // not owned; null when nothing interrupts the waits
};
