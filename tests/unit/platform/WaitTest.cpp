#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/Semaphore.h"
#include "platform/Wait.h"
#include "sov/base/BaseException.h"
#include "tests/unit/TestSignalled.h"
#include "tests/unit/TestSockets.h"

using namespace std::chrono_literals;
using platform::Event;
using platform::kInfinite;
using platform::kWaitTimeout;
using platform::Semaphore;
using platform::Waitable;
using platform::WaitAll;
using platform::WaitAny;

namespace {

// Whether an object's descriptor reports it signalled right now.
bool Readable(const Waitable& w) {
  return testsys::Signalled(w);
}

using testsys::SocketPair;

}  // namespace

TEST(EventTest, ManualResetPassesEveryWaiterAutoResetOnePerSet) {
  Event manual(true);
  EXPECT_EQ(WaitAny({&manual}, 0), kWaitTimeout);
  manual.Set();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitAny({&manual}, 0), 0);
  EXPECT_TRUE(Readable(manual));
  manual.Reset();
  EXPECT_FALSE(Readable(manual));
  EXPECT_EQ(WaitAny({&manual}, 0), kWaitTimeout);

  Event once(false, true);
  EXPECT_EQ(WaitAny({&once}, 0), 0);
  EXPECT_FALSE(Readable(once));
  once.Set();
  once.Set();  // not counted: still one pass
  EXPECT_EQ(WaitAny({&once}, 0), 0);
  EXPECT_EQ(WaitAny({&once}, 0), kWaitTimeout);
  once.Set();
  once.Reset();
  EXPECT_EQ(WaitAny({&once}, 0), kWaitTimeout);
}

// Many threads race for signals of one auto-reset event: each Set lets exactly one through.
TEST(EventTest, AutoResetSignalsAreNeverSharedOrLost) {
  Event e(false);
  Event stop(true);
  std::atomic<int> passed{0};
  std::vector<std::thread> waiters;
  for (int t = 0; t < 4; ++t)
    waiters.emplace_back([&] {
      while (WaitAny({&stop, &e}, kInfinite) == 1) passed.fetch_add(1);
    });
  constexpr int kSets = 200;
  for (int i = 0; i < kSets; ++i) {
    e.Set();
    // Wait until a waiter took it before setting again, so no Set merges with the previous one.
    auto until = std::chrono::steady_clock::now() + 10s;
    while (passed.load() != i + 1 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    ASSERT_EQ(passed.load(), i + 1);
  }
  stop.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(passed.load(), kSets);
}

TEST(SemaphoreTest, CountsUpToItsMaximum) {
  Semaphore s(1, 3);
  EXPECT_TRUE(s.Release(2));
  EXPECT_FALSE(s.Release(1));  // would exceed the maximum: nothing added
  EXPECT_FALSE(s.Release(0));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WaitAny({&s}, 0), 0);
  EXPECT_FALSE(Readable(s));
  EXPECT_EQ(WaitAny({&s}, 0), kWaitTimeout);
  EXPECT_FALSE(s.Release(4));
  EXPECT_TRUE(s.Release(3));
  EXPECT_TRUE(Readable(s));
}

TEST(SemaphoreTest, RejectsBadLimits) {
  for (auto [initial, maximum] : {std::pair{0, 0}, {-1, 4}, {5, 4}}) {
    try {
      Semaphore s(initial, maximum);
      ADD_FAILURE() << initial << "/" << maximum;
    } catch (const ErrCodeException& e) {
      EXPECT_EQ(e.Code(), ErrCode::InvalidArg);
    }
  }
}

// A waiter woken by the descriptor must find something to take; otherwise it spins until the
// signalling thread runs again. Only this thread takes, so readable must always mean signalled.
template <class Signal, class IsSignalled>
void ExpectReadableOnlyWhileSignalled(Waitable& w, Signal signal, IsSignalled isSignalled) {
  std::atomic<bool> stop{false};
  std::thread signaller([&] {
    while (!stop.load()) signal();
  });
  int readable = 0, empty = 0;
  auto until = std::chrono::steady_clock::now() + 300ms;
  for (unsigned i = 0; (i % 256) != 0 || std::chrono::steady_clock::now() < until; ++i) {
    if (!Readable(w)) continue;
    ++readable;
    if (!isSignalled()) ++empty;
    w.TryAcquire();
  }
  stop.store(true);
  signaller.join();
  EXPECT_GT(readable, 0);
  EXPECT_EQ(empty, 0);
}

TEST(WaitableTest, DescriptorIsReadableOnlyWhileSignalled) {
  Semaphore s(0, 1);
  ExpectReadableOnlyWhileSignalled(
      s, [&] { s.Release(1); }, [&] { return s.Count() > 0; });
  Event e(false);
  ExpectReadableOnlyWhileSignalled(
      e, [&] { e.Set(); }, [&] { return e.IsSet(); });
}

TEST(WaitAnyTest, EarlierObjectsWinAndOnlyTheWinnerIsTaken) {
  Semaphore a(1, 1), b(1, 1);
  Event manual(true, true);
  EXPECT_EQ(WaitAny({&a, &b}, 0), 0);
  EXPECT_EQ(a.Count(), 0);
  EXPECT_EQ(b.Count(), 1);
  EXPECT_EQ(WaitAny({&a, &b}, 0), 1);
  EXPECT_EQ(WaitAny({&a, &b}, 0), kWaitTimeout);
  // A set manual-reset event in front hides the others, as an interrupt must.
  a.Release();
  EXPECT_EQ(WaitAny({&manual, &a}, 0), 0);
  EXPECT_EQ(a.Count(), 1);
  std::array<Waitable*, 2> list{&b, &a};
  EXPECT_EQ(WaitAny(list, 0), 1);
}

TEST(WaitAnyTest, RejectsNullAndTooManyObjects) {
  Event e(true, true);
  EXPECT_THROW(WaitAny({&e, nullptr}, 0), ErrCodeException);
  std::vector<Waitable*> many(platform::kMaxWaitObjects + 1, &e);
  EXPECT_THROW(WaitAny(many, 0), ErrCodeException);
}

TEST(WaitAllTest, TakesAllOrNothing) {
  Semaphore a(1, 1), b(0, 1);
  Event autoEvent(false, true);
  EXPECT_FALSE(WaitAll({&a, &autoEvent, &b}, 50));
  // Nothing was kept while b was missing.
  EXPECT_EQ(a.Count(), 1);
  EXPECT_TRUE(autoEvent.IsSet());
  b.Release();
  EXPECT_TRUE(WaitAll({&a, &autoEvent, &b}, 0));
  EXPECT_EQ(a.Count(), 0);
  EXPECT_EQ(b.Count(), 0);
  EXPECT_FALSE(autoEvent.IsSet());
  EXPECT_THROW(WaitAll({&a, &a}, 0), ErrCodeException);
}

TEST(WaitAllTest, WaitsForTheLastObject) {
  Semaphore a(1, 1), b(0, 1);
  Event manual(true);
  auto waiter = std::async(std::launch::async, [&] { return WaitAll({&a, &manual, &b}, 20000); });
  EXPECT_EQ(waiter.wait_for(100ms), std::future_status::timeout);
  manual.Set();
  EXPECT_EQ(waiter.wait_for(100ms), std::future_status::timeout);
  EXPECT_EQ(a.Count(), 1);  // not held while waiting
  b.Release();
  EXPECT_TRUE(waiter.get());
  EXPECT_EQ(a.Count(), 0);
  EXPECT_EQ(b.Count(), 0);
  EXPECT_TRUE(manual.IsSet());
}

TEST(WaitAnyFdTest, SocketAndEventShareOneWait) {
  SocketPair sp;
  Event interrupt(true);
  std::array<int, 1> fds{sp.fds[0]};
  std::array<Waitable*, 1> objects{&interrupt};
  EXPECT_EQ(platform::WaitAnyFd(fds, objects, 0), kWaitTimeout);

  // Data on the socket: index 0, and the data stays unread.
  ASSERT_TRUE(testsys::SendAll(sp.fds[1], "x"));
  // Loopback TCP hands the byte over asynchronously; wait until it is there.
  ASSERT_EQ(platform::WaitAnyFd(fds, {}, 10000), 0);
  EXPECT_EQ(platform::WaitAnyFd(fds, objects, 0), 0);
  EXPECT_EQ(platform::WaitAnyFd(fds, objects, 0), 0);

  // The event wins over a socket that stays readable.
  interrupt.Set();
  EXPECT_EQ(platform::WaitAnyFd(fds, objects, 0), 1);
  char c = 0;
  EXPECT_EQ(testsys::ReceiveUpTo(sp.fds[0], &c, 1, 0), 1);
  EXPECT_EQ(c, 'x');
}
