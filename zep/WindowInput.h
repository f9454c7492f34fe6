#pragma once
// The window's input routing: key and mouse events to the station (through InputCapture) or the
// overlay, the window's commands, pointer confinement and visibility, fullscreen, the station's
// cursor and the gamepads' enabling with the window's focus. Window thread only.
#include <SDL.h>

#include "zep/MainWindow.h"
#include "zep/cursor/RemoteCursor.h"
#include "zep/input/Accelerators.h"
#include "zep/input/InputCapture.h"
#include "zep/input/InputSink.h"
#include "zep/input/KeyboardLayout.h"

class ClientThreads;

class WindowInput : public IWindowEventHandler {
 public:
  WindowInput(SDL_Window* window, ClientThreads& session);
  ~WindowInput() override;
  WindowInput(const WindowInput&) = delete;
  WindowInput& operator=(const WindowInput&) = delete;

  // True when the event was used up here (the window need not look at it).
  bool OnEvent(const SDL_Event& e) override;
  // The window's close button or Ctrl+Shift+Q: true when the overlay asks for confirmation.
  bool OnCloseRequested() override;

  void SetInputSink(input::IInputSink* sink) { sink_ = sink; }
  const input::PointerShared& Pointer() const { return pointer_; }

 private:
  void OnWindowEvent(const SDL_WindowEvent& e);
  void OnKey(const SDL_KeyboardEvent& e);
  bool OnMouse(const SDL_Event& e);
  void RunCommand(input::Command command);
  void RefreshSize();
  void SetConfined(bool confined);
  void ToggleFullscreen();
  void ApplyRemoteCursor();
  void UpdatePointer();
  bool NearEdge() const;
  bool MouseHeld() const;
  // The settings panel is open and drawn (not left out by the presentation switch).
  bool SettingsShown() const;

  SDL_Window* window_;
  ClientThreads& session_;
  input::KeyboardLayout layout_;
  input::InputCapture capture_;
  input::IInputSink* sink_ = nullptr;
  input::PointerShared pointer_;
  cursor::SdlCursorPtr remoteCursor_;
  SDL_Cursor* shownCursor_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  bool fullscreen_ = false;
  bool confineWanted_ = false;
  bool confined_ = false;
  bool relative_ = false;  // SDL's relative mouse mode is on
  int showing_ = -1;       // SDL_ShowCursor state last set, -1 before the first
};
