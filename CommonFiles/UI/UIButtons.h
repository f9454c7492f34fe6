#pragma once
// Pointer-driven controls: buttons, the on/off switch and the multi-switch.
#include <functional>
#include <vector>

#include "CommonFiles/UI/UIComponent.h"

namespace VektaUI {

struct ButtonColours {
  uint32_t background;
  double backgroundOpacity;
  uint32_t frame;
  uint32_t text;
};

struct ButtonStyle {
  ButtonColours normal{0x303030, 0.9, 0x808080, 0xFFFFFF};
  ButtonColours hover{0x505050, 0.9, 0xFFFFFF, 0xFFFFFF};
  ButtonColours pressed{0x707070, 0.9, 0xFFFFFF, 0xFFFFFF};
  UIStyle text = DefaultStyle();
};

// Accents shared by the switches: the knob when on, and the chosen option of a multi-switch.
constexpr uint32_t kSwitchOnColour = 0x2E9E5B;
constexpr uint32_t kSwitchOffColour = 0x606060;
constexpr uint32_t kOptionChosenColour = 0x2F6FD0;

class CBaseButton : public IUIVisualComponent {
 public:
  enum State { kNormal = 0, kHover = 1, kPressed = 2 };

  explicit CBaseButton(UILabel label = {}) : label_(std::move(label)) {}
  bool IsVisible() const override { return visible_ && (!predicate_ || predicate_()); }
  void SetVisible(bool visible) { visible_ = visible; }
  void SetVisibilityPredicate(std::function<bool()> p) { predicate_ = std::move(p); }

  // The pointer at `local` (relative to the button) released over it.
  virtual void Click(UIPoint local, uint32_t flags) = 0;
  virtual ButtonStyle& GetButtonStyle() { return style_; }
  virtual void DrawWithState(IUIViewRenderer& renderer, State state);

  void Draw(IUIViewRenderer& renderer) override { DrawWithState(renderer, CurrentState()); }
  CBaseButton* AsButton() override { return this; }
  uint32_t PendingChanges() const override { return changes_; }
  void ClearChanges() override { changes_ = 0; }

  // The host's pointer tracking.
  void SetHover(bool hover);
  void SetPressed(bool pressed);
  bool Hovered() const { return hover_; }
  bool Pressed() const { return pressed_; }
  State CurrentState() const { return pressed_ ? kPressed : hover_ ? kHover : kNormal; }

  void SetLabel(UILabel label);
  const UILabel& Label() const { return label_; }

 protected:
  void MarkChanged(uint32_t bits) { changes_ |= bits; }

 private:
  bool visible_ = true;
  std::function<bool()> predicate_;
  bool pressed_ = false;
  bool hover_ = false;
  uint32_t changes_ = 0;
  ButtonStyle style_;
  UILabel label_;
};

class CFunctorButton : public CBaseButton {
 public:
  using Handler = std::function<void(CBaseButton&, UIPoint, uint32_t)>;
  CFunctorButton(UILabel label, Handler handler)
      : CBaseButton(std::move(label)), handler_(std::move(handler)) {}
  void Click(UIPoint local, uint32_t flags) override {
    if (handler_) handler_(*this, local, flags);
  }

 private:
  Handler handler_;
};

// The "X" button.
class CCloseButton : public CFunctorButton {
 public:
  static constexpr int kCloseStringId = 113;
  explicit CCloseButton(Handler handler) : CFunctorButton(UILabel::Id(kCloseStringId), std::move(handler)) {}
};

class CSimpleSwitch : public CBaseButton {
 public:
  using Handler = std::function<void(CSimpleSwitch&)>;
  explicit CSimpleSwitch(Handler handler) : handler_(std::move(handler)) {}
  bool GetState() const { return on_; }
  // True when the state changed (and the switch is then marked for redraw).
  bool SetState(bool on);
  void Click(UIPoint local, uint32_t flags) override;
  void DrawWithState(IUIViewRenderer& renderer, State state) override;

 private:
  bool on_ = false;
  Handler handler_;
};

class CMultiSwitch : public CBaseButton {
 public:
  using Handler = std::function<void(CMultiSwitch&)>;
  CMultiSwitch(std::vector<UILabel> options, Handler handler, bool vertical = false)
      : options_(std::move(options)), vertical_(vertical), handler_(std::move(handler)) {}
  int Count() const { return static_cast<int>(options_.size()); }
  int GetIndex() const { return index_; }
  // Ignored (false) outside the option count; true when the index changed.
  bool SetIndex(int index);
  void SetEnabled(bool enabled) { enabled_ = enabled; }
  // The option under a point relative to the switch; -1 outside every option.
  int OptionAt(UIPoint local) const;
  void Click(UIPoint local, uint32_t flags) override;
  void DrawWithState(IUIViewRenderer& renderer, State state) override;

 private:
  std::vector<UILabel> options_;
  int index_ = 0;
  bool enabled_ = true;
  bool vertical_ = false;
  Handler handler_;
};

}  // namespace VektaUI
