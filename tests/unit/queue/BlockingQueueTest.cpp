#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/queue/MediaQueues.h"

using namespace std::chrono_literals;

namespace {

// Same size as the 36-byte control event the input queue carries by value.
#pragma pack(push, 1)
struct Record36 {
  uint32_t type;
  uint32_t sequence;
  int32_t values[7];
};
#pragma pack(pop)
static_assert(sizeof(Record36) == 36);

constexpr auto kBlocked = 100ms;  // how long a thread must stay blocked to count as blocked
constexpr auto kReleased = 10s;   // generous: the machine is shared

// A heap record with a payload, and a deleter that counts how often each id is freed.
struct Frame {
  int id;
  std::vector<uint8_t> payload;
};
struct FreeLog {
  std::mutex mutex;  // guards freed: handles die on several threads
  std::map<int, int> freed;
  int Times(int id) {
    std::lock_guard lock(mutex);
    return freed.count(id) ? freed[id] : 0;
  }
};
struct CountingDeleter {
  FreeLog* log;
  void operator()(Frame* f) const {
    {
      std::lock_guard lock(log->mutex);
      ++log->freed[f->id];
    }
    delete f;
  }
};
using FramePtr = RecordPtr<Frame, CountingDeleter>;

class BlockingQueueTest : public ::testing::Test {
 protected:
  FramePtr Make(int id) { return FramePtr(new Frame{id, std::vector<uint8_t>(100, uint8_t(id))}, {&log_}); }
  void ExpectEachFreedOnce(int ids) {
    for (int id = 0; id < ids; ++id) EXPECT_EQ(log_.Times(id), 1) << "frame " << id;
  }

  platform::Event interrupt_{true};
  FreeLog log_;
};

}  // namespace

TEST_F(BlockingQueueTest, FullQueueBlocksThePusherUntilAPop) {
  BlockingQueue<int> q(interrupt_, 4);
  for (int i = 0; i < 4; ++i) q.push(i);  // never blocks
  EXPECT_EQ(q.count(), 4);
  auto pusher = std::async(std::launch::async, [&] { q.push(4); });
  EXPECT_EQ(pusher.wait_for(kBlocked), std::future_status::timeout);
  EXPECT_EQ(q.pop(), 0);
  ASSERT_EQ(pusher.wait_for(kReleased), std::future_status::ready);
  pusher.get();
  // FIFO order survives the wrap of the indices.
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(q.pop(), i);
  EXPECT_EQ(q.count(), 0);
  EXPECT_EQ(q.pushed(), 5);
}

TEST_F(BlockingQueueTest, EmptyQueueBlocksThePopperUntilAPush) {
  BlockingQueue<int> q(interrupt_, 2);
  auto popper = std::async(std::launch::async, [&] { return q.pop(); });
  EXPECT_EQ(popper.wait_for(kBlocked), std::future_status::timeout);
  q.push(42);
  ASSERT_EQ(popper.wait_for(kReleased), std::future_status::ready);
  EXPECT_EQ(popper.get(), 42);
}

TEST_F(BlockingQueueTest, InterruptReleasesBlockedPopperAndPusher) {
  BlockingQueue<int> empty(interrupt_, 2);
  BlockingQueue<int> full(interrupt_, 1);
  full.push(1);
  auto popper = std::async(std::launch::async, [&] { return empty.pop(); });
  auto pusher = std::async(std::launch::async, [&] { full.push(2); });
  EXPECT_EQ(popper.wait_for(kBlocked), std::future_status::timeout);
  EXPECT_EQ(pusher.wait_for(0ms), std::future_status::timeout);
  interrupt_.Set();
  ASSERT_EQ(popper.wait_for(kReleased), std::future_status::ready);
  ASSERT_EQ(pusher.wait_for(kReleased), std::future_status::ready);
  EXPECT_THROW(popper.get(), InterruptQueueException);
  EXPECT_THROW(pusher.get(), InterruptQueueException);

  // The event stays set: every later wait throws at once, even where an element or a
  // slot is available.
  EXPECT_THROW(full.pop(), InterruptQueueException);
  EXPECT_THROW(empty.push(3), InterruptQueueException);
  EXPECT_THROW(full.peek([](int v) { return v; }), InterruptQueueException);
  EXPECT_THROW(full.pop(500), InterruptQueueException);
  EXPECT_EQ(full.count(), 1);
  try {
    empty.pop();
    FAIL() << "no exception";
  } catch (const InterruptQueueException& e) {
    EXPECT_EQ(e.Code(), ErrCode::Abort);
  }
}

TEST_F(BlockingQueueTest, PeekLeavesTheElementForTheNextPop) {
  BlockingQueue<int> q(interrupt_, 4);
  auto head = [](int v) { return v; };
  q.push(7);
  EXPECT_EQ(q.peek(head), 7);
  EXPECT_EQ(q.peek(head), 7);
  EXPECT_EQ(q.count(), 1);
  q.push(8);
  EXPECT_EQ(q.pop(), 7);
  EXPECT_EQ(q.pop(), 8);
  // A blocked peek is woken by a push and still leaves the element.
  auto peeker = std::async(std::launch::async, [&] { return q.peek(head); });
  EXPECT_EQ(peeker.wait_for(kBlocked), std::future_status::timeout);
  q.push(9);
  EXPECT_EQ(peeker.get(), 9);
  // A visitor that throws still gives the element back.
  EXPECT_THROW(q.peek([](int) -> int { throw std::runtime_error("x"); }), std::runtime_error);
  EXPECT_EQ(q.pop(0), 9);
  EXPECT_EQ(q.pop(0), std::nullopt);
}

TEST_F(BlockingQueueTest, TimedPopOnEmptyQueueReturnsNothingAfterTheTimeout) {
  BlockingQueue<int> q(interrupt_, 16);
  auto start = std::chrono::steady_clock::now();
  std::optional<int> v;
  EXPECT_NO_THROW(v = q.pop(500));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_FALSE(v.has_value());
  EXPECT_GE(elapsed, 500ms);
  EXPECT_LT(elapsed, 5s);
  q.push(3);
  EXPECT_EQ(q.pop(500), 3);
}

TEST_F(BlockingQueueTest, TimedAndTryPushDoNotStoreWhenFull) {
  BlockingQueue<int> q(interrupt_, 2);
  EXPECT_TRUE(q.tryPush(1));
  EXPECT_TRUE(q.push(2, 10));
  EXPECT_FALSE(q.tryPush(3));
  EXPECT_FALSE(q.push(3, 50));
  EXPECT_EQ(q.count(), 2);
  EXPECT_EQ(q.pushed(), 2);
  EXPECT_EQ(q.tryPop(), 1);
  EXPECT_TRUE(q.tryPush(3));
  EXPECT_EQ(q.pop(), 2);
  EXPECT_EQ(q.pop(), 3);
  EXPECT_EQ(q.tryPop(), std::nullopt);
}

TEST_F(BlockingQueueTest, RejectsBadConstruction) {
  EXPECT_THROW(BlockingQueue<int>(interrupt_, 0), ErrCodeException);
  platform::Event autoReset(false);
  try {
    BlockingQueue<int> q(autoReset, 4);
    FAIL() << "no exception";
  } catch (const ErrCodeException& e) {
    EXPECT_EQ(e.Code(), ErrCode::InvalidArg);
  }
}

TEST_F(BlockingQueueTest, CarriesRecordsByValueAndPointersWithoutOwningThem) {
  BlockingQueue<Record36> q(interrupt_, 4);
  Record36 r{3, 1, {10, 11, 12, 13, 14, 15, 16}};
  q.push(r);
  r.values[0] = -1;  // the queue holds its own copy
  Record36 out = q.pop();
  EXPECT_EQ(out.sequence, 1u);
  EXPECT_EQ(out.values[0], 10);
  EXPECT_EQ(out.values[6], 16);

  auto kept = std::make_unique<Record36>();
  {
    BlockingQueue<Record36*> pointers(interrupt_, 16);
    pointers.push(kept.get());
  }
  kept->sequence = 5;  // still ours (ASan would catch a free)
  EXPECT_EQ(kept->sequence, 5u);
}

TEST_F(BlockingQueueTest, HandlesPassThroughUnchangedAndFreeOnlyWithTheConsumer) {
  BlockingQueue<FramePtr> q(interrupt_, 3);
  for (int id = 0; id < 7; ++id) {  // wraps the ring twice
    FramePtr f = Make(id);
    Frame* sent = f.get();
    q.push(std::move(f));
    EXPECT_EQ(q.peek([](const FramePtr& head) { return head.get(); }), sent);
    FramePtr got = q.pop();
    EXPECT_EQ(got.get(), sent);
    EXPECT_EQ(got->payload, std::vector<uint8_t>(100, uint8_t(id)));
    EXPECT_EQ(log_.Times(id), 0);
  }
  ExpectEachFreedOnce(7);
}

TEST_F(BlockingQueueTest, DroppedFullQueueFreesEveryRecordOnce) {
  {
    BlockingQueue<FramePtr> q(interrupt_, kMediaQueueCapacity);
    for (int id = 0; id < 3; ++id) q.push(Make(id));
    q.pop();  // freed by the consumer
    for (int id = 3; id < kMediaQueueCapacity + 1; ++id) q.push(Make(id));
    EXPECT_EQ(q.count(), kMediaQueueCapacity);
  }
  ExpectEachFreedOnce(kMediaQueueCapacity + 1);
}

TEST_F(BlockingQueueTest, InterruptedQueuesFreeEveryRecordOnce) {
  {
    BlockingQueue<FramePtr> full(interrupt_, 2);
    BlockingQueue<FramePtr> empty(interrupt_, 2);
    full.push(Make(0));
    full.push(Make(1));
    // A push that times out leaves the record with the caller.
    FramePtr late = Make(2);
    EXPECT_FALSE(full.push(std::move(late), 10));
    ASSERT_NE(late, nullptr);

    auto pusher = std::async(std::launch::async, [&] {
      FramePtr f = Make(3);
      try {
        full.push(std::move(f));
      } catch (const InterruptQueueException&) {
        return f != nullptr;  // still ours, freed as f goes out of scope
      }
      return false;
    });
    auto popper = std::async(std::launch::async, [&] { return empty.pop(); });
    EXPECT_EQ(pusher.wait_for(kBlocked), std::future_status::timeout);
    interrupt_.Set();
    ASSERT_EQ(pusher.wait_for(kReleased), std::future_status::ready);
    EXPECT_TRUE(pusher.get());
    EXPECT_THROW(popper.get(), InterruptQueueException);
    EXPECT_EQ(log_.Times(3), 1);
    EXPECT_THROW(empty.push(std::move(late)), InterruptQueueException);
    ASSERT_NE(late, nullptr);
    late.reset();
    EXPECT_EQ(log_.Times(0) + log_.Times(1), 0);  // the full queue still holds its two
  }
  ExpectEachFreedOnce(4);
}

TEST_F(BlockingQueueTest, ReplaceHeadReturnsTheOldHeadToTheCaller) {
  BlockingQueue<FramePtr> q(interrupt_, 4);
  FramePtr rest = Make(1);
  EXPECT_EQ(q.replaceHead(std::move(rest)), std::nullopt);
  ASSERT_NE(rest, nullptr);
  q.push(Make(0));
  q.push(Make(2));
  {
    std::optional<FramePtr> old = q.replaceHead(std::move(rest));
    ASSERT_TRUE(old && *old);
    EXPECT_EQ((*old)->id, 0);
    EXPECT_EQ(log_.Times(0), 0);
  }
  EXPECT_EQ(log_.Times(0), 1);
  EXPECT_EQ(q.count(), 2);
  EXPECT_EQ(q.pop()->id, 1);
  EXPECT_EQ(q.pop()->id, 2);
}

TEST_F(BlockingQueueTest, VisitSeesTheElementsFromTheHeadAcrossTheWrap) {
  BlockingQueue<int> q(interrupt_, 4);
  for (int i = 0; i < 3; ++i) q.push(0);
  for (int i = 0; i < 3; ++i) q.pop();
  for (int v : {10, 20, 30}) q.push(v);
  std::vector<int> seen;
  q.visit([&](int v) {
    seen.push_back(v);
    return v < 20;
  });
  EXPECT_EQ(seen, (std::vector<int>{10, 20}));
  EXPECT_EQ(q.count(), 3);
}

// Several producers and consumers on a small queue: every element arrives exactly once.
TEST_F(BlockingQueueTest, ManyProducersAndConsumersDeliverEachElementOnce) {
  constexpr int kProducers = 3;
  constexpr int kConsumers = 3;
  constexpr int kPerProducer = 3000;
  BlockingQueue<int> q(interrupt_, 16);
  std::vector<std::vector<int>> received(kConsumers);
  std::vector<std::thread> threads;
  for (int c = 0; c < kConsumers; ++c)
    threads.emplace_back([&, c] {
      try {
        for (;;) received[c].push_back(q.pop());
      } catch (const InterruptQueueException&) {
      }
    });
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) q.push(p * kPerProducer + i);
    });
  for (auto& t : producers) t.join();
  auto until = std::chrono::steady_clock::now() + 30s;
  while (q.count() > 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
  // A consumer stores what it popped before its next wait, which is where the interrupt stops it.
  interrupt_.Set();
  for (auto& t : threads) t.join();

  std::vector<int> all;
  for (auto& r : received) all.insert(all.end(), r.begin(), r.end());
  std::sort(all.begin(), all.end());
  std::vector<int> expected(kProducers * kPerProducer);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(all, expected);
  EXPECT_EQ(q.pushed(), kProducers * kPerProducer);
  // Each consumer sees each producer's elements in the order they were pushed.
  for (auto& r : received) {
    std::vector<int> last(kProducers, -1);
    for (int v : r) {
      EXPECT_GT(v, last[v / kPerProducer]);
      last[v / kPerProducer] = v;
    }
  }
}
