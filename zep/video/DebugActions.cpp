#include "zep/video/DebugActions.h"

#include <cstdio>
#include <cstdlib>

#include "platform/HPCWrapper.h"
#include "sov/base/Log.h"
#include "sov/settings/RunTimeSettings.h"

namespace video {
namespace {

bool ReadPair(const char* name, uint64_t& after, int& value) {
  const char* text = std::getenv(name);
  unsigned long long a = 0;
  int v = 0;
  if (text == nullptr || std::sscanf(text, "%llu:%d", &a, &v) != 2 || v < 0) return false;
  after = a;
  value = v;
  return true;
}

}  // namespace

DebugActions::DebugActions() {
  ReadPair("ZEP_DEBUG_CODEC", codecAfter_, codec_);
  if (!ReadPair("ZEP_DEBUG_MINIMIZE", minimizeAfter_, minimizeMs_)) minimizeAfter_ = 0;
  startMs_ = HPCWrapper::NowMs();
  if (const char* steps = std::getenv("ZEP_DEBUG_MIC")) {
    long long at = 0;
    int value = 0, used = 0;
    while (std::sscanf(steps, "%lld:%d%n", &at, &value, &used) == 2 && at >= 0 &&
           (value == 0 || value == 1)) {
      microphoneSteps_.emplace_back(at, value);
      steps += used;
      if (*steps != ',') break;
      ++steps;
    }
  }
}

bool DebugActions::OnPicture(uint64_t pictures, SDL_Window* window) {
  if (codec_ >= 0 && pictures >= codecAfter_) {
    LOGI << "Debug action: codec setting " << codec_ << " after " << pictures << " pictures";
    CRunTimeSettings::Set(RunTimeSettings().codecIndex, static_cast<uint32_t>(codec_));
    codec_ = -1;
  }
  if (minimizeAfter_ != 0 && pictures >= minimizeAfter_) {
    LOGI << "Debug action: window minimised after " << pictures << " pictures for " << minimizeMs_ << " ms";
    minimizeAfter_ = 0;
    SDL_MinimizeWindow(window);
    minimized_ = true;
    restoreAtMs_ = HPCWrapper::NowMs() + minimizeMs_;
    return true;
  }
  return false;
}

bool DebugActions::OnIteration(SDL_Window* window) {
  const int64_t sinceStartMs = HPCWrapper::NowMs() - startMs_;
  while (!microphoneSteps_.empty() && microphoneSteps_.front().first <= sinceStartMs) {
    LOGI << "Debug action: microphone setting " << microphoneSteps_.front().second << " after "
         << sinceStartMs << " ms";
    CRunTimeSettings::Set(RunTimeSettings().enableMicIndex,
                          static_cast<uint32_t>(microphoneSteps_.front().second));
    microphoneSteps_.erase(microphoneSteps_.begin());
  }
  if (!minimized_ || HPCWrapper::NowMs() < restoreAtMs_) return false;
  LOGI << "Debug action: window restored";
  SDL_RestoreWindow(window);
  minimized_ = false;
  return true;
}

}  // namespace video
