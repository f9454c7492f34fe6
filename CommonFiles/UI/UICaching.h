#pragma once
// A component drawn from a bitmap of itself, re-rendered only when something it depends on
// changed, so an unchanged overlay costs a copy instead of a redraw.
#include <memory>

#include "CommonFiles/UI/UIComponent.h"

namespace VektaUI {

class CUIHost;

class CCachingUIVisualComponent : public CBaseUIVisualComponent {
 public:
  enum RefreshFlags : uint32_t {
    kRefreshPeriodic = 1,
    kRefreshSize = 2,
    kRefreshHover = kChangeHover,
    kRefreshPressed = kChangePressed,
    kRefreshSelection = kChangeSelection,
    kRefreshControls = kChangeHover | kChangePressed | kChangeSelection,  // 28
  };

  // The wrapped component fills this one; lay this one out.
  CCachingUIVisualComponent(std::unique_ptr<IUIVisualComponent> wrapped, uint32_t flags, int periodMs,
                            const CUIHost& host);

  virtual bool NeedsRefresh() const;
  void MarkDirty() { dirty_ = true; }
  IUIVisualComponent& Wrapped() { return *wrapped_; }
  // Renders so far: lets a caller see that an unchanged component was not redrawn.
  uint64_t RenderCount() const { return renders_; }

  bool IsVisible() const override { return wrapped_->IsVisible(); }
  void Draw(IUIViewRenderer& renderer) override;
  void DrawHitMask(CHitMap& map) override { wrapped_->DrawHitMask(map); }
  uint32_t PendingChanges() const override { return NeedsRefresh() ? uint32_t{kChangeContent} : 0u; }

 private:
  std::unique_ptr<IUIVisualComponent> wrapped_;
  std::unique_ptr<CUIBitmap> bitmap_;
  bool dirty_ = true;
  uint32_t flags_;
  int periodMs_;
  const CUIHost& host_;
  int64_t lastPeriodicMs_ = 0;
  int lastWidth_ = -1;
  int lastHeight_ = -1;
  bool lastVisible_ = false;
  uint64_t renders_ = 0;
};

}  // namespace VektaUI
