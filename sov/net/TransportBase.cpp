#include "sov/net/TransportBase.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

#include "platform/Event.h"
#include "platform/Socket.h"
#include "sov/base/BaseException.h"
#include "sov/base/Log.h"

namespace {

// A forced close waits this long at most for the peer to finish; a peer that keeps
// streaming or never answers our shutdown must not hold the closing thread.
constexpr int kDrainTimeMs = 250;
constexpr std::size_t kDrainMaxBytes = 4u << 20;
constexpr std::size_t kDrainBufferSize = 8192;
// End of stream carries no system error; ENOTCONN names it.
constexpr int kEndOfStream = ENOTCONN;

void Drain(int fd) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(kDrainTimeMs);
  std::size_t total = 0;
  char buffer[kDrainBufferSize];
  while (total < kDrainMaxBytes) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return;
    std::size_t got = 0;
    if (platform::ReceiveSome(fd, buffer, sizeof(buffer), nullptr, static_cast<int>(left), got) != 0 ||
        got <= 1)
      return;
    total += got;
  }
}

}  // namespace

TransportBase::TransportBase(uint32_t count, bool noDelay, platform::Event* interrupt)
    : slots_(std::make_unique<Slot[]>(count == 0 ? 1 : count)),
      count_(count == 0 ? 1 : count),
      noDelay_(noDelay),
      interrupt_(interrupt) {}

TransportBase::~TransportBase() {
  for (uint32_t i = 0; i < count_; ++i) CloseSocket(i, kForcedClose);
}

void TransportBase::ThrowSocketError(int error, int line) {
  if (error == platform::kSocketInterrupted) throw InterruptException(ZEP_SOURCE, line);
  throw TransportException(error, ZEP_SOURCE, line);
}

int TransportBase::Socket(uint32_t slot) const {
  return slot < count_ ? slots_[slot].fd.load() : -1;
}

void TransportBase::AdoptSocket(uint32_t slot, platform::UniqueFd socket) {
  Slot& s = slots_[slot];
  if (s.owned.Valid() && s.owned.Get() != socket.Get()) CloseSocket(slot, kForcedClose);
  s.fd.store(socket.Get());
  s.owned = std::move(socket);
  s.receiveTimeoutMs = -1;
}

void TransportBase::ReceiveExact(uint32_t slot, void* destination, std::size_t length) {
  if (length == 0) return;
  int fd = Socket(slot);
  if (fd < 0) throw ReceiveException(ENOTCONN, ZEP_SOURCE, __LINE__);
  std::size_t done = 0;
  int error =
      platform::ReceiveExact(fd, destination, length, interrupt_, slots_[slot].receiveTimeoutMs, done);
  if (error == 0) return;
  if (error == platform::kSocketInterrupted) throw InterruptException(ZEP_SOURCE, __LINE__);
  bool ended = error == platform::kSocketEndOfStream;
  CloseSocket(slot, ended ? 0 : kForcedClose);
  throw ReceiveException(ended ? kEndOfStream : error, ZEP_SOURCE, __LINE__);
}

uint8_t TransportBase::ReceiveMessageType() {
  if (count_ > 1) WaitForReadableSlot();
  uint8_t type = 0;
  ReceiveExact(Current(), &type, 1);
  return type;
}

uint8_t TransportBase::ReceiveByte(uint32_t slot) {
  uint8_t b = 0;
  ReceiveExact(slot, &b, 1);
  return b;
}

void* TransportBase::ReceiveBuffer(void* destination, std::size_t length) {
  ReceiveExact(Current(), destination, length);
  return destination;
}

void TransportBase::WaitForReadableSlot() {
  std::vector<int> fds;
  std::vector<uint32_t> slotOf;
  std::vector<platform::Waitable*> objects;
  if (interrupt_ != nullptr) objects.push_back(interrupt_);
  for (;;) {
    fds.clear();
    slotOf.clear();
    for (uint32_t i = 0; i < count_; ++i) {
      if (int fd = Socket(i); fd >= 0) {
        fds.push_back(fd);
        slotOf.push_back(i);
      }
    }
    // Every slot closed (a forced close from another thread): nothing can ever arrive.
    if (fds.empty()) throw TransportException(ENOTCONN, ZEP_SOURCE, __LINE__);
    // A readable slot, or one whose connection failed: its read reports the failure itself.
    // The time-out only re-checks for slots closed meanwhile.
    int r = platform::WaitAnyFd(fds, objects, 1000);
    if (r == platform::kWaitTimeout) continue;
    if (static_cast<std::size_t>(r) >= fds.size()) throw InterruptException(ZEP_SOURCE, __LINE__);
    SetCurrent(slotOf[static_cast<std::size_t>(r)]);
    return;
  }
}

void TransportBase::SendBuffer(const void* source, std::size_t length) {
  bool delivered = false;
  for (uint32_t i = 0; i < count_; ++i) {
    int fd = Socket(i);
    if (fd < 0) continue;
    std::size_t done = 0;
    int error = platform::SendExact(fd, source, length, interrupt_, done);
    if (error == 0) {
      delivered = true;
      continue;
    }
    if (error == platform::kSocketInterrupted) throw InterruptException(ZEP_SOURCE, __LINE__);
    CloseSocket(i, kForcedClose);
    TransportException e(error, ZEP_SOURCE, __LINE__);
    LOGE_(this) << "SendBuffer"
                << ": unhandled exception: " << e.what();
  }
  if (delivered) return;
  int fd = Socket(Current());
  if (fd < 0) throw TransportException(ENOTCONN, ZEP_SOURCE, __LINE__);
  std::size_t done = 0;
  if (int error = platform::SendExact(fd, source, length, interrupt_, done))
    ThrowSocketError(error, __LINE__);
}

void TransportBase::CloseSocket(uint32_t slot, int lastResult) {
  if (slot >= count_) return;
  int fd = slots_[slot].fd.exchange(-1);
  if (fd < 0) return;
  if (lastResult != 0 && platform::ShutdownSend(fd) == 0) Drain(fd);
  // Wakes a receive or send blocked on this socket in another thread. The descriptor stays
  // reserved until destruction so its number is not reused under that thread.
  platform::ShutdownBoth(fd);
}

void TransportBase::CloseAllSockets() {
  for (uint32_t i = 0; i < count_; ++i) CloseSocket(i, kForcedClose);
}

void TransportBase::AbandonAllSockets() {
  for (uint32_t i = 0; i < count_; ++i) {
    const int fd = slots_[i].fd.exchange(-1);
    if (fd >= 0) platform::ShutdownBoth(fd);
  }
}

void TransportBase::SetReceiveTimeout(uint32_t milliseconds) {
  uint32_t slot = Current();
  if (Socket(slot) < 0) throw TransportException(ENOTCONN, ZEP_SOURCE, __LINE__);
  slots_[slot].receiveTimeoutMs =
      milliseconds == 0 ? -1 : static_cast<int>(std::min<uint32_t>(milliseconds, INT32_MAX));
}

void TransportBase::Skip(std::size_t length) {
  uint32_t slot = Current();
  int fd = Socket(slot);
  if (fd < 0) throw TransportException(ENOTCONN, ZEP_SOURCE, __LINE__);
  uint8_t buffer[kDrainBufferSize];
  while (length > 0) {
    std::size_t n = length < sizeof(buffer) ? length : sizeof(buffer);
    std::size_t done = 0;
    int error = platform::ReceiveExact(fd, buffer, n, interrupt_, slots_[slot].receiveTimeoutMs, done);
    if (error == platform::kSocketEndOfStream) error = kEndOfStream;
    if (error != 0) ThrowSocketError(error, __LINE__);
    length -= n;
  }
}

void TransportBase::SetBlocking(bool blocking) {
  for (uint32_t i = 0; i < count_; ++i) {
    int fd = Socket(i);
    if (fd < 0) continue;
    if (int error = platform::SetNonBlocking(fd, !blocking))
      throw TransportException(error, ZEP_SOURCE, __LINE__);
  }
}
