#pragma once
// Puts a toolkit tree over the picture on an SDL renderer: the tree is drawn into a window-sized
// ARGB bitmap only when it changed, the changed region is uploaded to a blended texture, and
// every frame copies just the visible panes' rectangles from that texture.
#include <SDL.h>

#include <memory>
#include <vector>

#include "CommonFiles/UI/UIHost.h"

namespace overlay {

class SdlOverlayLayer {
 public:
  SdlOverlayLayer() = default;
  ~SdlOverlayLayer();
  SdlOverlayLayer(const SdlOverlayLayer&) = delete;
  SdlOverlayLayer& operator=(const SdlOverlayLayer&) = delete;

  void Draw(SDL_Renderer* renderer, VektaUI::CUIHost& host);
  // Times the tree was redrawn: an unchanged overlay leaves it alone.
  uint64_t Redraws() const { return redraws_; }

 private:
  void Upload(const SDL_Rect& region);

  SDL_Renderer* renderer_ = nullptr;
  SDL_Texture* texture_ = nullptr;
  std::unique_ptr<VektaUI::CUIBitmap> bitmap_;
  std::vector<SDL_Rect> shown_;  // the visible panes' rectangles at the last redraw
  std::vector<uint32_t> staging_;
  uint64_t redraws_ = 0;
};

}  // namespace overlay
