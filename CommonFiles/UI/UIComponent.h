#pragma once
// The component tree of the overlay toolkit: geometry, anchored layout, visibility, drawing,
// hit masks and the change bits that tell caches when to re-render.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "CommonFiles/UI/UIRenderer.h"
#include "CommonFiles/UI/UITypes.h"

namespace VektaUI {

class CBaseButton;

class IUIComponent {
 public:
  virtual ~IUIComponent() = default;
  virtual IUIComponent* GetParent() const { return parent_; }
  virtual void SetParent(IUIComponent* parent) { parent_ = parent; }
  virtual UIPoint Position() const = 0;
  virtual UIPoint AbsolutePosition() const;
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  virtual UIPoint BottomRight() const;
  virtual UIPoint AbsoluteBottomRight() const;
  virtual UIRect Rect() const;
  virtual UIRect AbsoluteRect() const;
  // The client rectangle of the window at the root of the tree.
  virtual UIRect ClientRect() const;

 private:
  IUIComponent* parent_ = nullptr;  // not owned
};

// The root geometry: a window's client rectangle at (0, 0).
class CHWndClientRectePane : public IUIComponent {
 public:
  void SetSize(int width, int height) {
    width_ = width;
    height_ = height;
  }
  UIPoint Position() const override { return {0, 0}; }
  int Width() const override { return width_; }
  int Height() const override { return height_; }
  UIRect ClientRect() const override { return {0, 0, width_, height_}; }

 private:
  int width_ = 0;
  int height_ = 0;
};

class IUIVisualComponent : public IUIComponent {
 public:
  virtual bool IsVisible() const = 0;
  virtual void Draw(IUIViewRenderer& renderer) = 0;
  // Fills the absolute rectangle with the identifier; containers add their children.
  virtual void DrawHitMask(CHitMap& map);
  virtual void SetIdentifier(uint32_t id) { id_ = id; }
  virtual uint32_t GetIdentifier() const { return id_; }
  virtual void SetAnchored(const CornerSpec& first, const CornerSpec& second);
  virtual void SetAbsolute(int x, int y, int width, int height);
  virtual CornerSpec FirstCorner() const { return first_; }
  virtual CornerSpec SecondCorner() const { return second_; }
  virtual bool IsAbsolute() const { return mode_ == 0; }

  // Change bits (ChangeBits) gathered since the last ClearChanges; containers add their
  // children's.
  virtual uint32_t PendingChanges() const { return 0; }
  // Called once the component's current look was drawn into its cache.
  virtual void ClearChanges() {}
  virtual CBaseButton* AsButton() { return nullptr; }

  UIPoint Position() const override;
  int Width() const override;
  int Height() const override;

 private:
  // Both corners on one axis; false when the anchors are invalid (no layout).
  bool Corners(int& x0, int& y0, int& x1, int& y1) const;

  uint32_t id_ = 0;
  int mode_ = 0;  // 0 absolute, 1 anchored
  int x_ = 0;
  int y_ = 0;
  int width_ = 0;
  int height_ = 0;
  CornerSpec first_;
  CornerSpec second_;
};

// Anchored-layout shorthands.
CornerSpec At(int32_t hKind, int32_t hOffset, int32_t vKind, int32_t vOffset);
// A w x h box centred in the parent, moved by (dx, dy).
void LayCentred(IUIVisualComponent& c, int w, int h, int dx = 0, int dy = 0);
// A w x h box whose top-left corner is at the given kinds and offsets.
void LaySized(IUIVisualComponent& c, int32_t hKind, int32_t x, int32_t vKind, int32_t y, int w, int h);
// Fills the parent.
void LayFill(IUIVisualComponent& c);

class CBaseUIVisualComponent : public IUIVisualComponent {
 public:
  explicit CBaseUIVisualComponent(const UIStyle& style = DefaultStyle()) : style_(style) {}
  bool IsVisible() const override { return predicateEnabled_ ? predicate_() : true; }
  void SetVisibilityPredicate(std::function<bool()> predicate) {
    predicate_ = std::move(predicate);
    predicateEnabled_ = static_cast<bool>(predicate_);
  }
  virtual const UIStyle& GetStyle() const { return style_; }
  UIStyle& MutableStyle() { return style_; }

 private:
  UIStyle style_;
  std::function<bool()> predicate_;
  bool predicateEnabled_ = false;
};

class CComponentContainer : public CBaseUIVisualComponent {
 public:
  using CBaseUIVisualComponent::CBaseUIVisualComponent;
  ~CComponentContainer() override;

  // The child's parent becomes this container; children draw in ascending z, equal z in
  // insertion order. Returns the child's index.
  virtual int AddChild(IUIVisualComponent* child, int32_t z, bool owned);
  virtual void RemoveChild(IUIVisualComponent* child);
  virtual void RemoveChildAt(int index);
  virtual int ChildCount() const { return static_cast<int>(children_.size()); }
  virtual IUIVisualComponent* ChildAt(int index) const { return children_[index].component; }
  virtual void DrawBackground(IUIViewRenderer& renderer);

  // Adds an owned child and returns it typed.
  template <class T>
  T* Add(std::unique_ptr<T> child, int32_t z = 0) {
    T* raw = child.release();
    AddChild(raw, z, true);
    return raw;
  }

  void Draw(IUIViewRenderer& renderer) override;
  void DrawHitMask(CHitMap& map) override;
  uint32_t PendingChanges() const override;
  void ClearChanges() override;

 protected:
  // Draws without hit-mask fill of the container itself (the transparent root).
  void DrawChildrenHitMask(CHitMap& map);

 private:
  struct Entry {
    IUIVisualComponent* component;
    int32_t z;
    bool owned;
    bool lastVisible;  // as last drawn into a cache
  };
  std::vector<Entry> children_;  // sorted by z, stable
};

// The top of a tree: transparent, and no target of the pointer itself.
class CRootPaneContainer : public CComponentContainer {
 public:
  CRootPaneContainer() { LayFill(*this); }
  void DrawHitMask(CHitMap& map) override { DrawChildrenHitMask(map); }
};

// A container with a background of its style's colour and opacity.
class CGroupPanel : public CComponentContainer {
 public:
  using CComponentContainer::CComponentContainer;
  void DrawBackground(IUIViewRenderer& renderer) override;
};

// A panel of the overlay: background plus a thin frame.
class CScreenOverlayPanel : public CGroupPanel {
 public:
  using CGroupPanel::CGroupPanel;
  void DrawBackground(IUIViewRenderer& renderer) override;
};

class CTextTitle : public CBaseUIVisualComponent {
 public:
  CTextTitle(UILabel label, const UIStyle& style = DefaultStyle(), TextAlign align = TextAlign::kLeft)
      : CBaseUIVisualComponent(style), label_(std::move(label)), align_(align) {}
  void SetLabel(UILabel label);
  const UILabel& Label() const { return label_; }
  void Draw(IUIViewRenderer& renderer) override;
  uint32_t PendingChanges() const override { return changed_ ? uint32_t{kChangeContent} : 0u; }
  void ClearChanges() override { changed_ = false; }

 private:
  UILabel label_;
  TextAlign align_;
  bool changed_ = false;
};

// A bitmap scaled into the component's rectangle, optionally turned.
class CImage : public CBaseUIVisualComponent {
 public:
  explicit CImage(const CUIBitmap* bitmap) : bitmap_(bitmap) {}
  void Draw(IUIViewRenderer& renderer) override;
  uint32_t PendingChanges() const override { return changed_ ? uint32_t{kChangeContent} : 0u; }
  void ClearChanges() override { changed_ = false; }

 protected:
  const CUIBitmap* bitmap_;  // owned by the application's image set
  double angle_ = 0;
  bool changed_ = false;
};

// The rotating wait indicator: 45 degrees further whenever more than 70 ms have passed since the
// last step, wrapping at 360.
class CSpinner : public CImage {
 public:
  static constexpr int kStepDegrees = 45;
  static constexpr int64_t kStepMs = 70;

  CSpinner(const CUIBitmap* bitmap, int64_t nowMs) : CImage(bitmap), lastStepMs_(nowMs) {}
  // Advances the angle when due; true when it moved.
  bool Advance(int64_t nowMs);
  int Angle() const { return static_cast<int>(angle_); }

 private:
  int64_t lastStepMs_;
};

}  // namespace VektaUI
