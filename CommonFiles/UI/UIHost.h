#pragma once
// Owns a component tree for one window: its size, the hit map, pointer routing (hover, press,
// click) and drawing the tree into a window-sized bitmap when something changed.
#include <functional>

#include "CommonFiles/UI/UIButtons.h"
#include "CommonFiles/UI/UIComponent.h"

namespace VektaUI {

class IInputTracker {
 public:
  virtual ~IInputTracker() = default;
  // Each returns true when the pointer is over one of the tree's components (the event is the
  // overlay's, not the game's).
  virtual bool OnPointerMove(int x, int y) = 0;
  virtual bool OnButtonDown(int x, int y) = 0;
  virtual bool OnButtonUp(int x, int y) = 0;
};

class CUIHost : public IInputTracker {
 public:
  CUIHost(const IUIStringTable* strings, std::function<int64_t()> clockMs);

  CRootPaneContainer& Root() { return root_; }
  void Resize(int width, int height);
  int Width() const { return pane_.Width(); }
  int Height() const { return pane_.Height(); }
  int64_t NowMs() const { return clockMs_(); }
  const IUIStringTable* Strings() const { return strings_; }

  bool OnPointerMove(int x, int y) override;
  bool OnButtonDown(int x, int y) override;
  bool OnButtonUp(int x, int y) override;
  bool PointerOverComponent() const { return pointerOver_; }
  // The topmost visible component at a window point, or null.
  IUIVisualComponent* HitTest(int x, int y);

  // True when the tree looks different from its last Render.
  bool NeedsRedraw() const;
  // Draws the tree into `target` (the window's size) from scratch; caches refresh as needed.
  void Render(CUIBitmap& target);

 private:
  void UpdateHover(IUIVisualComponent* under);

  const IUIStringTable* strings_;
  std::function<int64_t()> clockMs_;
  CHWndClientRectePane pane_;
  CRootPaneContainer root_;
  CHitMap map_;
  uint64_t paintedFingerprint_ = 0;
  bool mapValid_ = false;
  bool sizeChanged_ = true;
  bool pointerOver_ = false;
  CBaseButton* hover_ = nullptr;    // not owned; the tree lives as long as the host
  CBaseButton* pressed_ = nullptr;  // the button the current press started on
};

}  // namespace VektaUI
