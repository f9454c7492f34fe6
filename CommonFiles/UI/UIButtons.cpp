#include "CommonFiles/UI/UIButtons.h"

namespace VektaUI {

void CBaseButton::DrawWithState(IUIViewRenderer& renderer, State state) {
  const ButtonColours& c = state == kPressed ? style_.pressed
                           : state == kHover ? style_.hover
                                             : style_.normal;
  const UIRect r = AbsoluteRect();
  renderer.FillRect(r, c.background, c.backgroundOpacity);
  renderer.FrameRect(r, c.frame, 2.0);
  renderer.DrawText(r, renderer.Resolve(label_), style_.text, c.text, TextAlign::kCentre);
}

void CBaseButton::SetHover(bool hover) {
  if (hover == hover_) return;
  hover_ = hover;
  changes_ |= kChangeHover;
}

void CBaseButton::SetPressed(bool pressed) {
  if (pressed == pressed_) return;
  pressed_ = pressed;
  changes_ |= kChangePressed;
}

void CBaseButton::SetLabel(UILabel label) {
  if (label == label_) return;
  label_ = std::move(label);
  changes_ |= kChangeContent;
}

bool CSimpleSwitch::SetState(bool on) {
  if (on == on_) return false;
  on_ = on;
  MarkChanged(kChangeSelection);
  return true;
}

void CSimpleSwitch::Click(UIPoint, uint32_t) {
  SetState(!on_);
  if (handler_) handler_(*this);
}

void CSimpleSwitch::DrawWithState(IUIViewRenderer& renderer, State state) {
  const UIRect r = AbsoluteRect();
  renderer.FillRect(r, 0x202020, 0.9);
  renderer.FrameRect(r, state == kNormal ? 0x808080 : 0xFFFFFF, 2.0);
  const int half = r.w / 2;
  const UIRect knob{on_ ? r.x + half + 4 : r.x + 4, r.y + 4, half - 8, r.h - 8};
  renderer.FillRect(knob, on_ ? kSwitchOnColour : kSwitchOffColour, 1.0);
}

bool CMultiSwitch::SetIndex(int index) {
  if (index < 0 || index >= Count() || index == index_) return false;
  index_ = index;
  MarkChanged(kChangeSelection);
  return true;
}

int CMultiSwitch::OptionAt(UIPoint local) const {
  if (Count() == 0) return -1;
  const int cell = (vertical_ ? Height() : Width()) / Count();
  const int along = vertical_ ? local.y : local.x;
  if (cell <= 0 || along < 0) return -1;
  const int index = along / cell;
  return index < Count() ? index : -1;
}

void CMultiSwitch::Click(UIPoint local, uint32_t) {
  if (!enabled_) return;
  const int index = OptionAt(local);
  if (index >= 0) SetIndex(index);
  if (handler_) handler_(*this);
}

void CMultiSwitch::DrawWithState(IUIViewRenderer& renderer, State state) {
  const UIRect r = AbsoluteRect();
  renderer.FillRect(r, 0x202020, 0.9);
  const ButtonStyle& style = GetButtonStyle();
  const int n = Count();
  for (int i = 0; i < n; ++i) {
    UIRect cell = vertical_ ? UIRect{r.x, r.y + i * (r.h / n), r.w, r.h / n}
                            : UIRect{r.x + i * (r.w / n), r.y, r.w / n, r.h};
    if (i == index_)
      renderer.FillRect({cell.x + 2, cell.y + 2, cell.w - 4, cell.h - 4}, kOptionChosenColour, 1.0);
    renderer.DrawText(cell, renderer.Resolve(options_[i]), style.text, enabled_ ? 0xFFFFFF : 0x909090,
                      TextAlign::kCentre);
  }
  renderer.FrameRect(r, state == kNormal ? 0x808080 : 0xFFFFFF, 2.0);
}

}  // namespace VektaUI
