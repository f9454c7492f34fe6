#pragma once
// Bounded blocking ring queue: producers block while it is full, consumers while it
// is empty, nothing is ever dropped by the queue. The semaphores (free slots, items)
// decide readiness; the lock is held only while the ring and indices change, never
// across a wait. All queues of a session share one manual-reset interrupt event:
// once set, every blocked and every later wait throws InterruptQueueException.
//
// Elements move in and out and are never copied under the lock, so move-only owning
// handles (see MediaQueues.h) work. The queue owns what it holds: destroying it
// destroys the elements still inside. A push that times out or is interrupted leaves
// the element with the caller.
//
// The original design also released an "arrivals" semaphore on every push; nothing
// waits on it, so it is not built.
#include <array>
#include <atomic>
#include <climits>
#include <concepts>
#include <cstdint>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/Event.h"
#include "platform/Semaphore.h"
#include "sov/base/BaseException.h"

template <class T>
class BaseQueue {
  // Between taking a slot unit and storing, nothing may throw, or the unit is lost.
  static_assert(std::is_nothrow_move_constructible_v<T>, "queue elements must move without throwing");

 public:
  // capacity < 1 throws ErrCodeException(ErrCode::InvalidArg).
  explicit BaseQueue(int capacity) : capacity_(capacity) {
    if (capacity < 1) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
    ring_.resize(static_cast<std::size_t>(capacity));
  }
  virtual ~BaseQueue() = default;
  BaseQueue(const BaseQueue&) = delete;
  BaseQueue& operator=(const BaseQueue&) = delete;

  // Read without the lock by the statistics.
  int count() const { return count_.load(std::memory_order_relaxed); }
  int pushed() const { return pushed_.load(std::memory_order_relaxed); }
  int capacity() const { return capacity_; }

 protected:
  // The caller holds a free-slot unit (Store) or an item unit (Take, WithFront).
  void Store(T&& value) noexcept {
    std::lock_guard lock(lock_);
    ring_[write_].emplace(std::move(value));
    write_ = (write_ + 1) % static_cast<uint32_t>(capacity_);
    count_.fetch_add(1, std::memory_order_relaxed);
    pushed_.fetch_add(1, std::memory_order_relaxed);  // wraps like the 32-bit counter it mirrors
  }

  T Take() noexcept {
    std::lock_guard lock(lock_);
    std::optional<T>& slot = ring_[read_];
    T value = std::move(*slot);
    slot.reset();  // an empty slot holds nothing, not a moved-from element
    read_ = (read_ + 1) % static_cast<uint32_t>(capacity_);
    count_.fetch_sub(1, std::memory_order_relaxed);
    return value;
  }

  template <class F>
  auto WithFront(F& f) {
    std::lock_guard lock(lock_);
    return f(*ring_[read_]);
  }

  mutable std::mutex lock_;             // guards ring_, write_, read_ and the changes of count_ and pushed_
  std::vector<std::optional<T>> ring_;  // engaged exactly for the held elements
  uint32_t write_ = 0;                  // next slot to fill
  uint32_t read_ = 0;                   // next slot to take
  std::atomic<int32_t> count_{0};
  std::atomic<int32_t> pushed_{0};  // never decremented
  const int32_t capacity_;
};

template <class T>
class BlockingQueue : public BaseQueue<T> {
 public:
  // The interrupt event is not owned and must be manual reset (an auto-reset one would
  // stop only the first waiter): otherwise ErrCodeException(ErrCode::InvalidArg).
  BlockingQueue(platform::Event& interrupt, int capacity)
      : BaseQueue<T>(capacity),
        freeSlots_(capacity, capacity),
        items_(0, capacity),
        interrupt_(interrupt),
        pushWait_{&interrupt, &freeSlots_},
        popWait_{&interrupt, &items_} {
    if (!interrupt.ManualReset()) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
  }

  // Blocks while the queue is full. Interrupted, it throws and value stays the caller's.
  void push(T&& value) {
    Wait(pushWait_, platform::kInfinite);
    Put(std::move(value));
  }

  // Waits at most timeoutMs for a free slot; false on time-out, and value stays the caller's.
  bool push(T&& value, uint32_t timeoutMs) {
    if (!Wait(pushWait_, ToWaitMs(timeoutMs))) return false;
    Put(std::move(value));
    return true;
  }
  bool tryPush(T&& value) { return push(std::move(value), 0); }

  // Copyable elements (pointers, control events) may be pushed from an lvalue; the
  // copy is made before the wait, outside the lock.
  void push(const T& value) requires std::copy_constructible<T> { push(T(value)); }
  bool push(const T& value, uint32_t timeoutMs) requires std::copy_constructible<T> {
    return push(T(value), timeoutMs);
  }
  bool tryPush(const T& value) requires std::copy_constructible<T> { return push(T(value), 0); }

  // Blocks while the queue is empty.
  T pop() {
    Wait(popWait_, platform::kInfinite);
    return Get();
  }

  // Waits at most timeoutMs (0xFFFFFFFF: no limit) for an element; nullopt on time-out.
  std::optional<T> pop(uint32_t timeoutMs) {
    if (!Wait(popWait_, ToWaitMs(timeoutMs))) return std::nullopt;
    return Get();
  }
  std::optional<T> tryPop() { return pop(0); }

  // Blocks while the queue is empty, then returns f(head) with the head left in place.
  // f runs under the lock and may change the head but must not touch the queue; it
  // should copy out what it needs rather than return a reference into the queue.
  template <class F>
  auto peek(F&& f) {
    Wait(popWait_, platform::kInfinite);
    // The element stays, so its unit goes back, also when f throws.
    struct GiveBack {
      platform::Semaphore& items;
      ~GiveBack() { items.Release(1); }
    } giveBack{items_};
    return this->WithFront(f);
  }

  // Puts value in place of the head (a consumer that used the head only in part puts
  // back the rest) and returns the old head, to be freed outside the lock. nullopt,
  // with value untouched, when the queue is empty.
  std::optional<T> replaceHead(T&& value) {
    std::lock_guard lock(this->lock_);
    if (this->count_.load(std::memory_order_relaxed) == 0) return std::nullopt;
    std::optional<T>& slot = this->ring_[this->read_];
    std::optional<T> old(std::move(*slot));
    slot.emplace(std::move(value));
    return old;
  }

  // Calls visit(element) from the head on, under the lock, while it returns true.
  // The visitor must not touch the queue.
  template <class Visitor>
  void visit(Visitor&& visit) const {
    std::lock_guard lock(this->lock_);
    const uint32_t capacity = static_cast<uint32_t>(this->capacity_);
    const int count = this->count_.load(std::memory_order_relaxed);
    for (int i = 0; i < count; ++i)
      if (!visit(static_cast<const T&>(*this->ring_[(this->read_ + static_cast<uint32_t>(i)) % capacity])))
        break;
  }

  platform::Event& interrupt() const { return interrupt_; }

 private:
  static int ToWaitMs(uint32_t timeoutMs) {
    return timeoutMs > static_cast<uint32_t>(INT_MAX) ? platform::kInfinite : static_cast<int>(timeoutMs);
  }

  // True when the semaphore was taken, false on time-out.
  static bool Wait(const std::array<platform::Waitable*, 2>& set, int timeoutMs) {
    switch (platform::WaitAny(set, timeoutMs)) {
      case 0:
        throw InterruptQueueException(ZEP_SOURCE, __LINE__);
      case 1:
        return true;
      case platform::kWaitTimeout:
        return false;
      default:
        throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
    }
  }

  void Put(T&& value) {
    this->Store(std::move(value));
    items_.Release(1);
  }

  T Get() {
    T value = this->Take();
    freeSlots_.Release(1);
    return value;
  }

  platform::Semaphore freeSlots_;  // one unit per empty slot
  platform::Semaphore items_;      // one unit per held element
  platform::Event& interrupt_;
  const std::array<platform::Waitable*, 2> pushWait_;  // interrupt first: it wins ties
  const std::array<platform::Waitable*, 2> popWait_;
};
