// Hand-over cost of BlockingQueue between a producer and a consumer thread, for
// the element kinds the client uses (pointers, 36-byte records, owning record
// handles) and the two usual capacities. A plain mutex + condition-variable queue
// runs beside it as the reference for the ratio, and an audio block copied into the
// queue beside the same block moved in as a handle.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/HPCWrapper.h"
#include "sov/base/BaseException.h"
#include "sov/protocol/Messages.h"
#include "sov/queue/MediaQueues.h"

namespace {

#pragma pack(push, 1)
struct Record36 {
  uint32_t type;
  uint32_t words[8];
};
#pragma pack(pop)
static_assert(sizeof(Record36) == 36);

template <class T>
T MakeElement(int64_t i) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<T>(static_cast<uintptr_t>(i + 1) * 64);
  } else {
    T r{};
    r.type = static_cast<uint32_t>(i);
    return r;
  }
}

template <class T>
void BM_TwoThreads(benchmark::State& state) {
  platform::Event interrupt(true);
  BlockingQueue<T> q(interrupt, static_cast<int>(state.range(0)));
  std::thread consumer([&] {
    try {
      for (;;) benchmark::DoNotOptimize(q.pop());
    } catch (const InterruptQueueException&) {
    }
  });
  int64_t i = 0;
  for (auto _ : state) q.push(MakeElement<T>(i++));
  interrupt.Set();
  consumer.join();
  state.SetItemsProcessed(state.iterations());
}

// One thread, push then pop: the cost of the two operations without any blocking.
template <class T>
void BM_OneThread(benchmark::State& state) {
  platform::Event interrupt(true);
  BlockingQueue<T> q(interrupt, static_cast<int>(state.range(0)));
  int64_t i = 0;
  for (auto _ : state) {
    q.push(MakeElement<T>(i++));
    benchmark::DoNotOptimize(q.pop());
  }
  state.SetItemsProcessed(state.iterations());
}

// Reference: bounded queue on std::mutex and two condition variables.
template <class T>
class CondVarQueue {
 public:
  explicit CondVarQueue(std::size_t capacity) : capacity_(capacity) {}
  void push(const T& v) {
    std::unique_lock lock(mutex_);
    notFull_.wait(lock, [&] { return items_.size() < capacity_ || stop_; });
    items_.push_back(v);
    notEmpty_.notify_one();
  }
  bool pop(T& v) {
    std::unique_lock lock(mutex_);
    notEmpty_.wait(lock, [&] { return !items_.empty() || stop_; });
    if (items_.empty()) return false;
    v = items_.front();
    items_.pop_front();
    notFull_.notify_one();
    return true;
  }
  void stop() {
    std::lock_guard lock(mutex_);
    stop_ = true;
    notEmpty_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable notFull_, notEmpty_;
  std::deque<T> items_;
  std::size_t capacity_;
  bool stop_ = false;
};

template <class T>
void BM_CondVarReference(benchmark::State& state) {
  CondVarQueue<T> q(static_cast<std::size_t>(state.range(0)));
  std::thread consumer([&] {
    T v{};
    while (q.pop(v)) benchmark::DoNotOptimize(v);
  });
  int64_t i = 0;
  for (auto _ : state) q.push(MakeElement<T>(i++));
  q.stop();
  consumer.join();
  state.SetItemsProcessed(state.iterations());
}

// Audio blocks of range(0) payload bytes through a queue of 16, the way the receiver
// hands them on. Handle: each block is made (its payload filled as a read would) and
// moved in. Copy: the block is read into one reused record, and the queue gets a copy.
void BM_AudioBlockHandle(benchmark::State& state) {
  platform::Event interrupt(true);
  AudioFramesQueue q(interrupt, kMediaQueueCapacity);
  std::thread consumer([&] {
    try {
      for (;;) benchmark::DoNotOptimize(q.pop().get());
    } catch (const InterruptQueueException&) {
    }
  });
  const auto size = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    auto block = std::make_unique<AUDIO_FRAMES>();
    block->payload.resize(size);
    q.push(std::move(block));
  }
  interrupt.Set();
  consumer.join();
  state.SetItemsProcessed(state.iterations());
}

void BM_AudioBlockCopy(benchmark::State& state) {
  platform::Event interrupt(true);
  BlockingQueue<AUDIO_FRAMES> q(interrupt, kMediaQueueCapacity);
  std::thread consumer([&] {
    try {
      for (;;) benchmark::DoNotOptimize(q.pop().payload.data());
    } catch (const InterruptQueueException&) {
    }
  });
  AUDIO_FRAMES block;
  block.payload.resize(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::memset(block.payload.data(), 0, block.payload.size());
    q.push(block);
  }
  interrupt.Set();
  consumer.join();
  state.SetItemsProcessed(state.iterations());
}

void BM_NowUs(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(HPCWrapper::NowUs());
}

}  // namespace

BENCHMARK(BM_TwoThreads<void*>)->Arg(16)->Arg(1024)->UseRealTime();
BENCHMARK(BM_TwoThreads<Record36>)->Arg(16)->Arg(1024)->UseRealTime();
BENCHMARK(BM_CondVarReference<void*>)->Arg(16)->Arg(1024)->UseRealTime();
BENCHMARK(BM_CondVarReference<Record36>)->Arg(16)->Arg(1024)->UseRealTime();
BENCHMARK(BM_OneThread<void*>)->Arg(16);
BENCHMARK(BM_OneThread<Record36>)->Arg(16);
BENCHMARK(BM_AudioBlockHandle)->Arg(4096)->Arg(65536)->UseRealTime();
BENCHMARK(BM_AudioBlockCopy)->Arg(4096)->Arg(65536)->UseRealTime();
BENCHMARK(BM_NowUs);

BENCHMARK_MAIN();
