#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/Thread.h"
#include "sov/base/Log.h"

TEST(ThreadTest, SetThreadNameCutsLongNames) {
  std::thread t([] {
    platform::SetThreadName("AudioResampleThreadProc");
    char name[32] = {};
    ASSERT_EQ(::pthread_getname_np(::pthread_self(), name, sizeof name), 0);
    EXPECT_STREQ(name, "AudioResampleTh");
  });
  t.join();
}

// Without the right to raise priority the call reports false, leaves the nice value
// alone and explains itself in the log at debug level. As root, a child process drops
// to an unprivileged user to get there.
TEST(ThreadTest, RaiseThreadPriorityFailureIsLoggedNotThrown) {
  if (::geteuid() != 0) {
    rlimit nice{};
    ASSERT_EQ(::getrlimit(RLIMIT_NICE, &nice), 0);
    if (nice.rlim_cur != 0) GTEST_SKIP() << "this user may raise priority (RLIMIT_NICE)";
  }
  std::filesystem::path log =
      std::filesystem::temp_directory_path() / ("zep-thread-" + std::to_string(::getpid()) + ".log");
  std::filesystem::remove(log);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    zlog::Init(0, log, 1 << 20);
    if (::geteuid() == 0) {
      ::setpriority(PRIO_PROCESS, 0, 0);  // whatever an earlier test left behind
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    }
    int before = ::getpriority(PRIO_PROCESS, 0);
    bool raised = true;
    try {
      raised = platform::RaiseThreadPriority("capture");
    } catch (...) {
      ::_exit(4);
    }
    zlog::Flush();
    ::_exit(raised ? 1 : (::getpriority(PRIO_PROCESS, 0) == before ? 0 : 2));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::ifstream in(log);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove(log);
  EXPECT_NE(text.find("capture: cannot raise thread priority"), std::string::npos) << text;
}
