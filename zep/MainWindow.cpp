#include "zep/MainWindow.h"

#include "platform/HPCWrapper.h"
#include "sov/base/Log.h"
#include "zep/overlay/ScreenOverlay.h"
#include "zep/stats/StatsTable.h"
#include "zep/stats/StatsThread.h"
#include "zep/video/DrawThread.h"

namespace {
// Custom event that carries the exit code of the loop in its code field.
Uint32 QuitEventType() {
  static const Uint32 type = SDL_RegisterEvents(1);
  return type;
}
}  // namespace

WindowPlacement InitialPlacement(int screenWidth, int screenHeight) {
  WindowPlacement p;
  p.x = screenWidth / 10;
  p.y = screenHeight / 10;
  p.width = screenWidth - 2 * (screenWidth / 10);
  p.height = screenHeight - 2 * (screenHeight / 10);
  return p;
}

MainWindow::~MainWindow() {
  if (sdlStarted_) SDL_SetEventFilter(nullptr, nullptr);
  window_.reset();
  if (sdlStarted_) SDL_QuitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS);
}

bool MainWindow::Create(const std::string& title) {
  // Closing the window asks the overlay's leave question; only a signal quits directly.
  SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
  if (SDL_InitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS) != 0) {
    LOGE << "SDL video initialisation failed: " << SDL_GetError();
    return false;
  }
  sdlStarted_ = true;
  // Set before the window exists: setting a filter drops the events already queued.
  SDL_SetEventFilter(&MainWindow::FilterEvent, this);
  SDL_DisplayMode mode{};
  if (SDL_GetDesktopDisplayMode(0, &mode) != 0) {
    LOGE << "Can't read the screen size: " << SDL_GetError();
    return false;
  }
  const WindowPlacement p = InitialPlacement(mode.w, mode.h);
  window_.reset(
      SDL_CreateWindow(title.c_str(), p.x, p.y, p.width, p.height, SDL_WINDOW_RESIZABLE | SDL_WINDOW_SHOWN));
  if (!window_) {
    LOGE << "SDL_CreateWindow: " << SDL_GetError();
    return false;
  }
  LOGI << "Main window " << p.width << "x" << p.height << " at " << p.x << "," << p.y << " on a " << mode.w
       << "x" << mode.h << " screen (video driver " << SDL_GetCurrentVideoDriver() << ")";
  SDL_RaiseWindow(window_.get());
  return true;
}

void MainWindow::PostQuit(int exitCode) {
  SDL_Event e{};
  e.type = QuitEventType();
  e.user.code = exitCode;
  SDL_PushEvent(&e);
}

int MainWindow::FilterEvent(void* self, SDL_Event* e) {
  video::DrawThread* draw = static_cast<MainWindow*>(self)->draw_.load();
  return draw != nullptr && draw->TakeWindowEvent(*e) ? 0 : 1;
}

void MainWindow::EndMessage(double entryMs) {
  busy_.Add({entryMs, HPCWrapper::NowUs() / 1000.0, {}});
  if (table_) table_->SetReal(kStatWndProcIdle, static_cast<float>(100.0 - 100.0 * busy_.Result()));
}

int MainWindow::RunEventLoop(IWindowEventHandler* handler) {
  const Uint32 quitType = QuitEventType();
  SDL_Event e;
  for (;;) {
    if (SDL_WaitEvent(&e) == 0) {
      LOGE << "SDL_WaitEvent: " << SDL_GetError();
      return 0;
    }
    // Each event is one message of the window procedure, timed from here to the end of its handling.
    struct Message {
      MainWindow& window;
      double entryMs = HPCWrapper::NowUs() / 1000.0;
      ~Message() { window.EndMessage(entryMs); }
    } message{*this};
    if (e.type == quitType) return e.user.code;
    // The overlay sees pointer events, its accelerators and the close request first; the rest
    // goes to the station through the input handler.
    if (overlay_ && RouteToOverlay(e)) continue;
    if (handler && handler->OnEvent(e)) continue;
    switch (e.type) {
      case SDL_QUIT:
        // Window closed or SIGINT/SIGTERM: the player chose to stop.
        LOGI << "Quit requested";
        return 0;
      case SDL_WINDOWEVENT:
        if (e.window.event == SDL_WINDOWEVENT_CLOSE) {
          if (handler && handler->OnCloseRequested()) break;
          LOGI << "Main window closed";
          return 0;
        }
        break;
      default:
        break;
    }
  }
}

bool MainWindow::RouteToOverlay(const SDL_Event& e) {
  using overlay::MouseAction;
  switch (e.type) {
    case SDL_MOUSEMOTION:
      return overlay_->HandleMouse(e.motion.x, e.motion.y, MouseAction::kMove);
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
      if (e.button.button != SDL_BUTTON_LEFT) return overlay_->OwnsMouse();
      return overlay_->HandleMouse(e.button.x, e.button.y,
                                   e.type == SDL_MOUSEBUTTONDOWN ? MouseAction::kDown : MouseAction::kUp);
    case SDL_KEYDOWN: {
      const Uint16 mod = e.key.keysym.mod;
      if (e.key.repeat || !(mod & KMOD_CTRL) || !(mod & KMOD_ALT)) return false;
      if (e.key.keysym.sym == SDLK_d) {
        overlay_->ToggleSettings();
        return true;
      }
      if (e.key.keysym.sym == SDLK_r) {
        overlay_->ToggleStatistics();
        ToggleStatsCsv();
        return true;
      }
      return false;
    }
    case SDL_WINDOWEVENT:
      if (e.window.event != SDL_WINDOWEVENT_CLOSE) return false;
      LOGI << "Main window close requested";
      overlay_->RequestClose();
      return true;
    default:
      return false;
  }
}
