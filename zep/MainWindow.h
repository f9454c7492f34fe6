#pragma once
// The client's main window and its event loop (SDL2).
#include <SDL.h>

#include <atomic>
#include <memory>
#include <string>

#include "zep/stats/StatAgregator.h"

struct SdlWindowDeleter {
  void operator()(SDL_Window* w) const { SDL_DestroyWindow(w); }
};
using SdlWindowPtr = std::unique_ptr<SDL_Window, SdlWindowDeleter>;

struct WindowPlacement {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// One tenth of the screen from the top-left corner, the screen's size less two tenths
// (tenths by integer division), so the window is centred at 80 % of the screen.
WindowPlacement InitialPlacement(int screenWidth, int screenHeight);

class StatsTable;
namespace video {
class DrawThread;
}
namespace overlay {
class ScreenOverlay;
}

// Gets every event before the window does (input routing, the overlay's hook).
class IWindowEventHandler {
 public:
  virtual ~IWindowEventHandler() = default;
  // True when the event was used up.
  virtual bool OnEvent(const SDL_Event& e) = 0;
  // The window's close button: true when someone asks for confirmation instead of closing.
  virtual bool OnCloseRequested() = 0;
};

class MainWindow {
 public:
  MainWindow() = default;
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Initialises SDL video and creates the window with its title, class name and icon; false (with
  // the reason logged) on failure.
  bool Create(const std::string& title, const std::string& className);
  // Runs the event loop until the window is closed or the process is asked to quit; returns the
  // exit code of the session. The loop only handles events: the picture is drawn by DrawThreadProc.
  int RunEventLoop(IWindowEventHandler* handler = nullptr);

  SDL_Window* Handle() const { return window_.get(); }
  // Ends the event loop with `exitCode`; callable from any thread.
  static void PostQuit(int exitCode);

  // Overlay hook: the window's close request goes to the overlay first, which asks the leave
  // question instead.
  void SetOverlay(overlay::ScreenOverlay* overlay) { overlay_ = overlay; }
  // The window changes the renderer follows go to the draw thread (see DrawThread.h); null stops.
  void SetDrawThread(video::DrawThread* draw) { draw_.store(draw); }
  // Where "WndProc idle, %" goes after every event the loop handles; may be null.
  void SetStatistics(StatsTable* table) { table_ = table; }

 private:
  // True when the overlay took the event.
  bool RouteToOverlay(const SDL_Event& e);
  // SDL's event filter, on the thread that pushes an event.
  static int FilterEvent(void* self, SDL_Event* e);
  // One event handled from `entryMs` to now: its busy share feeds "WndProc idle, %".
  void EndMessage(double entryMs);

  overlay::ScreenOverlay* overlay_ = nullptr;
  std::atomic<video::DrawThread*> draw_{nullptr};
  StatsTable* table_ = nullptr;
  BusyShareAgregator busy_{200};  // window thread only
  bool sdlStarted_ = false;
  SdlWindowPtr window_;
};
