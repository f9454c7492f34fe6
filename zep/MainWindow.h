#pragma once
// The client's main window and its event loop (SDL2).
#include <SDL.h>

#include <memory>
#include <string>

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

namespace video {
class Presenter;
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

  // Initialises SDL video and creates the window; false (with the reason logged) on failure.
  bool Create(const std::string& title);
  // Runs the event loop until the window is closed or the process is asked to quit; returns the
  // exit code of the session. With a presenter the loop also draws: it waits for events at most
  // until the next picture is due (see Presenter.h for why drawing lives on this thread).
  int RunEventLoop(video::Presenter* presenter = nullptr, IWindowEventHandler* handler = nullptr);

  SDL_Window* Handle() const { return window_.get(); }
  // Ends the event loop with `exitCode`; callable from any thread.
  static void PostQuit(int exitCode);

  // Overlay hook: pointer events and the window's close request go to the overlay first; closing
  // then asks the leave question instead.
  void SetOverlay(overlay::ScreenOverlay* overlay) { overlay_ = overlay; }

 private:
  // True when the overlay took the event.
  bool RouteToOverlay(const SDL_Event& e);

  overlay::ScreenOverlay* overlay_ = nullptr;
  bool sdlStarted_ = false;
  SdlWindowPtr window_;
};
