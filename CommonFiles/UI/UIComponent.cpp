#include "CommonFiles/UI/UIComponent.h"

#include <algorithm>

namespace VektaUI {

UIPoint IUIComponent::AbsolutePosition() const {
  const UIPoint own = Position();
  if (!GetParent()) return own;
  const UIPoint base = GetParent()->AbsolutePosition();
  return {base.x + own.x, base.y + own.y};
}

UIPoint IUIComponent::BottomRight() const {
  const UIPoint p = Position();
  return {p.x + Width(), p.y + Height()};
}

UIPoint IUIComponent::AbsoluteBottomRight() const {
  const UIPoint p = AbsolutePosition();
  return {p.x + Width(), p.y + Height()};
}

UIRect IUIComponent::Rect() const {
  const UIPoint p = Position();
  return {p.x, p.y, Width(), Height()};
}

UIRect IUIComponent::AbsoluteRect() const {
  const UIPoint p = AbsolutePosition();
  return {p.x, p.y, Width(), Height()};
}

UIRect IUIComponent::ClientRect() const {
  return GetParent() ? GetParent()->ClientRect() : UIRect{};
}

void IUIVisualComponent::DrawHitMask(CHitMap& map) {
  if (IsVisible()) map.Fill(*this, AbsoluteRect());
}

void IUIVisualComponent::SetAnchored(const CornerSpec& first, const CornerSpec& second) {
  mode_ = 1;
  first_ = first;
  second_ = second;
}

void IUIVisualComponent::SetAbsolute(int x, int y, int width, int height) {
  mode_ = 0;
  x_ = x;
  y_ = y;
  width_ = width;
  height_ = height;
}

bool IUIVisualComponent::Corners(int& x0, int& y0, int& x1, int& y1) const {
  const int W = GetParent() ? GetParent()->Width() : 0;
  const int H = GetParent() ? GetParent()->Height() : 0;
  // `start` is the first corner's coordinate, or null for the first corner, which cannot be a size.
  auto coordinate = [](int32_t kind, int32_t offset, int size, const int* start, int& out) {
    switch (kind) {
      case kFromStart:
        out = offset;
        return true;
      case kFromEnd:
        out = size - offset;
        return true;
      case kFromCentre:
        out = size / 2 + offset;
        return true;
      case kSize:
        if (!start) return false;
        out = *start + offset;
        return true;
      default:
        return false;
    }
  };
  return coordinate(first_.hKind, first_.hOffset, W, nullptr, x0) &&
         coordinate(first_.vKind, first_.vOffset, H, nullptr, y0) &&
         coordinate(second_.hKind, second_.hOffset, W, &x0, x1) &&
         coordinate(second_.vKind, second_.vOffset, H, &y0, y1);
}

UIPoint IUIVisualComponent::Position() const {
  if (mode_ == 0) return {x_, y_};
  int x0, y0, x1, y1;
  if (!Corners(x0, y0, x1, y1)) return {0, 0};
  return {x0, y0};
}

int IUIVisualComponent::Width() const {
  if (mode_ == 0) return width_;
  int x0, y0, x1, y1;
  return Corners(x0, y0, x1, y1) ? x1 - x0 : 0;
}

int IUIVisualComponent::Height() const {
  if (mode_ == 0) return height_;
  int x0, y0, x1, y1;
  return Corners(x0, y0, x1, y1) ? y1 - y0 : 0;
}

CornerSpec At(int32_t hKind, int32_t hOffset, int32_t vKind, int32_t vOffset) {
  return CornerSpec{hKind, vKind, hOffset, vOffset};
}

void LayCentred(IUIVisualComponent& c, int w, int h, int dx, int dy) {
  c.SetAnchored(At(kFromCentre, dx - w / 2, kFromCentre, dy - h / 2), At(kSize, w, kSize, h));
}

void LaySized(IUIVisualComponent& c, int32_t hKind, int32_t x, int32_t vKind, int32_t y, int w, int h) {
  c.SetAnchored(At(hKind, x, vKind, y), At(kSize, w, kSize, h));
}

void LayFill(IUIVisualComponent& c) {
  c.SetAnchored(At(kFromStart, 0, kFromStart, 0), At(kFromEnd, 0, kFromEnd, 0));
}

CComponentContainer::~CComponentContainer() {
  for (auto& e : children_)
    if (e.owned) delete e.component;
}

int CComponentContainer::AddChild(IUIVisualComponent* child, int32_t z, bool owned) {
  child->SetParent(this);
  auto at = std::upper_bound(children_.begin(), children_.end(), z,
                             [](int32_t value, const Entry& e) { return value < e.z; });
  at = children_.insert(at, Entry{child, z, owned, false});
  return static_cast<int>(at - children_.begin());
}

void CComponentContainer::RemoveChild(IUIVisualComponent* child) {
  for (int i = 0; i < ChildCount(); ++i)
    if (children_[i].component == child) return RemoveChildAt(i);
}

void CComponentContainer::RemoveChildAt(int index) {
  if (index < 0 || index >= ChildCount()) return;
  Entry e = children_[index];
  children_.erase(children_.begin() + index);
  if (e.owned) delete e.component;
}

void CComponentContainer::DrawBackground(IUIViewRenderer&) {}

void CComponentContainer::Draw(IUIViewRenderer& renderer) {
  DrawBackground(renderer);
  for (auto& e : children_)
    if (e.component->IsVisible()) e.component->Draw(renderer);
}

void CComponentContainer::DrawHitMask(CHitMap& map) {
  if (!IsVisible()) return;
  map.Fill(*this, AbsoluteRect());
  DrawChildrenHitMask(map);
}

void CComponentContainer::DrawChildrenHitMask(CHitMap& map) {
  for (auto& e : children_) e.component->DrawHitMask(map);
}

uint32_t CComponentContainer::PendingChanges() const {
  uint32_t bits = 0;
  for (const auto& e : children_) {
    const bool visible = e.component->IsVisible();
    if (visible != e.lastVisible) bits |= kChangeChildVisibility;
    if (visible) bits |= e.component->PendingChanges();
  }
  return bits;
}

void CComponentContainer::ClearChanges() {
  for (auto& e : children_) {
    e.lastVisible = e.component->IsVisible();
    if (e.lastVisible) e.component->ClearChanges();
  }
}

void CGroupPanel::DrawBackground(IUIViewRenderer& renderer) {
  const UIStyle& s = GetStyle();
  renderer.FillRect(AbsoluteRect(), s.background, s.opacity / 255.0);
}

void CScreenOverlayPanel::DrawBackground(IUIViewRenderer& renderer) {
  CGroupPanel::DrawBackground(renderer);
  renderer.FrameRect(AbsoluteRect(), 0x808080, 1.0);
}

void CTextTitle::SetLabel(UILabel label) {
  if (label == label_) return;
  label_ = std::move(label);
  changed_ = true;
}

void CTextTitle::Draw(IUIViewRenderer& renderer) {
  const UIStyle& s = GetStyle();
  renderer.DrawText(AbsoluteRect(), renderer.Resolve(label_), s, s.text, align_);
}

void CImage::Draw(IUIViewRenderer& renderer) {
  if (bitmap_) renderer.DrawBitmap(*bitmap_, AbsoluteRect(), angle_);
}

bool CSpinner::Advance(int64_t nowMs) {
  if (nowMs - lastStepMs_ <= kStepMs) return false;
  lastStepMs_ = nowMs;
  angle_ = static_cast<double>((static_cast<int>(angle_) + kStepDegrees) % 360);
  changed_ = true;
  return true;
}

}  // namespace VektaUI
