#include "zep/overlay/ScreenOverlay.h"

#include <algorithm>
#include <cmath>

#include "sov/base/Log.h"
#include "sov/settings/RunTimeSettings.h"
#include "zep/overlay/ConfirmEvent.h"
#include "zep/overlay/OverlayImages.h"
#include "zep/stats/StatsTable.h"

namespace overlay {

using namespace VektaUI;

namespace {

constexpr int kFullscreenHintMs = 10000;
constexpr int kIncomingPollMs = 100;

// z order of the panes: the leave question above everything, the settings above the rest.
// An incoming request must be answerable while the settings are open.
enum : int32_t { kZStatistics = 1, kZSession = 2, kZSettings = 5, kZIncoming = 6, kZLeave = 9 };

// Texts take the toolkit's two default sizes (21 and 28 pixels); the nine cells of Server FPS
// take a smaller one.
constexpr float kSmallControlFont = 14;

UIStyle PanelStyle() {
  UIStyle s;
  s.background = 0x181818;
  s.opacity = 224;
  return s;
}

UIStyle TextStyle(float size, uint32_t colour = 0xFFFFFF, const char* family = "Arial") {
  UIStyle s;
  s.fontSize = size;
  s.text = colour;
  s.fontFamily = family;
  return s;
}

template <class T>
std::unique_ptr<CCachingUIVisualComponent> Cached(
    std::unique_ptr<T> c, const CUIHost& host, T** out,
    uint32_t flags = CCachingUIVisualComponent::kRefreshControls, int periodMs = 0) {
  *out = c.get();
  return std::make_unique<CCachingUIVisualComponent>(std::move(c), flags, periodMs, host);
}

std::unique_ptr<CFunctorButton> Button(int stringId, CFunctorButton::Handler h) {
  return std::make_unique<CFunctorButton>(UILabel::Id(stringId), std::move(h));
}

// The fullscreen hint: the left half switches fullscreen, the right half the settings.
class CFullscreenPane : public CBaseButton {
 public:
  CFullscreenPane(std::function<void()> left, std::function<void()> right)
      : left_(std::move(left)), right_(std::move(right)) {}
  void Click(UIPoint local, uint32_t) override { (local.x < Width() / 2 ? left_ : right_)(); }
  void DrawWithState(IUIViewRenderer& r, State state) override {
    const UIRect a = AbsoluteRect();
    r.FillRect(a, 0x181818, 0.88);
    r.FrameRect(a, state == kNormal ? 0x808080 : 0xFFFFFF, 1.0);
    const int half = a.w / 2;
    const char* keys[] = {"Alt+Enter", "Ctrl+Alt+D"};
    for (int i = 0; i < 2; ++i) {
      const UIRect h{a.x + i * half, a.y, half, a.h};
      r.DrawText({h.x, h.y + 16, h.w, 30}, r.Resolve(UILabel::Id(i == 0 ? kStrFullscreen : kStrSettings)),
                 TextStyle(17), 0xFFFFFF, TextAlign::kCentre);
      r.DrawText({h.x, h.y + 56, h.w, 26}, keys[i], TextStyle(14, 0xB0B0B0), 0xB0B0B0, TextAlign::kCentre);
    }
  }

 private:
  std::function<void()> left_, right_;
};

// The statistics table: label and value of every cell, grouped, read from the table when drawn.
// Its rows, columns and texts follow the overlay's statistics scale, so a small window gets the
// whole table smaller rather than its last rows cut off.
class CStatisticsView : public CBaseUIVisualComponent {
 public:
  static constexpr int kRowHeight = 22;
  static constexpr float kFontSize = 15;
  CStatisticsView(const StatsTable* table, const double* scale)
      : CBaseUIVisualComponent(PanelStyle()), table_(table), scale_(scale) {}
  void Draw(IUIViewRenderer& r) override {
    const UIRect a = AbsoluteRect();
    r.FillRect(a, GetStyle().background, GetStyle().opacity / 255.0);
    r.FrameRect(a, 0x808080, 1.0);
    if (!table_) return;
    const double scale = *scale_;
    auto at = [scale](int v) { return static_cast<int>(std::lround(v * scale)); };
    const int rowHeight = at(kRowHeight);
    const float font = static_cast<float>(kFontSize * scale);
    int slot = 0;  // rows drawn so far, group headings included
    auto top = [&] { return a.y + at(8 + slot * kRowHeight); };
    std::string group = "\x01";
    for (int i = 0; i < table_->Size() && top() + rowHeight <= a.Bottom(); ++i) {
      const StatRow row = table_->Row(i);
      if (row.group != group && !row.group.empty()) {
        r.DrawText({a.x + at(10), top(), a.w - at(20), rowHeight}, row.group, TextStyle(font, 0x8FB8FF),
                   0x8FB8FF, TextAlign::kLeft);
        ++slot;
      }
      group = row.group;
      r.DrawText({a.x + at(20), top(), at(330), rowHeight}, row.label, TextStyle(font), 0xFFFFFF,
                 TextAlign::kLeft);
      r.DrawText({a.x + at(350), top(), a.w - at(360), rowHeight}, table_->Format(i), TextStyle(font),
                 0xFFFFFF, TextAlign::kRight);
      ++slot;
    }
  }

 private:
  const StatsTable* table_;
  const double* scale_;  // the overlay's statistics scale, read under the overlay lock
};

// One settings row: the field it shows, its title and hint, its option labels (none for a switch).
struct SettingRow {
  std::atomic<uint32_t> CRunTimeSettings::*field;
  int title;
  int hint;
  std::vector<int> options;
  bool saved;
  int width;
};

const SettingRow kRows[ScreenOverlay::kSettingsRows] = {
    {&CRunTimeSettings::vSyncIndex, 134, 188, {}, true, 70},
    {&CRunTimeSettings::postProcessingIndex, 135, 189, {}, true, 70},
    {&CRunTimeSettings::audioBufferSizeIndex, 136, 190, {114, 115, 116}, true, 240},
    {&CRunTimeSettings::networkUsageIndex, 137, 191, {145, 146, 147, 125}, true, 240},
    {&CRunTimeSettings::networkBandwidthIndex, 138, 192, {151, 152, 153, 154, 155}, true, 240},
    {&CRunTimeSettings::codecIndex, 139, 193, {160, 161, 162}, true, 240},
    {&CRunTimeSettings::networkTransportIndex, 148, 194, {204, 205}, false, 240},
    {&CRunTimeSettings::videoResolutionIndex, 156, 195, {126, 127}, true, 240},
    {&CRunTimeSettings::serverFpsIndex, 157, 196, {144, 128, 149, 129, 150, 130, 131, 132, 133}, true, 270},
    {&CRunTimeSettings::preserveAspectRatioIndex, 158, 197, {}, true, 70},
    {&CRunTimeSettings::allowGamepadIndex, 159, 198, {}, true, 70},
    {&CRunTimeSettings::enableMicIndex, 166, 199, {}, true, 70},
    {&CRunTimeSettings::streamingEnabled, 206, 203, {}, false, 70},
};

}  // namespace

ScreenOverlay::ScreenOverlay(OverlayLinks links, StatsTable* table, CRunTimeSettings& settings,
                             Language language, std::function<int64_t()> clockMs)
    : links_(std::move(links)),
      table_(table),
      settings_(settings),
      strings_(language),
      clockMs_(std::move(clockMs)),
      host_(&strings_, clockMs_) {
  for (int i = 0; i < kEmbeddedImageCount; ++i)
    images_[kEmbeddedImages[i].id] = CUIBitmap::FromPng(kEmbeddedImages[i].data, kEmbeddedImages[i].size);
  createdMs_ = clockMs_();
  LOGI << "Overlay language: " << (language == Language::kRussian ? "Russian" : "English");
  BuildConnecting();
  BuildSlowConnection();
  BuildFullscreen();
  BuildConfirmSession();
  BuildIncoming();
  BuildLeave();
  BuildSettings();
  BuildStatistics();
  // The build time and a marker that the overlay exists, for whoever reads the settings.
  CRunTimeSettings::Set(settings_.overlayBuildTime, static_cast<uint32_t>(createdMs_));
  CRunTimeSettings::Set(settings_.overlayBuildValue, 1);
}

ScreenOverlay::~ScreenOverlay() = default;

const CUIBitmap* ScreenOverlay::Image(int id) const {
  auto it = images_.find(id);
  return it == images_.end() ? nullptr : it->second.get();
}

void ScreenOverlay::BuildConnecting() {
  // The text line is wider than the pane (640 against 548), so the cached box takes the text's width.
  auto box = std::make_unique<CComponentContainer>();
  box->SetVisibilityPredicate([this] { return connectingVisible_; });
  auto pane = std::make_unique<CGroupPanel>();
  pane->MutableStyle().opacity = 0;
  LaySized(*pane, kFromCentre, -274, kFromStart, 0, 548, 110);
  auto logo = std::make_unique<CImage>(Image(kImageLogo));
  LaySized(*logo, kFromCentre, -120, kFromStart, 0, 240, 30);
  pane->Add(std::move(logo));
  auto spinner = std::make_unique<CSpinner>(Image(kImageSpinner), createdMs_);
  LaySized(*spinner, kFromCentre, -15, kFromStart, 40, 30, 30);
  parts_.spinner = pane->Add(std::move(spinner));
  box->Add(std::move(pane));
  auto text = std::make_unique<CTextTitle>(UILabel::Text(links_.connectingText),
                                           TextStyle(34, 0xFFFFFF, "Courier"), TextAlign::kCentre);
  LaySized(*text, kFromCentre, -320, kFromStart, 75, 640, 30);
  box->Add(std::move(text));
  CComponentContainer* raw = nullptr;
  auto cached = Cached(std::move(box), host_, &raw);
  LayCentred(*cached, 640, 110, 0, -80);
  parts_.connecting = host_.Root().Add(std::move(cached), kZSession);
}

void ScreenOverlay::BuildSlowConnection() {
  auto panel = std::make_unique<CScreenOverlayPanel>(PanelStyle());
  panel->SetVisibilityPredicate([this] { return slowMs_.has_value(); });
  auto text = std::make_unique<CTextTitle>(UILabel{}, TextStyle(DefaultStyle().fontSize, 0xFFD060, "Courier"),
                                           TextAlign::kCentre);
  LayFill(*text);
  parts_.slowText = panel->Add(std::move(text));
  CScreenOverlayPanel* raw = nullptr;
  auto cached = Cached(std::move(panel), host_, &raw);
  LaySized(*cached, kFromCentre, -360, kFromStart, 20, 720, 40);
  parts_.slowConnection = host_.Root().Add(std::move(cached), kZSession);
}

void ScreenOverlay::BuildFullscreen() {
  auto pane = std::make_unique<CFullscreenPane>(
      [this] {
        if (links_.toggleFullscreen) links_.toggleFullscreen();
      },
      [this] { ToggleSettings(); });
  pane->SetVisibilityPredicate([this] { return clockMs_() < fullscreenHintUntilMs_; });
  CFullscreenPane* raw = nullptr;
  auto cached = Cached(std::move(pane), host_, &raw);
  parts_.fullscreen = raw;
  LaySized(*cached, kFromEnd, 256, kFromStart, 20, 236, 98);
  host_.Root().Add(std::move(cached), kZSession);
}

void ScreenOverlay::BuildConfirmSession() {
  auto panel = std::make_unique<CScreenOverlayPanel>(PanelStyle());
  panel->SetVisibilityPredicate([this] { return confirmVisible_; });
  auto title = std::make_unique<CTextTitle>(UILabel::Text(links_.stationText),
                                            TextStyle(DefaultStyle().fontSize), TextAlign::kCentre);
  LaySized(*title, kFromStart, 10, kFromStart, 10, 400, 50);
  panel->Add(std::move(title));
  auto play = Button(kStrPlayHere, [this](CBaseButton&, UIPoint, uint32_t) { ConfirmStation(); });
  LaySized(*play, kFromStart, 60, kFromStart, 80, 130, 70);
  parts_.playHere = panel->Add(std::move(play), 1);
  auto next =
      Button(links_.canTryNext ? kStrTryNext : kStrStopTrying, [this](CBaseButton&, UIPoint, uint32_t) {
        leaveOutcome_ = links_.canTryNext ? 1 : 0;
        confirmVisible_ = false;
        RequestClose();
      });
  LaySized(*next, kFromStart, 230, kFromStart, 80, 130, 70);
  parts_.tryNext = panel->Add(std::move(next), 1);
  CScreenOverlayPanel* raw = nullptr;
  auto cached = Cached(std::move(panel), host_, &raw);
  LaySized(*cached, kFromCentre, -210, kFromEnd, 210, 420, 170);
  parts_.confirmSession = host_.Root().Add(std::move(cached), kZSession);
}

void ScreenOverlay::BuildIncoming() {
  auto panel = std::make_unique<CScreenOverlayPanel>(PanelStyle());
  panel->SetVisibilityPredicate([this] { return !incoming_.empty(); });
  auto question = std::make_unique<CTextTitle>(UILabel::Id(kStrAllowIncoming),
                                               TextStyle(DefaultStyle().fontSize), TextAlign::kCentre);
  LaySized(*question, kFromStart, 10, kFromStart, 10, 340, 40);
  panel->Add(std::move(question));
  auto answer = [this](bool accept) {
    return [this, accept](CBaseButton&, UIPoint, uint32_t) {
      if (incoming_.empty()) return;
      if (links_.decideIncoming) links_.decideIncoming(incoming_.front(), accept);
      incoming_.erase(incoming_.begin());
    };
  };
  auto yes = Button(kStrYes, answer(true));
  LaySized(*yes, kFromStart, 60, kFromStart, 60, 100, 50);
  parts_.incomingYes = panel->Add(std::move(yes), 1);
  auto no = Button(kStrNo, answer(false));
  LaySized(*no, kFromStart, 200, kFromStart, 60, 100, 50);
  parts_.incomingNo = panel->Add(std::move(no), 1);
  CScreenOverlayPanel* raw = nullptr;
  auto cached = Cached(std::move(panel), host_, &raw);
  LaySized(*cached, kFromEnd, 380, kFromEnd, 150, 360, 130);
  parts_.incoming = host_.Root().Add(std::move(cached), kZIncoming);
}

void ScreenOverlay::BuildLeave() {
  auto panel = std::make_unique<CScreenOverlayPanel>(PanelStyle());
  panel->SetVisibilityPredicate([this] { return leaveVisible_; });
  auto question = std::make_unique<CTextTitle>(UILabel::Id(kStrLeaveFeedback),
                                               TextStyle(DefaultLargeStyle().fontSize), TextAlign::kCentre);
  LaySized(*question, kFromStart, 20, kFromStart, 20, 310, 50);
  panel->Add(std::move(question));
  auto yes = Button(kStrYes, [this](CBaseButton&, UIPoint, uint32_t) {
    if (links_.openUrl && !links_.feedbackUrl.empty()) links_.openUrl(links_.feedbackUrl);
    EndSession();
  });
  LaySized(*yes, kFromStart, 50, kFromStart, 90, 130, 60);
  parts_.leaveYes = panel->Add(std::move(yes), 1);
  auto no = Button(kStrNo, [this](CBaseButton&, UIPoint, uint32_t) { EndSession(); });
  LaySized(*no, kFromStart, 220, kFromStart, 90, 130, 60);
  parts_.leaveNo = panel->Add(std::move(no), 1);
  auto close = std::make_unique<CCloseButton>([this](CBaseButton&, UIPoint, uint32_t) {
    // Back to where the player was: the confirmation comes back unless the station is confirmed.
    leaveVisible_ = false;
    leaveOutcome_ = 0;
    confirmVisible_ = !confirmDone_.load();
  });
  LaySized(*close, kFromEnd, 50, kFromStart, 0, 50, 50);
  parts_.leaveClose = panel->Add(std::move(close), 1);
  CScreenOverlayPanel* raw = nullptr;
  auto cached = Cached(std::move(panel), host_, &raw);
  LayCentred(*cached, 400, 170);
  parts_.leave = host_.Root().Add(std::move(cached), kZLeave);
}

void ScreenOverlay::PlaceScaled(IUIVisualComponent& c, int32_t hKind, int32_t x, int32_t vKind, int32_t y,
                                int w, int h, float* fontSize) {
  settingsPlaces_.push_back({&c, hKind, x, vKind, y, w, h, fontSize, fontSize ? *fontSize : 0.0f});
  LaySized(c, hKind, x, vKind, y, w, h);
}

void ScreenOverlay::BuildSettings() {
  constexpr int kColumnWidth = 580, kRowHeight = 95, kTop = 50, kRowsPerColumn = 7;
  static_assert(20 + 2 * kColumnWidth == kSettingsWidth &&
                kTop + kRowsPerColumn * kRowHeight + 5 == kSettingsHeight);
  auto panel = std::make_unique<CScreenOverlayPanel>(PanelStyle());
  panel->SetVisibilityPredicate([this] { return SettingsVisible(); });
  auto heading = std::make_unique<CTextTitle>(UILabel::Id(kStrSettings),
                                              TextStyle(DefaultLargeStyle().fontSize), TextAlign::kLeft);
  PlaceScaled(*heading, kFromStart, 20, kFromStart, 8, 400, 36, &heading->MutableStyle().fontSize);
  parts_.settingsHeading = heading.get();
  panel->Add(std::move(heading));
  auto close = std::make_unique<CCloseButton>(
      [this](CBaseButton&, UIPoint, uint32_t) { CRunTimeSettings::Set(settings_.overlayVisible, 0); });
  CCloseButton* closeRaw = nullptr;
  auto closeCached = Cached(std::move(close), host_, &closeRaw);
  PlaceScaled(*closeCached, kFromEnd, 45, kFromStart, 8, 35, 35, &closeRaw->GetButtonStyle().text.fontSize);
  panel->Add(std::move(closeCached), 3);
  parts_.settingsClose = closeRaw;

  for (int i = 0; i < kSettingsRows; ++i) {
    const SettingRow& row = kRows[i];
    const int x = 20 + (i / kRowsPerColumn) * kColumnWidth, y = kTop + (i % kRowsPerColumn) * kRowHeight;
    auto title = std::make_unique<CTextTitle>(UILabel::Id(row.title), TextStyle(DefaultStyle().fontSize),
                                              TextAlign::kLeft);
    PlaceScaled(*title, kFromStart, x, kFromStart, y, 260, 30, &title->MutableStyle().fontSize);
    parts_.settingsTitles[i] = title.get();
    panel->Add(std::move(title), 1);
    auto hint =
        std::make_unique<CTextTitle>(UILabel::Id(row.hint), TextStyle(14, 0xA8A8A8), TextAlign::kLeft);
    PlaceScaled(*hint, kFromStart, x, kFromStart, y + 34, 500, 100, &hint->MutableStyle().fontSize);
    panel->Add(std::move(hint), 0);
    // Each handler stores with an exchange, then saves unless the row is kept for this run only.
    auto store = [this, &row](uint32_t value) {
      CRunTimeSettings::Set(settings_.*row.field, value);
      if (row.saved) settings_.Save();
    };
    std::unique_ptr<CBaseButton> control;
    float* controlFont = nullptr;
    if (row.options.empty()) {
      control = std::make_unique<CSimpleSwitch>([store](CSimpleSwitch& s) { store(s.GetState() ? 1 : 0); });
    } else {
      std::vector<UILabel> labels;
      for (int id : row.options) labels.push_back(UILabel::Id(id));
      auto multi = std::make_unique<CMultiSwitch>(
          std::move(labels), [store](CMultiSwitch& m) { store(static_cast<uint32_t>(m.GetIndex())); });
      if (row.width > 240)
        multi->GetButtonStyle().text.fontSize = kSmallControlFont;  // Server FPS: nine cells
      controlFont = &multi->GetButtonStyle().text.fontSize;
      control = std::move(multi);
    }
    parts_.controls[i] = control.get();
    auto cached = std::make_unique<CCachingUIVisualComponent>(
        std::move(control), CCachingUIVisualComponent::kRefreshControls, 0, host_);
    PlaceScaled(*cached, kFromStart, x + 270, kFromStart, y, row.width, 30, controlFont);
    parts_.controlCaches[i] = cached.get();
    panel->Add(std::move(cached), 2);
  }
  CScreenOverlayPanel* raw = nullptr;
  auto cached = Cached(std::move(panel), host_, &raw);
  LayCentred(*cached, kSettingsWidth, kSettingsHeight);
  parts_.settingsPanel = host_.Root().Add(std::move(cached), kZSettings);
}

// A window smaller than the panel gets the whole panel scaled down, its texts with it, so the
// heading, the close button and every row stay in view; larger windows show it at its own size.
void ScreenOverlay::FitSettings() {
  const int w = host_.Width(), h = host_.Height();
  if (w <= 0 || h <= 0) return;
  const double scale =
      std::min({1.0, static_cast<double>(w) / kSettingsWidth, static_cast<double>(h) / kSettingsHeight});
  if (scale == settingsScale_) return;
  settingsScale_ = scale;
  auto at = [scale](int v) { return static_cast<int32_t>(std::lround(v * scale)); };
  for (const ScaledPlace& p : settingsPlaces_) {
    LaySized(*p.component, p.hKind, at(p.x), p.vKind, at(p.y), at(p.w), at(p.h));
    if (p.fontSize) *p.fontSize = static_cast<float>(p.baseFontSize * scale);
  }
  LayCentred(*parts_.settingsPanel, at(kSettingsWidth), at(kSettingsHeight));
  parts_.settingsPanel->MarkDirty();
  for (auto* c : parts_.controlCaches) c->MarkDirty();
  if (auto* close = dynamic_cast<CCachingUIVisualComponent*>(parts_.settingsClose->GetParent()))
    close->MarkDirty();
}

// The statistics table in the same way: a window that cannot hold it with its margins gets the
// table, its margins and its texts scaled down as a whole.
void ScreenOverlay::FitStatistics() {
  const int w = host_.Width(), h = host_.Height();
  if (w <= 0 || h <= 0) return;
  const double scale = std::min({1.0, static_cast<double>(w) / (kStatisticsWidth + 2 * kStatisticsMargin),
                                 static_cast<double>(h) / (kStatisticsHeight + 2 * kStatisticsMargin)});
  if (scale == statisticsScale_) return;
  statisticsScale_ = scale;
  auto at = [scale](int v) { return static_cast<int32_t>(std::lround(v * scale)); };
  LaySized(*parts_.statistics, kFromStart, at(kStatisticsMargin), kFromStart, at(kStatisticsMargin),
           at(kStatisticsWidth), at(kStatisticsHeight));
  parts_.statistics->MarkDirty();
}

void ScreenOverlay::Resize(int width, int height) {
  std::lock_guard lock(lock_);
  host_.Resize(width, height);
  FitSettings();
  FitStatistics();
}

void ScreenOverlay::BuildStatistics() {
  static_assert(kStatisticsHeight == 8 + 30 * CStatisticsView::kRowHeight);
  auto view = std::make_unique<CStatisticsView>(table_, &statisticsScale_);
  view->SetVisibilityPredicate([this] { return StatisticsVisible(); });
  CStatisticsView* raw = nullptr;
  // Values change all the time; the table is redrawn once a second, not on every change.
  auto cached = Cached(std::move(view), host_, &raw, CCachingUIVisualComponent::kRefreshPeriodic, 1000);
  LaySized(*cached, kFromStart, kStatisticsMargin, kFromStart, kStatisticsMargin, kStatisticsWidth,
           kStatisticsHeight);
  parts_.statistics = host_.Root().Add(std::move(cached), kZStatistics);
}

bool ScreenOverlay::SettingsVisible() const {
  return CRunTimeSettings::Get(settings_.overlayVisible) != 0;
}

void ScreenOverlay::ToggleSettings() {
  CRunTimeSettings::Set(settings_.overlayVisible, SettingsVisible() ? 0 : 1);
}

bool ScreenOverlay::OwnsMouse() const {
  std::lock_guard lock(lock_);
  return host_.PointerOverComponent() || SettingsVisible();
}

void ScreenOverlay::SyncSettingsControls() {
  for (int i = 0; i < kSettingsRows; ++i) {
    const uint32_t value = CRunTimeSettings::Get(settings_.*kRows[i].field);
    if (auto* s = dynamic_cast<CSimpleSwitch*>(parts_.controls[i])) s->SetState(value != 0);
    if (auto* m = dynamic_cast<CMultiSwitch*>(parts_.controls[i])) m->SetIndex(static_cast<int>(value));
  }
}

void ScreenOverlay::Update() {
  std::lock_guard lock(lock_);
  FitSettings();
  FitStatistics();
  const int64_t now = clockMs_();
  const bool settings = SettingsVisible();
  if (settings && !settingsWereVisible_) SyncSettingsControls();
  settingsWereVisible_ = settings;

  const bool streaming = links_.videoStreaming && links_.videoStreaming();
  const bool connecting = connectingRule_.Update(streaming, now);
  if (connectingVisible_ && !connecting) fullscreenHintUntilMs_ = now + kFullscreenHintMs;
  connectingVisible_ = connecting;
  if (connecting) parts_.spinner->Advance(now);

  slowMs_ = table_ ? SlowConnectionMs(table_->Value(kStatNetworkLatency)) : std::nullopt;
  if (slowMs_)
    parts_.slowText->SetLabel(
        UILabel::Text(FormatText(strings_.Text(kStrSlowConnection), std::to_string(*slowMs_))));

  if (confirmVisible_ && !confirmDone_.load()) {
    const int left = ConfirmSecondsLeft(now - createdMs_);
    if (left != secondsLeft_) {
      secondsLeft_ = left;
      if (left < 0) {
        ConfirmStation();
      } else if (left < 31) {
        parts_.playHere->SetLabel(
            UILabel::Text(FormatText(strings_.Text(kStrPlayHereCountdown), std::to_string(left))));
      }
    }
  }

  if (links_.pendingIncoming && now - lastIncomingPollMs_ >= kIncomingPollMs) {
    lastIncomingPollMs_ = now;
    incoming_ = links_.pendingIncoming();
  }
}

bool ScreenOverlay::HandleMouse(int x, int y, MouseAction action) {
  std::lock_guard lock(lock_);
  switch (action) {
    case MouseAction::kMove:
      return host_.OnPointerMove(x, y);
    case MouseAction::kDown:
      return host_.OnButtonDown(x, y);
    case MouseAction::kUp:
      return host_.OnButtonUp(x, y);
  }
  return false;
}

void ScreenOverlay::RequestClose() {
  std::lock_guard lock(lock_);
  leaveVisible_ = true;
  confirmVisible_ = false;
}

void ScreenOverlay::ConfirmStation() {
  if (confirmDone_.exchange(true)) return;
  confirmVisible_ = false;
  SetConfirmSessionEvent(links_.confirmFifoPath);
}

void ScreenOverlay::EndSession() {
  leaveVisible_ = false;
  LOGI << "Leaving the session with outcome " << leaveOutcome_;
  if (links_.endSession) links_.endSession(leaveOutcome_);
}

}  // namespace overlay
