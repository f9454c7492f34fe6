// The local IPC on Windows, over the real kernel objects: the named event that confirms a
// session, the single-instance mutex, and the message pipe that carries URLs to the running
// service. Names carry the process id, so parallel runs do not meet.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/Event.h"
#include "platform/LocalIpc.h"
#include "platform/Wait.h"
#include "sov/base/BaseException.h"

namespace {

std::string Unique(const std::string& base) {
  return base + "-" + std::to_string(::GetCurrentProcessId());
}

bool Signalled(int fd, DWORD timeoutMs) {
  return ::WaitForSingleObject(reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd)), timeoutMs) ==
         WAIT_OBJECT_0;
}

TEST(LocalIpcWin32, ConfirmEventWakesTheReaderOnceAndIsGoneWithIt) {
  const std::string name = Unique("ConfirmSessionEvent");
  EXPECT_FALSE(platform::SetFifoSignal(name));  // nothing there yet
  {
    platform::FifoSignal signal(name);
    EXPECT_FALSE(signal.TryAcquire());
    EXPECT_TRUE(platform::SetFifoSignal(name));
    EXPECT_TRUE(platform::SetFifoSignal(name));
    EXPECT_EQ(platform::WaitAny({&signal}, 1000), 0);
    EXPECT_FALSE(signal.TryAcquire()) << "both sets taken by one signal";
    // A set from another thread wakes a waiting reader.
    std::thread setter([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      platform::SetFifoSignal(name);
    });
    EXPECT_EQ(platform::WaitAny({&signal}, 10000), 0);
    setter.join();
    // A signal left from before a new reader opens the name does not count.
    EXPECT_TRUE(platform::SetFifoSignal(name));
    platform::FifoSignal again(name);
    EXPECT_FALSE(again.TryAcquire());
  }
  // The event ends with its last handle.
  EXPECT_FALSE(platform::SetFifoSignal(name));
  // An object of another type under that name is no signal.
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, std::wstring(name.begin(), name.end()).c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_FALSE(platform::SetFifoSignal(name));
  ::CloseHandle(mutex);
}

TEST(LocalIpcWin32, InstanceMutexAdmitsOneHolderAtATime) {
  const std::string name = "Global\\" + Unique("zepsmainmutex");
  {
    auto first = platform::InstanceLock::TryAcquire(name);
    ASSERT_TRUE(first.has_value());
    EXPECT_FALSE(platform::InstanceLock::TryAcquire(name).has_value());
    // From another thread too: the name exists, whoever asks.
    bool second = true;
    std::thread([&] { second = platform::InstanceLock::TryAcquire(name).has_value(); }).join();
    EXPECT_FALSE(second);
  }
  EXPECT_TRUE(platform::InstanceLock::TryAcquire(name).has_value());
}

TEST(LocalIpcWin32, PipeDeliversOneMessagePerClientAndDropsWhatIsTooLong) {
  const std::string name = "\\\\.\\pipe\\" + Unique("vektaschemapipe");
  EXPECT_FALSE(platform::SendMessage(name, "zep://nobody"));
  platform::MessageServer server(name);
  EXPECT_FALSE(Signalled(server.fd(), 0));
  EXPECT_EQ(server.ReceiveOne(1024, 100), std::nullopt);  // no client yet

  // Sent and closed before the server reads: the message still arrives.
  ASSERT_TRUE(platform::SendMessage(name, "zep://launch?id=1"));
  ASSERT_TRUE(Signalled(server.fd(), 5000));
  EXPECT_EQ(server.ReceiveOne(1024, 5000), "zep://launch?id=1");

  // The next clients are served in turn, while the server reads in a loop.
  const std::string longest(1024, 'x');
  std::thread clients([&] {
    EXPECT_TRUE(platform::SendMessage(name, std::string(1025, 'y')));  // too long: dropped whole
    EXPECT_TRUE(platform::SendMessage(name, longest));
    EXPECT_TRUE(platform::SendMessage(name, ""));
  });
  std::vector<std::optional<std::string>> got;
  while (got.size() < 3 && Signalled(server.fd(), 10000)) got.push_back(server.ReceiveOne(1024, 5000));
  clients.join();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], std::nullopt);
  EXPECT_EQ(got[1], longest);
  EXPECT_EQ(got[2], std::nullopt) << "an empty message is no URL";
}

TEST(LocalIpcWin32, SilentClientIsGivenUpOnTimeOrStop) {
  const std::string name = "\\\\.\\pipe\\" + Unique("vektaschemapipe-silent");
  platform::MessageServer server(name);
  const std::wstring wide(name.begin(), name.end());
  HANDLE client = ::CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Signalled(server.fd(), 5000));
  EXPECT_EQ(server.ReceiveOne(1024, 200), std::nullopt);  // connected, says nothing
  ::CloseHandle(client);

  client = ::CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Signalled(server.fd(), 5000));
  platform::Event stop(true);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop.Set();
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(server.ReceiveOne(1024, 60000, &stop), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30)) << "stop ends the wait";
  stopper.join();
  ::CloseHandle(client);

  // A client that closes without a message is no message, and the server goes on.
  client = ::CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  ::CloseHandle(client);
  ASSERT_TRUE(Signalled(server.fd(), 5000));
  EXPECT_EQ(server.ReceiveOne(1024, 5000), std::nullopt);
  ASSERT_TRUE(platform::SendMessage(name, "zep://after"));
  ASSERT_TRUE(Signalled(server.fd(), 5000));
  EXPECT_EQ(server.ReceiveOne(1024, 5000), "zep://after");
}

}  // namespace
