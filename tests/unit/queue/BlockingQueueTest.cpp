#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/protocol/Messages.h"
#include "sov/queue/MediaQueues.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kBlocked = 100ms;  // how long a thread must stay blocked to count as blocked
constexpr auto kReleased = 10s;   // generous: the machine is shared

// A heap record with a payload, freed through a deleter that counts the frees of each id.
struct Frame {
  int id;
  std::vector<uint8_t> payload;
};
using FreeCounts = std::vector<std::atomic<int>>;
struct CountingDeleter {
  FreeCounts* freed;
  void operator()(Frame* f) const {
    ++(*freed)[static_cast<std::size_t>(f->id)];
    delete f;
  }
};
using FramePtr = RecordPtr<Frame, CountingDeleter>;

class BlockingQueueTest : public ::testing::Test {
 protected:
  FramePtr Make(int id) { return FramePtr(new Frame{id, std::vector<uint8_t>(100, uint8_t(id))}, {&freed_}); }
  int Freed(int id) const { return freed_[static_cast<std::size_t>(id)]; }
  void ExpectEachFreedOnce(int ids) const {
    for (int id = 0; id < ids; ++id) EXPECT_EQ(Freed(id), 1) << "frame " << id;
  }

  platform::Event interrupt_{true};
  FreeCounts freed_ = FreeCounts(10000);
};

}  // namespace

TEST_F(BlockingQueueTest, FullQueueBlocksThePusherAndEmptyQueueThePopper) {
  BlockingQueue<int> q(interrupt_, 4);
  for (int i = 0; i < 4; ++i) q.push(i);  // never blocks
  auto pusher = std::async(std::launch::async, [&] { q.push(4); });
  EXPECT_EQ(pusher.wait_for(kBlocked), std::future_status::timeout);
  EXPECT_EQ(q.pop(), 0);
  ASSERT_EQ(pusher.wait_for(kReleased), std::future_status::ready);
  // FIFO order survives the wrap of the indices.
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(q.pop(), i);
  EXPECT_EQ(q.pushed(), 5);

  auto popper = std::async(std::launch::async, [&] { return q.pop(); });
  EXPECT_EQ(popper.wait_for(kBlocked), std::future_status::timeout);
  q.push(42);
  ASSERT_EQ(popper.wait_for(kReleased), std::future_status::ready);
  EXPECT_EQ(popper.get(), 42);
}

TEST_F(BlockingQueueTest, InterruptReleasesBlockedPopperAndPusherAndStaysSet) {
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

  // Every later wait throws at once, even where an element or a slot is available.
  EXPECT_THROW(full.pop(), InterruptQueueException);
  EXPECT_THROW(empty.push(3), InterruptQueueException);
  EXPECT_THROW(full.peek([](int v) { return v; }), InterruptQueueException);
  EXPECT_THROW(full.pop(500), InterruptQueueException);
  EXPECT_EQ(full.count(), 1);
}

TEST_F(BlockingQueueTest, PeekLeavesTheElementForTheNextPop) {
  BlockingQueue<int> q(interrupt_, 4);
  auto head = [](int v) { return v; };
  q.push(7);
  EXPECT_EQ(q.peek(head), 7);
  EXPECT_EQ(q.count(), 1);
  EXPECT_EQ(q.pop(), 7);
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

TEST_F(BlockingQueueTest, TimedWaitsGiveUpWithoutThrowingOrStoring) {
  BlockingQueue<int> q(interrupt_, 2);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(q.pop(500), std::nullopt);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 500ms);
  EXPECT_LT(elapsed, 5s);
  EXPECT_TRUE(q.tryPush(1));
  EXPECT_TRUE(q.push(2, 10));
  EXPECT_FALSE(q.tryPush(3));
  EXPECT_FALSE(q.push(3, 50));
  EXPECT_EQ(q.pushed(), 2);
  EXPECT_EQ(q.tryPop(), 1);
  EXPECT_TRUE(q.tryPush(3));
  EXPECT_EQ(q.pop(500), 2);
}

TEST_F(BlockingQueueTest, RejectsBadConstruction) {
  EXPECT_THROW(BlockingQueue<int>(interrupt_, 0), ErrCodeException);
  platform::Event autoReset(false);  // would stop only the first waiter
  EXPECT_THROW(ControlEventQueue(autoReset, kControlQueueCapacity), ErrCodeException);
}

TEST_F(BlockingQueueTest, DroppedFullQueueFreesEveryRecordOnce) {
  {
    BlockingQueue<FramePtr> q(interrupt_, kMediaQueueCapacity);
    for (int id = 0; id < 3; ++id) q.push(Make(id));
    q.pop();  // freed by the consumer
    for (int id = 3; id <= kMediaQueueCapacity; ++id) q.push(Make(id));
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
    EXPECT_EQ(Freed(3), 1);
    EXPECT_THROW(empty.push(std::move(late)), InterruptQueueException);
    EXPECT_NE(late, nullptr);
    EXPECT_EQ(Freed(0) + Freed(1) + Freed(2), 0);
  }
  ExpectEachFreedOnce(4);
}

TEST_F(BlockingQueueTest, ReplaceHeadHandsTheOldHeadBackAndVisitSeesFromTheHead) {
  BlockingQueue<FramePtr> q(interrupt_, 4);
  FramePtr rest = Make(1);
  EXPECT_EQ(q.replaceHead(std::move(rest)), std::nullopt);
  ASSERT_NE(rest, nullptr);
  q.push(Make(5));
  q.pop();
  for (int id : {0, 2, 3}) q.push(Make(id));  // crosses the end of the ring
  std::optional<FramePtr> old = q.replaceHead(std::move(rest));
  ASSERT_TRUE(old && *old);
  EXPECT_EQ((*old)->id, 0);
  EXPECT_EQ(Freed(0), 0);  // the caller frees it, outside the lock
  EXPECT_EQ(q.peek([](const FramePtr& head) { return head->id; }), 1);
  std::vector<int> seen;
  q.visit([&](const FramePtr& f) {
    seen.push_back(f->id);
    return f->id < 2;
  });
  EXPECT_EQ(seen, (std::vector<int>{1, 2}));
  EXPECT_EQ(q.count(), 3);
}

// Several producers and consumers of handles on a small queue: every record arrives
// exactly once and unchanged, and is freed once by its consumer.
TEST_F(BlockingQueueTest, ManyProducersAndConsumersDeliverEachRecordOnce) {
  constexpr int kThreads = 3;
  constexpr int kPerProducer = 3000;
  BlockingQueue<FramePtr> q(interrupt_, kMediaQueueCapacity);
  std::atomic<int> delivered{0};
  std::vector<std::thread> consumers, producers;
  for (int c = 0; c < kThreads; ++c)
    consumers.emplace_back([&] {
      try {
        for (;;) {
          FramePtr f = q.pop();
          if (f->payload == std::vector<uint8_t>(100, uint8_t(f->id))) ++delivered;
        }
      } catch (const InterruptQueueException&) {
      }
    });
  for (int p = 0; p < kThreads; ++p)
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; ++i) q.push(Make(p * kPerProducer + i));
    });
  for (auto& t : producers) t.join();
  auto until = std::chrono::steady_clock::now() + 30s;
  while (q.count() > 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
  // A consumer counts what it popped before its next wait, which is where the interrupt stops it.
  interrupt_.Set();
  for (auto& t : consumers) t.join();
  EXPECT_EQ(delivered.load(), kThreads * kPerProducer);
  ExpectEachFreedOnce(kThreads * kPerProducer);
}
