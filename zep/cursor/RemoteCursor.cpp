#include "zep/cursor/RemoteCursor.h"

#include "platform/Thread.h"
#include "sov/base/Log.h"
#include "sov/base/ThreadProc.h"

namespace cursor {

CursorHandOver::CursorHandOver() : wakeType_(SDL_RegisterEvents(1)) {}

void CursorHandOver::Offer(CursorImage image) {
  std::optional<CursorImage> old;
  std::lock_guard lock(lock_);
  old.swap(pending_);
  pending_.emplace(std::move(image));
}

std::optional<CursorImage> CursorHandOver::Take() {
  std::optional<CursorImage> out;
  std::lock_guard lock(lock_);
  out.swap(pending_);
  return out;
}

void CursorHandOver::Wake() {
  if (wakeType_ == static_cast<Uint32>(-1) || wakePending_.exchange(true)) return;
  SDL_Event e{};
  e.type = wakeType_;
  if (SDL_PushEvent(&e) != 1) wakePending_.store(false);
}

int DrawMouseThreadProc(CursorQueue& queue, CursorHandOver& handOver) {
  static const char* const kName = "DrawMouseThreadProc";
  platform::SetThreadName(kName);
  return RunThreadProc(kName, [&] {
    bool wasVisible = false;
    for (;;) {
      std::unique_ptr<MOUSE_INFO> record = queue.pop();
      if (!record) continue;
      const bool visible = record->header.visible != 0;
      handOver.SetVisible(visible);
      bool wake = visible != wasVisible;
      if (record->header.shapeSize != 0 && !record->shape.empty()) {
        std::string why;
        if (auto image = ConvertCursorShape(*record, &why)) {
          handOver.Offer(std::move(*image));
          wake = true;
        } else {
          LOGD << kName << ": cursor shape left out, the current cursor stays: " << why;
        }
      }
      if (wake) handOver.Wake();
      wasVisible = visible;
    }
  });
}

SdlCursorPtr MakeSdlCursor(const CursorImage& image) {
  SDL_Surface* surface =
      SDL_CreateRGBSurfaceWithFormatFrom(const_cast<uint32_t*>(image.argb.data()), image.width, image.height,
                                         32, image.width * 4, SDL_PIXELFORMAT_ARGB8888);
  if (surface == nullptr) {
    LOGD << "Cursor surface: " << SDL_GetError();
    return nullptr;
  }
  SdlCursorPtr c(SDL_CreateColorCursor(surface, image.hotX, image.hotY));
  SDL_FreeSurface(surface);
  if (!c) LOGD << "SDL_CreateColorCursor: " << SDL_GetError();
  return c;
}

}  // namespace cursor
