#pragma once
// Window and setting changes a headless run cannot make by hand, driven from the environment
// for debugging and for the end-to-end tests:
//   ZEP_DEBUG_CODEC=<pictures>:<codec index>  sets the codec setting after that many pictures,
//                                             as the settings pane would;
//   ZEP_DEBUG_MINIMIZE=<pictures>:<ms>        minimises the window after that many pictures and
//                                             restores it after the given time;
//   ZEP_DEBUG_MIC=<ms>:<0|1>[,<ms>:<0|1>...]  sets the microphone setting that many milliseconds
//                                             after the window opened, step by step.
// SDL's offscreen driver cannot minimise a window (SDL_MinimizeWindow does nothing there), so
// while the minimise action is on the window also counts as minimised here.
#include <SDL.h>

#include <cstdint>
#include <utility>
#include <vector>

namespace video {

class DebugActions {
 public:
  DebugActions();

  // Called once per presented picture; true when the window's minimised state changed.
  bool OnPicture(uint64_t pictures, SDL_Window* window);
  // Called every iteration; true when the window was restored.
  bool OnIteration(SDL_Window* window);
  bool Minimized() const { return minimized_; }

 private:
  uint64_t codecAfter_ = 0;
  int codec_ = -1;
  uint64_t minimizeAfter_ = 0;
  int minimizeMs_ = 0;
  int64_t restoreAtMs_ = 0;
  bool minimized_ = false;
  int64_t startMs_ = 0;
  std::vector<std::pair<int64_t, int>> microphoneSteps_;  // (ms after start, value), in order
};

}  // namespace video
