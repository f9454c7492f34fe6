#pragma once
// Exact-length receive and send over a small set of TCP sockets. There is no framing
// here: the stream protocol reads a type byte and then fixed or counted blocks.
//
// Threading: receives run on one thread, sends on at most one other. CloseSocket() with
// the forced close may come from any thread; it shuts the connection down, which breaks a
// receive or send blocked in another thread. The descriptor itself is closed only by the
// destructor (or when the owning thread puts a new socket into the slot), so its number
// cannot be reused under a thread that is still inside recv().
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

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

  // Service helpers: SO_RCVTIMEO on the current socket; discarding receive that leaves the
  // socket open on failure (TransportException); switching back to blocking mode.
  void SetReceiveTimeout(uint32_t milliseconds);
  void Skip(std::size_t length);
  void SetBlocking(bool blocking);

  uint32_t Count() const { return count_; }
  uint32_t Current() const { return current_; }
  bool IsOpen(uint32_t slot) const { return Socket(slot) >= 0; }
  // The slot's descriptor, or -1 when the slot is closed.
  int Socket(uint32_t slot) const;

 protected:
  TransportBase(uint32_t count, bool noDelay);

  // Puts a connected or connecting socket into a slot, which owns it from then on.
  void AdoptSocket(uint32_t slot, int fd);
  void SetCurrent(uint32_t slot) { current_ = slot; }
  bool NoDelay() const { return noDelay_; }

 private:
  struct Slot {
    std::atomic<int> fd{-1};  // what operations use; -1 once closed
    int owned = -1;           // closed by the destructor or the next AdoptSocket
  };

  // Receives exactly length bytes; returns the last recv() result when short (0 or -1).
  static long ReceiveAll(int fd, void* destination, std::size_t length, int& error);
  void ReceiveExact(uint32_t slot, void* destination, std::size_t length);
  bool SendAll(int fd, const void* source, std::size_t length, int& error);
  void WaitForReadableSlot();

  std::unique_ptr<Slot[]> slots_;
  uint32_t count_;
  uint32_t current_ = 0;
  bool noDelay_;
};
