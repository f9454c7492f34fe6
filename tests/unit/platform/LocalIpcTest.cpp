// The confirmation FIFO from the writer's side: a byte wakes the reader, and a missing FIFO, one
// nobody reads or a plain file of that name is reported, never waited on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/LocalIpc.h"
#include "platform/Wait.h"

namespace fs = std::filesystem;

TEST(LocalIpc, SetFifoSignalWakesTheReaderAndReportsWhatIsNotThere) {
  const fs::path dir = fs::temp_directory_path() / ("zep-fifo-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string path = (dir / "ConfirmSessionEvent").string();

  EXPECT_FALSE(platform::SetFifoSignal(path));  // nothing there yet
  {
    platform::FifoSignal signal(path);
    EXPECT_FALSE(signal.TryAcquire());
    EXPECT_TRUE(platform::SetFifoSignal(path));
    EXPECT_TRUE(platform::SetFifoSignal(path));
    EXPECT_EQ(platform::WaitAny({&signal}, 1000), 0);
    EXPECT_FALSE(signal.TryAcquire()) << "both bytes drained by one signal";
  }
  // A FIFO whose reader is gone: no wait for one to come.
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_FALSE(platform::SetFifoSignal(path));
  fs::remove(path);
  // A plain file of that name is left as it is.
  std::ofstream(path) << "";
  EXPECT_FALSE(platform::SetFifoSignal(path));
  EXPECT_EQ(fs::file_size(path), 0u);
  fs::remove_all(dir);
}
