#pragma once
// Measures how promptly a blocked call ends once the session's interrupt event is set.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>

#include "platform/Event.h"
#include "sov/base/BaseException.h"

namespace nettest {

// Runs `call` (which would block for good) in another thread, sets the interrupt once it has
// waited 200 ms, and returns the time from the interrupt until the call ended with
// InterruptException. `unblock` frees a call that ignored the interrupt, so a failure ends the
// test instead of hanging it.
inline std::chrono::milliseconds TimeToInterrupt(platform::Event& interrupt,
                                                 const std::function<void()>& call,
                                                 const std::function<void()>& unblock) {
  using namespace std::chrono;
  auto waiter = std::async(std::launch::async, [&] {
    try {
      call();
    } catch (const InterruptException&) {
      return true;
    }
    return false;
  });
  if (waiter.wait_for(200ms) == std::future_status::ready) {
    ADD_FAILURE() << "the call ended before the interrupt";
    waiter.get();
    return hours(1);
  }
  auto set = steady_clock::now();
  interrupt.Set();
  if (waiter.wait_for(20s) != std::future_status::ready) {
    ADD_FAILURE() << "the call ignored the interrupt";
    unblock();
  }
  EXPECT_TRUE(waiter.get()) << "the call did not end with InterruptException";
  return duration_cast<milliseconds>(steady_clock::now() - set);
}

}  // namespace nettest
