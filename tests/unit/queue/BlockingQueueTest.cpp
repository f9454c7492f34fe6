#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/queue/BlockingQueue.h"

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

class BlockingQueueTest : public ::testing::Test {
 protected:
  platform::Event interrupt_{true};
};

}  // namespace

TEST_F(BlockingQueueTest, FullQueueBlocksThePusherUntilAPop) {
  BlockingQueue<int> q(interrupt_, 4);
  EXPECT_EQ(q.capacity(), 4);
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
  EXPECT_EQ(pusher.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  interrupt_.Set();
  ASSERT_EQ(popper.wait_for(kReleased), std::future_status::ready);
  ASSERT_EQ(pusher.wait_for(kReleased), std::future_status::ready);
  EXPECT_THROW(popper.get(), InterruptQueueException);
  EXPECT_THROW(pusher.get(), InterruptQueueException);

  // The event stays set: every later wait throws at once, even where an element or a
  // slot is available.
  EXPECT_THROW(full.pop(), InterruptQueueException);
  EXPECT_THROW(empty.push(3), InterruptQueueException);
  EXPECT_THROW(full.peek(), InterruptQueueException);
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
  q.push(7);
  EXPECT_EQ(q.peek(), 7);
  EXPECT_EQ(q.count(), 1);
  EXPECT_EQ(q.peek(), 7);
  q.push(8);
  EXPECT_EQ(q.pop(), 7);
  EXPECT_EQ(q.pop(), 8);
  EXPECT_EQ(q.pop(0), std::nullopt);
  // A blocked peek is woken by a push and still leaves the element.
  auto peeker = std::async(std::launch::async, [&] { return q.peek(); });
  EXPECT_EQ(peeker.wait_for(kBlocked), std::future_status::timeout);
  q.push(9);
  EXPECT_EQ(peeker.get(), 9);
  EXPECT_EQ(q.count(), 1);
  EXPECT_EQ(q.pop(), 9);
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
  EXPECT_EQ(q.pop(0), std::nullopt);
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

TEST_F(BlockingQueueTest, CountAndPushedFollowTheTraffic) {
  BlockingQueue<int> q(interrupt_, 3);
  EXPECT_EQ(q.count(), 0);
  EXPECT_EQ(q.pushed(), 0);
  for (int round = 0; round < 5; ++round) {
    q.push(round);
    q.push(round);
    EXPECT_EQ(q.count(), 2);
    q.pop();
    q.pop();
  }
  EXPECT_EQ(q.count(), 0);
  EXPECT_EQ(q.pushed(), 10);  // never decremented
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

TEST_F(BlockingQueueTest, CarriesRecordsByValue) {
  BlockingQueue<Record36> q(interrupt_, 4);
  for (uint32_t i = 0; i < 10; ++i) {
    Record36 r{};
    r.type = 3;
    r.sequence = i;
    for (int k = 0; k < 7; ++k) r.values[k] = static_cast<int32_t>(i * 10 + k);
    q.push(r);
    r.values[0] = -1;  // the queue holds its own copy
    Record36 out = q.pop();
    EXPECT_EQ(out.type, 3u);
    EXPECT_EQ(out.sequence, i);
    for (int k = 0; k < 7; ++k) EXPECT_EQ(out.values[k], static_cast<int32_t>(i * 10 + k));
  }
}

TEST_F(BlockingQueueTest, CarriesPointersWithoutOwningThem) {
  auto a = std::make_unique<Record36>();
  auto b = std::make_unique<Record36>();
  {
    BlockingQueue<Record36*> q(interrupt_, 16);
    q.push(a.get());
    q.push(b.get());
    EXPECT_EQ(q.pop(), a.get());
    // b stays in the queue at destruction; the queue must not free it.
  }
  b->sequence = 5;  // still ours (ASan would catch a free)
  EXPECT_EQ(b->sequence, 5u);
}

TEST_F(BlockingQueueTest, VisitAndReplaceHeadWorkUnderTheLock) {
  BlockingQueue<int> q(interrupt_, 4);
  EXPECT_FALSE(q.replaceHead(1));
  // Wrap the indices first so the visit crosses the end of the ring.
  q.push(0);
  q.push(0);
  q.push(0);
  q.pop();
  q.pop();
  q.pop();
  for (int v : {10, 20, 30}) q.push(v);
  std::vector<int> seen;
  q.visit([&](int v) {
    seen.push_back(v);
    return v < 20;
  });
  EXPECT_EQ(seen, (std::vector<int>{10, 20}));
  EXPECT_TRUE(q.replaceHead(11));
  EXPECT_EQ(q.count(), 3);
  EXPECT_EQ(q.pop(), 11);
  EXPECT_EQ(q.pop(), 20);
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
  EXPECT_EQ(q.count(), 0);
  // Each consumer sees each producer's elements in the order they were pushed.
  for (auto& r : received) {
    std::vector<int> last(kProducers, -1);
    for (int v : r) {
      EXPECT_GT(v, last[v / kPerProducer]);
      last[v / kPerProducer] = v;
    }
  }
}
