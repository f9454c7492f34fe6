#include "zep/overlay/SdlOverlayLayer.h"

#include <algorithm>

#include "sov/base/Log.h"

namespace overlay {

SdlOverlayLayer::~SdlOverlayLayer() {
  if (texture_) SDL_DestroyTexture(texture_);
}

void SdlOverlayLayer::Draw(SDL_Renderer* renderer, VektaUI::CUIHost& host) {
  int w = 0, h = 0;
  if (SDL_GetRendererOutputSize(renderer, &w, &h) != 0 || w <= 0 || h <= 0) return;
  host.Resize(w, h);
  bool fresh = false;  // a new texture holds garbage: it is filled whole, and the panes found
  if (!texture_ || renderer != renderer_ || !bitmap_ || bitmap_->Width() != w || bitmap_->Height() != h) {
    if (texture_) SDL_DestroyTexture(texture_);
    renderer_ = renderer;
    texture_ = SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, w, h);
    if (!texture_) {
      LOGE << "Overlay texture: " << SDL_GetError();
      return;
    }
    SDL_SetTextureBlendMode(texture_, SDL_BLENDMODE_BLEND);
    bitmap_ = std::make_unique<VektaUI::CUIBitmap>(w, h);
    shown_.clear();
    fresh = true;
  }
  if (fresh || host.NeedsRedraw()) {
    host.Render(*bitmap_);
    ++redraws_;
    std::vector<SDL_Rect> now;
    auto& root = host.Root();
    for (int i = 0; i < root.ChildCount(); ++i) {
      VektaUI::IUIVisualComponent* c = root.ChildAt(i);
      if (!c->IsVisible()) continue;
      const VektaUI::UIRect r = c->AbsoluteRect();
      SDL_Rect s{std::max(0, r.x), std::max(0, r.y), 0, 0};
      s.w = std::min(w, r.Right()) - s.x;
      s.h = std::min(h, r.Bottom()) - s.y;
      if (s.w > 0 && s.h > 0) now.push_back(s);
    }
    // What was shown before must be cleared on the texture too, so upload both.
    SDL_Rect region{0, 0, fresh ? w : 0, fresh ? h : 0};
    bool any = fresh;
    for (const auto& list : {shown_, now})
      for (const SDL_Rect& s : list) {
        if (!any)
          region = s, any = true;
        else
          SDL_UnionRect(&region, &s, &region);
      }
    if (any) Upload(region);
    shown_ = std::move(now);
  }
  for (const SDL_Rect& s : shown_) SDL_RenderCopy(renderer, texture_, &s, &s);
}

// cairo keeps premultiplied alpha and SDL's blend wants it straight: convert the region on upload.
void SdlOverlayLayer::Upload(const SDL_Rect& region) {
  const uint32_t* pixels = bitmap_->Pixels();
  const int stride = bitmap_->StridePixels();
  staging_.resize(static_cast<std::size_t>(region.w) * region.h);
  for (int y = 0; y < region.h; ++y) {
    const uint32_t* src = pixels + static_cast<std::size_t>(region.y + y) * stride + region.x;
    uint32_t* dst = &staging_[static_cast<std::size_t>(y) * region.w];
    for (int x = 0; x < region.w; ++x) {
      const uint32_t p = src[x];
      const uint32_t a = p >> 24;
      if (a == 0 || a == 255) {
        dst[x] = p;
        continue;
      }
      auto un = [a](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + a / 2) / a); };
      dst[x] = (a << 24) | (un((p >> 16) & 0xFF) << 16) | (un((p >> 8) & 0xFF) << 8) | un(p & 0xFF);
    }
  }
  if (SDL_UpdateTexture(texture_, &region, staging_.data(), region.w * 4) != 0)
    LOGE << "Overlay upload: " << SDL_GetError();
}

}  // namespace overlay
