#pragma once
// The streaming session: the object that owns the session's threads, queues and shared blocks.
#include <memory>

#include "zep/StartParams.h"

class MainWindow;
class IWindowEventHandler;
namespace overlay {
class ScreenOverlay;
}

class Session {
 public:
  virtual ~Session() = default;
  // The window is closing: sets the session's interrupt and gives the media threads at most one
  // second in total to leave; the network threads end with the process.
  virtual void Interrupt() = 0;
  // The overlay the window routes pointer input and accelerators to; null when there is none.
  virtual overlay::ScreenOverlay* Overlay() { return nullptr; }
  // Input routing for the window's events; null when there is none.
  virtual IWindowEventHandler* WindowEvents() { return nullptr; }
};

// Builds the session for the window; its constructor starts every session thread. Throws when
// the session cannot be set up.
std::unique_ptr<Session> CreateSession(const StartParams& params, MainWindow& window);
