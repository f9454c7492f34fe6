// How the session object ends, in this process against the reference station: what it leaves
// behind at the controllers, and a set-up that fails once the threads run. Each case runs in a child
// process, as the real client does, because the network threads are never joined.
#include <SDL.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "sov/config/Config.h"
#include "tests/e2e/VirtualPad.h"
#include "tests/integration/station/StationHarness.h"
#include "zep/session/ClientThreads.h"

using stationtest::StationProcess;
using stationtest::WaitUntil;

namespace {

// The last rumble the virtual controller was given, low motor in the high half.
std::atomic<uint32_t> g_rumble{0};
std::atomic<int> g_rumbleCalls{0};

int OnRumble(void*, Uint16 low, Uint16 high) {
  g_rumble = (uint32_t{low} << 16) | high;
  ++g_rumbleCalls;
  return 0;
}

// A game controller as SDL's virtual joystick: every button and axis, rumble recorded.
bool AttachVirtualController() {
  if (SDL_Init(SDL_INIT_JOYSTICK | SDL_INIT_GAMECONTROLLER) != 0) return false;
  return e2e::AttachVirtualPad(OnRumble) >= 0;
}

StationAddress AddressOf(const StationProcess& station) {
  StationAddress a;
  a.address = "127.0.0.1";
  a.mousePointerPort = static_cast<uint32_t>(station.Port(1));
  a.videoPort = a.udpVideoPort = static_cast<uint32_t>(station.Port(2));
  a.audioPort = a.udpAudioPort = static_cast<uint32_t>(station.Port(3));
  a.apiPort = static_cast<uint32_t>(station.Port(4));
  a.humanControlPort = static_cast<uint32_t>(station.Port(5));
  a.clientGuid = *platform::Guid::Parse("0a0b0c0d-0506-0708-090a-0b0c0d0e0f10");
  return a;
}

// The station starts a rumble (SDL keeps it going for a minute); closing the session stops it.
TEST(SessionShutdown, StopsEveryControllerRumble) {
  GTEST_FLAG_SET(death_test_style, "fast");
  StationProcess station({"--at", "300 vibrate 0 30000 40000", "--video-frames", "1"});
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  EXPECT_EXIT(
      {
        Config::Instance().Load("/nonexistent/client-config.cfg");
        if (!AttachVirtualController()) {
          std::fprintf(stderr, "no virtual controller: %s\n", SDL_GetError());
          std::_Exit(2);
        }
        auto* threads = new ClientThreads(AddressOf(station));  // never destroyed, as in the client
        if (!WaitUntil([] { return g_rumble.load() == ((30000u << 16) | 40000u); }, 15000)) {
          std::fprintf(stderr, "the station's rumble never arrived: %08x\n", g_rumble.load());
          std::_Exit(3);
        }
        threads->Interrupt();
        const uint32_t stopped = g_rumble.load();
        // A request the API receiver takes after the end (it is never joined) starts nothing.
        threads->Gamepads().Vibrate(0, 1000, 2000);
        const uint32_t after = stopped | g_rumble.load();
        std::fprintf(stderr, "rumble after the interrupt: %08x\n", after);
        std::_Exit(after == 0 ? 0 : 4);
      },
      ::testing::ExitedWithCode(0), "rumble after the interrupt: 00000000");
}

}  // namespace

namespace {

// A station whose ports all refuse: the ports a reference station had, once it has ended.
StationAddress RefusingStation() {
  int freePort = 0;
  {
    StationProcess probe({});
    freePort = probe.Port();
  }
  StationAddress address;
  address.address = "127.0.0.1";
  address.mousePointerPort = static_cast<uint32_t>(freePort + 1);
  address.videoPort = address.udpVideoPort = static_cast<uint32_t>(freePort + 2);
  address.audioPort = address.udpAudioPort = static_cast<uint32_t>(freePort + 3);
  address.apiPort = static_cast<uint32_t>(freePort + 4);
  address.humanControlPort = static_cast<uint32_t>(freePort + 5);
  return address;
}

// The overlay or the presenter fails once the threads run: the failure is reported as a failed
// start-up and the process ends at once with 0, before anything frees what the threads still use.
TEST(SessionShutdown, AFailureAfterTheThreadsStartedEndsTheProcessWithoutUnwinding) {
  GTEST_FLAG_SET(death_test_style, "fast");
  const StationAddress address = RefusingStation();
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  EXPECT_EXIT(
      {
        Config::Instance().Load("/nonexistent/client-config.cfg");
        ClientThreads threads(address);
        threads.CompleteOrExit([] { throw std::runtime_error("SDL_CreateRenderer: no renderer"); },
                               [&](const std::string& what) {
                                 std::fprintf(stderr, "reported: %s; interrupted before: %d\n", what.c_str(),
                                              threads.Shared().interrupt.IsSet() ? 1 : 0);
                               });
        std::fprintf(stderr, "CompleteOrExit returned\n");
        std::_Exit(9);
      },
      ::testing::ExitedWithCode(0), "reported: SDL_CreateRenderer: no renderer; interrupted before: 0");
}

// The threads in this process now (the main thread included).
int RunningThreads() {
  int n = 0;
  for ([[maybe_unused]] const auto& task : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// Address space the process holds now.
rlim_t AddressSpaceBytes() {
  std::ifstream statm("/proc/self/statm");
  rlim_t pages = 0;
  statm >> pages;
  return pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

// A thread that cannot be started part-way through the start (here for want of address space:
// every stack takes 1 GiB, the process may take 10.5 GiB more, the video probe's decoder threads
// fit and end before the session's threads start) ends the process like a failed set-up: the
// threads that run are never left with a half-built session that unwinds under them.
TEST(SessionShutdown, AThreadThatCannotStartEndsTheProcessWithoutUnwinding) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer does not run under an address-space limit";
#endif
  GTEST_FLAG_SET(death_test_style, "fast");
  const StationAddress address = RefusingStation();
  setenv("SDL_AUDIODRIVER", "dummy", 1);
  EXPECT_EXIT(
      {
        Config::Instance().Load("/nonexistent/client-config.cfg");
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, size_t{1} << 30);
        if (pthread_setattr_default_np(&attr) != 0) std::_Exit(2);
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        limit.rlim_cur = AddressSpaceBytes() + (rlim_t{21} << 29);
        if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(3);
        try {
          ClientThreads threads(address, true, [](const std::string& what) {
            std::fprintf(stderr, "reported: %s; threads running: %d\n", what.c_str(), RunningThreads());
          });
          std::fprintf(stderr, "every thread started\n");
          std::_Exit(9);
        } catch (const std::exception& e) {
          std::fprintf(stderr, "the constructor threw: %s\n", e.what());
          std::_Exit(8);
        }
      },
      ::testing::ExitedWithCode(0), "reported: .+; threads running: ([2-9]|[1-9][0-9])\n");
}

}  // namespace
