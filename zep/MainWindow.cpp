#include "zep/MainWindow.h"

#include <algorithm>
#include <cstdlib>

#include "CommonFiles/UI/UIRenderer.h"
#include "platform/HPCWrapper.h"
#include "sov/base/Log.h"
#include "zep/overlay/OverlayImages.h"
#include "zep/overlay/ScreenOverlay.h"
#include "zep/stats/StatsTable.h"
#include "zep/video/DrawThread.h"

namespace {
// Custom event that carries the exit code of the loop in its code field.
Uint32 QuitEventType() {
  static const Uint32 type = SDL_RegisterEvents(1);
  return type;
}

// The embedded icon as SDL wants it: straight alpha, where cairo keeps it premultiplied.
void SetIcon(SDL_Window* window) {
  std::unique_ptr<VektaUI::CUIBitmap> icon;
  for (int i = 0; i < overlay::kEmbeddedImageCount; ++i)
    if (overlay::kEmbeddedImages[i].id == overlay::kImageWindowIcon)
      icon = VektaUI::CUIBitmap::FromPng(overlay::kEmbeddedImages[i].data, overlay::kEmbeddedImages[i].size);
  if (!icon || !icon->Valid()) {
    LOGW << "The window's icon cannot be read";
    return;
  }
  SDL_Surface* surface =
      SDL_CreateRGBSurfaceWithFormat(0, icon->Width(), icon->Height(), 32, SDL_PIXELFORMAT_ARGB8888);
  if (!surface) {
    LOGW << "Window icon: " << SDL_GetError();
    return;
  }
  for (int y = 0; y < icon->Height(); ++y) {
    auto* row = reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(surface->pixels) + y * surface->pitch);
    for (int x = 0; x < icon->Width(); ++x) {
      const uint32_t px = icon->Pixels()[y * icon->StridePixels() + x];
      const uint32_t a = px >> 24;
      auto straight = [a](uint32_t c) { return a == 0 ? 0u : std::min(255u, (c * 255 + a / 2) / a); };
      row[x] = (a << 24) | (straight((px >> 16) & 0xFF) << 16) | (straight((px >> 8) & 0xFF) << 8) |
               straight(px & 0xFF);
    }
  }
  SDL_SetWindowIcon(window, surface);
  SDL_FreeSurface(surface);
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

bool MainWindow::Create(const std::string& title, const std::string& className) {
  // Closing the window asks the overlay's leave question; only a signal quits directly.
  SDL_SetHint(SDL_HINT_QUIT_ON_LAST_WINDOW_CLOSE, "0");
  // The window's class (WM_CLASS on X11, the app id on Wayland); a value in the environment wins.
  setenv("SDL_VIDEO_X11_WMCLASS", className.c_str(), 0);
  setenv("SDL_VIDEO_WAYLAND_WMCLASS", className.c_str(), 0);
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
  SetIcon(window_.get());
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
    // The overlay sees the close request first; keys, pointer events and the rest go to the
    // input handler, which asks the overlay about the pointer (see InputSink.h) and runs the
    // window's commands (the overlay's among them).
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
  switch (e.type) {
    case SDL_WINDOWEVENT:
      if (e.window.event != SDL_WINDOWEVENT_CLOSE) return false;
      LOGI << "Main window close requested";
      overlay_->RequestClose();
      return true;
    default:
      return false;
  }
}
