// Programs we start keep nothing of ours: a detached one (what a link opens) runs in a session
// of its own, so closing a stuck zep's process group never takes it along, and inherits no
// descriptor above 2.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/Process.h"

TEST(Process, DetachedProgramsRunInTheirOwnSessionWithOnlyTheStandardDescriptors) {
  const std::string file =
      std::filesystem::temp_directory_path() / ("zep-detached-" + std::to_string(getpid()));
  const int leak = ::dup(1);  // inheritable
  ASSERT_GE(leak, 3);
  ASSERT_TRUE(platform::SpawnDetached(
      {"/bin/sh", "-c",
       "s=$(cut -d' ' -f6 /proc/$$/stat); f=$(ls /proc/self/fd | tr '\\n' ' '); echo \"$$ $s $f\" > " + file +
           ".tmp; mv " + file + ".tmp " + file}));
  std::string line;
  for (int i = 0; i < 500 && line.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ifstream in(file);
    std::getline(in, line);
  }
  ::close(leak);
  std::filesystem::remove(file);
  std::istringstream fields(line);
  std::string pid, session;
  fields >> pid >> session;
  ASSERT_FALSE(pid.empty()) << "the program did not run";
  EXPECT_EQ(session, pid) << "it leads a session of its own";
  std::vector<std::string> fds;
  for (std::string fd; fields >> fd;)
    if (fd != "0" && fd != "1" && fd != "2") fds.push_back(fd);
  // ls sees its own handle on the folder it lists (3) and nothing else of ours.
  EXPECT_EQ(fds, std::vector<std::string>{"3"}) << line;
}
