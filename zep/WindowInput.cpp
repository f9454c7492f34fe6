#include "zep/WindowInput.h"

#include "platform/HPCWrapper.h"
#include "sov/base/Log.h"
#include "sov/settings/RunTimeSettings.h"
#include "zep/MainWindow.h"
#include "zep/input/Clipboard.h"
#include "zep/session/ClientThreads.h"
#include "zep/stats/StatsThread.h"

namespace {

// Within this many pixels of an edge of a window (not fullscreen, pointer free) the local
// pointer is shown so that the window can be resized.
constexpr int kEdgePixels = 9;
constexpr uint32_t kCaptureWidth = 1280;
constexpr uint16_t kCaptureHeight = 720;
constexpr uint32_t kLeftBit = 1, kMiddleBit = 2, kRightBit = 4;
constexpr int kDefaultPointerSpeed = 10;

bool OverlayVisible() {
  return CRunTimeSettings::Get(RunTimeSettings().overlayVisible) != 0;
}

}  // namespace

WindowInput::WindowInput(SDL_Window* window, ClientThreads& session)
    : window_(window),
      session_(session),
      layout_(window),
      capture_(
          [&queue = session.ControlEvents()](const HUMAN_CONTROL_EVENT_PACKET& p) {
            try {
              return queue.tryPush(p);
            } catch (const InterruptException&) {
              return false;  // the session is ending
            }
          },
          [&scale = session.Shared().scale] {
            const auto v = scale.Get();
            return input::InputCapture::Scale{v.x, v.y};
          }) {
  capture_.SetMouseClock(&session.Shared().lastMouseInputMs, [] { return HPCWrapper::NowMs(); });
  // Linux desktops have no pointer speed on the Windows scale of 1..20: relative movements reach
  // the station as they would from a Windows pointer at its default speed.
  capture_.SetSpeedFactor(input::MouseSpeedFactor(kDefaultPointerSpeed));
  RefreshSize();
  const Uint32 flags = SDL_GetWindowFlags(window_);
  fullscreen_ = (flags & SDL_WINDOW_FULLSCREEN) != 0;
  if (flags & SDL_WINDOW_INPUT_FOCUS) capture_.SetActive(true);
  if (flags & SDL_WINDOW_MOUSE_FOCUS) capture_.SetPointerInside(true);
}

WindowInput::~WindowInput() {
  if (relative_) SDL_SetRelativeMouseMode(SDL_FALSE);
  SDL_SetCursor(SDL_GetDefaultCursor());
}

bool WindowInput::OnEvent(const SDL_Event& e) {
  if (session_.Cursor().IsWakeEvent(e)) {
    session_.Cursor().WakeHandled();
    ApplyRemoteCursor();
    return true;
  }
  switch (e.type) {
    case SDL_WINDOWEVENT:
      OnWindowEvent(e.window);
      return false;  // the presenter follows the window's size too
    case SDL_KEYDOWN:
    case SDL_KEYUP:
      OnKey(e.key);
      return true;
    case SDL_MOUSEMOTION:
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
    case SDL_MOUSEWHEEL:
      return OnMouse(e);
    default:
      return false;
  }
}

bool WindowInput::OnCloseRequested() {
  return sink_ != nullptr && sink_->OnCloseRequested();
}

void WindowInput::RefreshSize() {
  SDL_GetWindowSize(window_, &width_, &height_);
  capture_.SetClientSize(width_, height_);
}

void WindowInput::OnWindowEvent(const SDL_WindowEvent& e) {
  switch (e.event) {
    case SDL_WINDOWEVENT_FOCUS_GAINED:
      RefreshSize();
      capture_.SetActive(true);
      session_.Gamepads().SetEnabled(true);
      UpdatePointer();
      break;
    case SDL_WINDOWEVENT_FOCUS_LOST:
      capture_.SetActive(false);
      session_.Gamepads().SetEnabled(false);
      SetConfined(false);  // losing focus always frees the pointer
      UpdatePointer();
      break;
    case SDL_WINDOWEVENT_ENTER:
      RefreshSize();
      capture_.SetPointerInside(true);
      UpdatePointer();
      break;
    case SDL_WINDOWEVENT_LEAVE:
      capture_.SetPointerInside(false);
      UpdatePointer();
      break;
    case SDL_WINDOWEVENT_SIZE_CHANGED:
    case SDL_WINDOWEVENT_RESIZED: {
      RefreshSize();
      const bool fullscreen = (SDL_GetWindowFlags(window_) & SDL_WINDOW_FULLSCREEN) != 0;
      // Entering fullscreen confines the pointer, leaving it frees it.
      if (fullscreen != fullscreen_ && confineWanted_ != fullscreen) RunCommand(input::kCmdToggleConfinement);
      fullscreen_ = fullscreen;
      break;
    }
    default:
      break;
  }
}

void WindowInput::OnKey(const SDL_KeyboardEvent& e) {
  const bool down = e.type == SDL_KEYDOWN;
  input::KeyModifiers mods;
  mods.alt = (e.keysym.mod & KMOD_ALT) != 0;
  mods.ctrl = (e.keysym.mod & KMOD_CTRL) != 0;
  mods.numLock = (e.keysym.mod & KMOD_NUM) != 0;
  if (down && e.keysym.scancode == SDL_SCANCODE_RALT) mods.altGr = layout_.RightAltIsAltGr();
  if (down && !e.repeat) {
    // Bound keys by their virtual keys under the active layout; AltGr counts as Ctrl+Alt, as on
    // Windows.
    Uint16 mod = e.keysym.mod;
    if (capture_.AltGrHeld()) mod |= KMOD_LCTRL;
    const uint16_t vkey = input::KeyVirtualKey(e.keysym.scancode, e.keysym.sym, mods.numLock);
    if (auto command = input::MatchAccelerator(vkey, mod)) RunCommand(*command);
  }
  // A bound key reaches the station too, its press and its release.
  capture_.OnKey(e.keysym.scancode, e.keysym.sym, down, mods);
}

bool WindowInput::SettingsShown() const {
  return OverlayVisible() && session_.Shared().presentationSwitch.load(std::memory_order_relaxed) == 0;
}

bool WindowInput::MouseHeld() const {
  return SettingsShown() || (sink_ != nullptr && sink_->OwnsMouse());
}

bool WindowInput::OnMouse(const SDL_Event& e) {
  if (e.type == SDL_MOUSEMOTION) {
    pointer_.x.exchange(e.motion.x);
    pointer_.y.exchange(e.motion.y);
  } else if (e.type == SDL_MOUSEBUTTONDOWN) {
    const uint32_t bit = e.button.button == SDL_BUTTON_LEFT     ? kLeftBit
                         : e.button.button == SDL_BUTTON_RIGHT  ? kRightBit
                         : e.button.button == SDL_BUTTON_MIDDLE ? kMiddleBit
                                                                : 0;
    pointer_.buttons.fetch_or(bit);
    if (e.button.button == SDL_BUTTON_LEFT && confineWanted_ && !confined_) SetConfined(true);
  } else if (e.type == SDL_MOUSEBUTTONUP) {
    pointer_.buttons.exchange(0);
  }
  const bool taken = sink_ != nullptr && sink_->OnMouseEvent(e);
  capture_.SetMouseHeld(taken || MouseHeld());
  switch (e.type) {
    case SDL_MOUSEMOTION:
      capture_.OnMotion(e.motion.x, e.motion.y, e.motion.xrel, e.motion.yrel);
      UpdatePointer();
      break;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
      capture_.OnButton(e.button.button, e.type == SDL_MOUSEBUTTONDOWN, e.button.x, e.button.y);
      UpdatePointer();  // a click may have opened or closed a pane
      break;
    case SDL_MOUSEWHEEL: {
      const int sign = e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -1 : 1;
      capture_.OnWheel(sign * e.wheel.x, sign * e.wheel.y);
      break;
    }
    default:
      break;
  }
  return true;
}

void WindowInput::RunCommand(input::Command command) {
  LOGD << "HotkeyHandleProc: command " << static_cast<int>(command);
  if (sink_ != nullptr && sink_->OnCommand(command)) return;
  try {
    switch (command) {
      case input::kCmdClose:
        if (!OnCloseRequested()) MainWindow::PostQuit(0);
        break;
      case input::kCmdToggleCaptureSize: {
        proto::RESOLUTION r = session_.Shared().resolution.Get();
        const bool small = r.width == kCaptureWidth && r.height == kCaptureHeight;
        r.width = small ? 0 : kCaptureWidth;
        r.height = small ? 0 : kCaptureHeight;
        session_.Shared().resolution.Set(r);
        break;
      }
      case input::kCmdToggleStatistics:  // one switch: the overlay's table and the CSV records
        ToggleStatsCsv();
        break;
      case input::kCmdToggleConfinement:
        confineWanted_ = !confineWanted_;
        SetConfined(confineWanted_);
        break;
      case input::kCmdToggleOverlay: {
        auto& visible = RunTimeSettings().overlayVisible;
        CRunTimeSettings::Set(visible, CRunTimeSettings::Get(visible) ? 0 : 1);
        UpdatePointer();
        break;
      }
      case input::kCmdClipboardPaste:
      case input::kCmdClipboardInsert:
        if (auto block = input::ReadClipboardBlock(command == input::kCmdClipboardPaste ? 0 : 1))
          session_.Shared().clipboard.Put(*block);
        break;
      case input::kCmdToggleFullscreen:
        ToggleFullscreen();
        break;
      case input::kCmdTogglePresentation: {
        const bool on = (session_.Shared().presentationSwitch.fetch_xor(1) ^ 1) != 0;
        LOGI << "Presentation switch " << (on ? "on: the picture without the overlay" : "off");
        UpdatePointer();
        break;
      }
    }
  } catch (const std::exception& e) {
    LOGE << "HotkeyHandleProc"
         << ": unhandled exception: " << e.what();
  }
}

void WindowInput::SetConfined(bool confined) {
  if (confined == confined_) return;
  SDL_SetWindowGrab(window_, confined ? SDL_TRUE : SDL_FALSE);
  confined_ = confined;
}

void WindowInput::ToggleFullscreen() {
  const bool to = (SDL_GetWindowFlags(window_) & SDL_WINDOW_FULLSCREEN) == 0;
  if (SDL_SetWindowFullscreen(window_, to ? SDL_WINDOW_FULLSCREEN_DESKTOP : 0) != 0)
    LOGW << "SDL_SetWindowFullscreen: " << SDL_GetError();
}

bool WindowInput::NearEdge() const {
  const int x = capture_.LastX(), y = capture_.LastY();
  return x < kEdgePixels || x > width_ - kEdgePixels || y < kEdgePixels || y > height_ - kEdgePixels;
}

void WindowInput::ApplyRemoteCursor() {
  if (auto image = session_.Cursor().Take()) {
    if (cursor::SdlCursorPtr made = cursor::MakeSdlCursor(*image)) {
      const bool wasShown = shownCursor_ == remoteCursor_.get();
      cursor::SdlCursorPtr old = std::move(remoteCursor_);
      remoteCursor_ = std::move(made);
      if (wasShown) shownCursor_ = nullptr;  // never leave SDL pointing at a freed cursor
      UpdatePointer();
      old.reset();
      return;
    }
  }
  UpdatePointer();
}

void WindowInput::UpdatePointer() {
  const bool edge = !fullscreen_ && NearEdge();
  const bool overOverlay = sink_ != nullptr && sink_->PointerOverComponent();
  // The pointer is the station's cursor drawn locally; the window's own arrow near its edges.
  SDL_Cursor* want = edge || !remoteCursor_ ? SDL_GetDefaultCursor() : remoteCursor_.get();
  if (want != shownCursor_) {
    SDL_SetCursor(want);
    shownCursor_ = want;
  }
  // The station's pointer visibility chooses how the mouse is sent: positions while it shows its
  // pointer, movements while it hides it (a game that turns the view with the mouse).
  const bool stationPointer = session_.Cursor().Visible();
  capture_.SetAbsolute(stationPointer);
  // While SDL's relative mode holds the pointer it cannot reach an edge: the edges count only
  // outside it.
  const bool show = SettingsShown() || overOverlay || stationPointer || (edge && !confined_ && !relative_);
  // Hidden: raw movements through SDL's relative mode, while the window has the focus and the
  // pointer; shown again as soon as anything needs the local pointer (a pane, the settings).
  const bool relative = !show && capture_.Active() && capture_.PointerInside();
  if (relative != relative_) {
    if (SDL_SetRelativeMouseMode(relative ? SDL_TRUE : SDL_FALSE) != 0)
      LOGW << "SDL_SetRelativeMouseMode: " << SDL_GetError();
    relative_ = relative;
    LOGD << "Mouse " << (relative ? "relative" : "absolute") << " mode";
  }
  if (static_cast<int>(show) != showing_) {
    SDL_ShowCursor(show ? SDL_ENABLE : SDL_DISABLE);
    showing_ = show ? 1 : 0;
  }
}
