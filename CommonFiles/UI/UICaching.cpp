#include "CommonFiles/UI/UICaching.h"

#include "CommonFiles/UI/UIHost.h"

namespace VektaUI {

CCachingUIVisualComponent::CCachingUIVisualComponent(std::unique_ptr<IUIVisualComponent> wrapped,
                                                     uint32_t flags, int periodMs, const CUIHost& host)
    : wrapped_(std::move(wrapped)), flags_(flags), periodMs_(periodMs), host_(host) {
  wrapped_->SetParent(this);
  LayFill(*wrapped_);
  lastPeriodicMs_ = host_.NowMs();
}

bool CCachingUIVisualComponent::NeedsRefresh() const {
  if (dirty_) return true;
  if (wrapped_->IsVisible() != lastVisible_) return true;
  // A bitmap of the wrong size cannot be shown whatever the flags say.
  if (Width() != lastWidth_ || Height() != lastHeight_) return true;
  const uint32_t changes = wrapped_->PendingChanges();
  if (changes & flags_ & kRefreshControls) return true;
  if (changes & (kChangeChildVisibility | kChangeContent)) return true;
  return (flags_ & kRefreshPeriodic) && host_.NowMs() - lastPeriodicMs_ > periodMs_;
}

void CCachingUIVisualComponent::Draw(IUIViewRenderer& renderer) {
  const UIRect r = AbsoluteRect();
  if (r.w <= 0 || r.h <= 0) return;
  if (NeedsRefresh()) {
    const int64_t now = host_.NowMs();
    if ((flags_ & kRefreshPeriodic) && now - lastPeriodicMs_ > periodMs_) lastPeriodicMs_ = now;
    if (!bitmap_ || bitmap_->Width() != r.w || bitmap_->Height() != r.h)
      bitmap_ = std::make_unique<CUIBitmap>(r.w, r.h);
    else
      bitmap_->Clear();
    {
      auto into = renderer.ForBitmap(*bitmap_, r.x, r.y);
      wrapped_->Draw(*into);
    }
    wrapped_->ClearChanges();
    dirty_ = false;
    lastWidth_ = r.w;
    lastHeight_ = r.h;
    lastVisible_ = wrapped_->IsVisible();
    ++renders_;
  }
  renderer.DrawBitmap(*bitmap_, r);
}

}  // namespace VektaUI
