#include "CommonFiles/UI/UIHost.h"

#include <exception>

#include "CommonFiles/UI/UIRenderer.h"
#include "sov/base/Log.h"

namespace VektaUI {

CUIHost::CUIHost(const IUIStringTable* strings, std::function<int64_t()> clockMs)
    : strings_(strings), clockMs_(std::move(clockMs)) {
  root_.SetParent(&pane_);
}

void CUIHost::Resize(int width, int height) {
  if (width == pane_.Width() && height == pane_.Height()) return;
  pane_.SetSize(width, height);
  map_.Resize(width, height);
  mapValid_ = false;
  sizeChanged_ = true;
}

IUIVisualComponent* CUIHost::HitTest(int x, int y) {
  // Repaint the identifier map only when the visible rectangles changed since the last paint.
  map_.Begin(false);
  root_.DrawHitMask(map_);
  if (!mapValid_ || map_.Fingerprint() != paintedFingerprint_) {
    map_.Begin(true);
    root_.DrawHitMask(map_);
    paintedFingerprint_ = map_.Fingerprint();
    mapValid_ = true;
  }
  return map_.At(x, y);
}

void CUIHost::UpdateHover(IUIVisualComponent* under) {
  CBaseButton* button = under ? under->AsButton() : nullptr;
  if (button == hover_) return;
  if (hover_) hover_->SetHover(false);
  hover_ = button;
  if (hover_) hover_->SetHover(true);
}

bool CUIHost::OnPointerMove(int x, int y) {
  IUIVisualComponent* under = HitTest(x, y);
  UpdateHover(under);
  pointerOver_ = under != nullptr;
  return pointerOver_;
}

bool CUIHost::OnButtonDown(int x, int y) {
  OnPointerMove(x, y);
  if (hover_) {
    pressed_ = hover_;
    pressed_->SetPressed(true);
  }
  return pointerOver_;
}

bool CUIHost::OnButtonUp(int x, int y) {
  OnPointerMove(x, y);
  const bool consumed = pointerOver_ || pressed_ != nullptr;
  CBaseButton* pressed = pressed_;
  pressed_ = nullptr;
  if (!pressed) return consumed;
  pressed->SetPressed(false);
  if (pressed != hover_ || !pressed->IsVisible()) return consumed;  // released elsewhere: no click
  const UIPoint origin = pressed->AbsolutePosition();
  try {
    pressed->Click({x - origin.x, y - origin.y}, 0);
  } catch (const std::exception& e) {
    // A handler's failure (a settings store that cannot be written) must not end the stream.
    LOGE << "CUIHost::OnButtonUp"
         << ": unhandled exception: " << e.what();
  }
  return consumed;
}

bool CUIHost::NeedsRedraw() const {
  return sizeChanged_ || root_.PendingChanges() != 0;
}

void CUIHost::Render(CUIBitmap& target) {
  target.Clear();
  CCairoRenderer renderer(target, 0, 0, strings_);
  root_.Draw(renderer);
  root_.ClearChanges();
  sizeChanged_ = false;
}

}  // namespace VektaUI
