#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/Thread.h"

// Raising priority is allowed to fail (unprivileged users); it must never throw, and
// when it reports success the thread's nice value really went down.
TEST(ThreadTest, RaiseThreadPriorityIsBestEffort) {
  std::thread t([] {
    errno = 0;
    int before = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    ASSERT_EQ(errno, 0);
    bool raised = false;
    EXPECT_NO_THROW(raised = platform::RaiseThreadPriority("test"));
    int after = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    if (raised)
      EXPECT_LT(after, 0);
    else
      EXPECT_EQ(after, before);
  });
  t.join();
  EXPECT_NO_THROW(platform::RaiseThreadPriority(nullptr));
}

TEST(ThreadTest, SetThreadNameCutsLongNames) {
  std::thread t([] {
    platform::SetThreadName("AudioResampleThreadProc");
    char name[32] = {};
    ASSERT_EQ(::pthread_getname_np(::pthread_self(), name, sizeof name), 0);
    EXPECT_STREQ(name, "AudioResampleTh");
  });
  t.join();
}
