// The toolkit without a window: layout arithmetic, hit testing through the identifier map, pointer
// routing and the caches' redraw decisions, drawn into real cairo bitmaps.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "CommonFiles/UI/UICaching.h"
#include "CommonFiles/UI/UIHost.h"
#include "CommonFiles/UI/UIRenderer.h"

using namespace VektaUI;

namespace {

struct Fixture {
  int64_t now = 1000;
  CUIHost host{nullptr, [this] { return now; }};
  CUIBitmap target{800, 600};
  Fixture() { host.Resize(800, 600); }
  void Draw() { host.Render(target); }
};

std::unique_ptr<CFunctorButton> CountingButton(int& clicks) {
  return std::make_unique<CFunctorButton>(UILabel::Text("b"),
                                          [&clicks](CBaseButton&, UIPoint, uint32_t) { ++clicks; });
}

TEST(UiLayout, AnchoredCornersFollowTheParent) {
  Fixture f;
  auto* box = f.host.Root().Add(std::make_unique<CGroupPanel>());
  // From the right and bottom edges, then a size.
  box->SetAnchored(At(kFromEnd, 300, kFromEnd, 200), At(kSize, 100, kSize, 50));
  EXPECT_EQ(box->AbsoluteRect(), (UIRect{500, 400, 100, 50}));
  // From the centre to 10 px short of the far edges.
  box->SetAnchored(At(kFromCentre, -50, kFromCentre, 20), At(kFromEnd, 10, kFromEnd, 10));
  EXPECT_EQ(box->AbsoluteRect(), (UIRect{350, 320, 440, 270}));
  auto* child = box->Add(std::make_unique<CTextTitle>(UILabel::Text("t")));
  LaySized(*child, kFromStart, 5, kFromStart, 6, 30, 20);
  EXPECT_EQ(child->AbsoluteRect(), (UIRect{355, 326, 30, 20}));
  f.host.Resize(400, 300);
  EXPECT_EQ(box->AbsoluteRect(), (UIRect{150, 170, 240, 120}));
  // A size for the first corner has nothing to start from: no layout.
  box->SetAnchored(At(kSize, 10, kFromStart, 0), At(kSize, 10, kSize, 10));
  EXPECT_EQ(box->Width(), 0);
}

TEST(UiHitTest, TopmostVisibleComponentTakesThePointer) {
  Fixture f;
  int lowClicks = 0, highClicks = 0;
  auto* high = f.host.Root().Add(CountingButton(highClicks), 5);
  auto* low = f.host.Root().Add(CountingButton(lowClicks), 1);  // added later, drawn earlier
  low->SetAbsolute(100, 100, 200, 100);
  high->SetAbsolute(250, 150, 100, 100);
  EXPECT_EQ(f.host.HitTest(120, 120), low);
  EXPECT_EQ(f.host.HitTest(260, 160), high);   // the overlap belongs to the higher z
  EXPECT_EQ(f.host.HitTest(50, 50), nullptr);  // the root itself is transparent to the pointer
  EXPECT_FALSE(f.host.OnPointerMove(50, 50));
  high->SetVisible(false);
  EXPECT_EQ(f.host.HitTest(260, 160), low);
  // A press on one button released over another clicks neither.
  f.host.OnButtonDown(120, 120);
  f.host.OnButtonUp(10, 10);
  EXPECT_EQ(lowClicks, 0);
  EXPECT_TRUE(f.host.OnButtonDown(120, 120));
  EXPECT_TRUE(f.host.OnButtonUp(121, 121));
  EXPECT_EQ(lowClicks, 1);
  EXPECT_EQ(highClicks, 0);
}

TEST(UiControls, MultiSwitchPicksTheOptionUnderThePointer) {
  int calls = 0;
  std::vector<UILabel> nine(9, UILabel::Text("x"));
  CMultiSwitch h(nine, [&](CMultiSwitch&) { ++calls; });
  h.SetAbsolute(0, 0, 270, 30);
  h.Click({95, 10}, 0);
  EXPECT_EQ(h.GetIndex(), 3);
  h.Click({269, 10}, 0);
  EXPECT_EQ(h.GetIndex(), 8);
  EXPECT_EQ(calls, 2);
  CMultiSwitch v({UILabel::Text("a"), UILabel::Text("b"), UILabel::Text("c")}, nullptr, true);
  v.SetAbsolute(0, 0, 50, 100);  // cells of 33 px: 99 is past the last one
  v.Click({10, 70}, 0);
  EXPECT_EQ(v.GetIndex(), 2);
  v.Click({10, 99}, 0);
  EXPECT_EQ(v.GetIndex(), 2);
  v.SetEnabled(false);
  v.Click({10, 5}, 0);
  EXPECT_EQ(v.GetIndex(), 2);
  EXPECT_FALSE(v.SetIndex(3));
}

TEST(UiCaching, AClickRedrawsOnlyItsControl) {
  Fixture f;
  auto panel = std::make_unique<CGroupPanel>();
  std::vector<CCachingUIVisualComponent*> caches;
  std::vector<CSimpleSwitch*> switches;
  for (int i = 0; i < 3; ++i) {
    auto s = std::make_unique<CSimpleSwitch>(nullptr);
    switches.push_back(s.get());
    auto c = std::make_unique<CCachingUIVisualComponent>(
        std::move(s), CCachingUIVisualComponent::kRefreshControls, 0, f.host);
    c->SetAbsolute(10, 10 + i * 40, 70, 30);
    caches.push_back(panel->Add(std::move(c)));
  }
  auto outer = std::make_unique<CCachingUIVisualComponent>(
      std::move(panel), CCachingUIVisualComponent::kRefreshControls, 0, f.host);
  outer->SetAbsolute(100, 100, 200, 200);
  auto* panelCache = f.host.Root().Add(std::move(outer));
  f.Draw();
  auto counts = [&] {
    std::vector<uint64_t> v{panelCache->RenderCount()};
    for (auto* c : caches) v.push_back(c->RenderCount());
    return v;
  };
  EXPECT_EQ(counts(), (std::vector<uint64_t>{1, 1, 1, 1}));
  EXPECT_FALSE(f.host.NeedsRedraw());
  f.now += 5000;  // time alone changes nothing without the periodic flag
  EXPECT_FALSE(f.host.NeedsRedraw());

  f.host.OnPointerMove(150, 170);  // over the second switch: hover
  EXPECT_TRUE(f.host.NeedsRedraw());
  f.Draw();
  EXPECT_EQ(counts(), (std::vector<uint64_t>{2, 1, 2, 1}));
  f.host.OnButtonDown(150, 170);
  f.host.OnButtonUp(150, 170);
  f.Draw();
  EXPECT_TRUE(switches[1]->GetState());
  EXPECT_EQ(counts(), (std::vector<uint64_t>{3, 1, 3, 1}));
  f.Draw();
  EXPECT_EQ(counts(), (std::vector<uint64_t>{3, 1, 3, 1})) << "an unchanged tree is copied, not redrawn";
  // The switch's knob moved to its right half, in the window's bitmap.
  const uint32_t knob = f.target.Pixels()[(100 + 10 + 40 + 15) * f.target.StridePixels() + 100 + 10 + 52];
  EXPECT_EQ(knob & 0xFFFFFF, kSwitchOnColour);
}

TEST(UiCaching, PeriodicCacheRefreshesOnlyAfterItsPeriod) {
  Fixture f;
  int64_t shown = 0;
  struct Counter : CBaseUIVisualComponent {
    int64_t* shown;
    explicit Counter(int64_t* s) : shown(s) {}
    void Draw(IUIViewRenderer&) override { ++*shown; }
  };
  auto* c = f.host.Root().Add(std::make_unique<CCachingUIVisualComponent>(
      std::make_unique<Counter>(&shown), CCachingUIVisualComponent::kRefreshPeriodic, 1000, f.host));
  c->SetAbsolute(0, 0, 50, 50);
  f.Draw();
  f.now += 1000;
  EXPECT_FALSE(f.host.NeedsRedraw());
  f.now += 1;
  EXPECT_TRUE(f.host.NeedsRedraw());
  f.Draw();
  f.Draw();
  EXPECT_EQ(shown, 2);
}

TEST(UiSpinner, StepsByFortyFiveDegreesAfterMoreThanSeventyMs) {
  CSpinner s(nullptr, 0);
  EXPECT_FALSE(s.Advance(70));
  EXPECT_TRUE(s.Advance(71));
  EXPECT_EQ(s.Angle(), 45);
  EXPECT_FALSE(s.Advance(141));  // measured from the last step, not from the start
  for (int64_t t = 142; s.Angle() != 0; t += 71) s.Advance(t);
  EXPECT_TRUE(s.PendingChanges() & kChangeContent);
}

}  // namespace

namespace {

// Rows and columns holding ink (any pixel not transparent) in a rendered bitmap.
struct InkBox {
  int top = -1, bottom = -1, left = -1, right = -1;
  int Height() const { return top < 0 ? 0 : bottom - top + 1; }
};
InkBox InkOf(const VektaUI::CUIBitmap& b) {
  InkBox box;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x)
      if ((b.Pixels()[y * b.StridePixels() + x] >> 24) > 128) {
        if (box.top < 0) box.top = y;
        box.bottom = y;
        box.left = box.left < 0 ? x : std::min(box.left, x);
        box.right = std::max(box.right, x);
      }
  return box;
}

InkBox Drawn(const std::string& text, float size, const char* family, VektaUI::UIRect box, int w, int h) {
  VektaUI::CUIBitmap bitmap(w, h);
  VektaUI::CCairoRenderer r(bitmap, 0, 0, nullptr);
  VektaUI::UIStyle style;
  style.fontSize = size;
  style.fontFamily = family;
  r.DrawText(box, text, style, 0xFFFFFF, VektaUI::TextAlign::kLeft);
  return InkOf(bitmap);
}

}  // namespace

// A style's size is the em height in window pixels: capitals of Arial stand about 0.7 of it.
// Text that wraps beyond its box shrinks until it fits; a single line keeps its size.
TEST(UiText, SizesAreWindowPixelsAndWrappedTextShrinksToItsBox) {
  for (float size : {21.0f, 28.0f, 40.0f}) {
    const InkBox caps = Drawn("HHHH", size, "Arial", {0, 0, 400, 100}, 400, 100);
    EXPECT_GE(caps.Height(), 0.62 * size) << size;
    EXPECT_LE(caps.Height(), 0.78 * size) << size;
  }
  // Courier 34 in a box of 30 (the connecting line): drawn at its size, overflowing the box.
  const InkBox line = Drawn("HHHH", 34, "Courier", {0, 20, 600, 30}, 600, 80);
  EXPECT_GE(line.Height(), 0.55 * 34);
  // Two lines' worth at 21 pixels in a 260 × 30 box: smaller, but its last word is inside the box.
  const InkBox wrapped = Drawn("Вертикальная синхронизация экрана", 21, "Arial", {0, 0, 260, 30}, 300, 60);
  EXPECT_GT(wrapped.Height(), 10);
  EXPECT_LT(wrapped.bottom, 30);
}
