// The overlay without a window or a session: its panes at two window sizes, its show/hide rules,
// the settings rows against a real settings file, and the session outcomes (FIFO, exit code,
// incoming answers).
#include <cairo.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "sov/settings/RunTimeSettings.h"
#include "zep/overlay/ScreenOverlay.h"
#include "zep/stats/StatsTable.h"
#include "zep/stats/StatsThread.h"

namespace fs = std::filesystem;
using namespace overlay;
using VektaUI::CBaseButton;

namespace {

std::string Slurp(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class OverlayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zep-overlay-unit-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
    settings_ = std::make_unique<CRunTimeSettings>();
    SetStatsCsvEnabled(false);
  }
  void TearDown() override {
    SetStatsCsvEnabled(false);
    fs::remove_all(dir_);
  }

  ScreenOverlay& Make(bool canTryNext, Language language = Language::kEnglish) {
    OverlayLinks l;
    l.canTryNext = canTryNext;
    l.confirmFifoPath = (dir_ / "ConfirmSessionEvent").string();
    l.videoStreaming = [this] { return streaming_; };
    l.pendingIncoming = [this] { return pending_; };
    l.decideIncoming = [this](const IncomingId& id, bool accept) { decided_.emplace_back(id, accept); };
    l.endSession = [this](int code) { exitCodes_.push_back(code); };
    overlay_ =
        std::make_unique<ScreenOverlay>(std::move(l), &table_, *settings_, language, [this] { return now_; });
    overlay_->Resize(1920, 1080);
    return *overlay_;
  }
  // A full click at the centre of a component, as the window would deliver it.
  void Click(VektaUI::IUIVisualComponent* c, int dx = 0) {
    const auto r = c->AbsoluteRect();
    const int x = r.x + r.w / 2 + dx, y = r.y + r.h / 2;
    overlay_->HandleMouse(x, y, MouseAction::kDown);
    overlay_->HandleMouse(x, y, MouseAction::kUp);
  }
  void Frame(int64_t advanceMs = 0) {
    now_ += advanceMs;
    overlay_->Update();
  }

  fs::path dir_;
  std::unique_ptr<CRunTimeSettings> settings_;
  StatsTable table_;
  std::unique_ptr<ScreenOverlay> overlay_;
  int64_t now_ = 10000;
  bool streaming_ = false;
  std::vector<IncomingId> pending_;
  std::vector<std::pair<IncomingId, bool>> decided_;
  std::vector<int> exitCodes_;
};

TEST(OverlayLanguage, RussianForTheFourLanguagesFromTheFirstVariableSet) {
  static std::map<std::string, std::string> env;
  auto get = [](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  const std::vector<std::pair<std::map<std::string, std::string>, Language>> cases = {
      {{{"LANG", "ru_RU.UTF-8"}}, Language::kRussian},
      {{{"LANG", "uk_UA.UTF-8"}}, Language::kRussian},
      {{{"LC_MESSAGES", "be_BY@latin"}}, Language::kRussian},
      {{{"LC_ALL", "kk_KZ"}, {"LANG", "en_US.UTF-8"}}, Language::kRussian},
      {{{"LANGUAGE", "en:ru"}, {"LANG", "ru_RU.UTF-8"}}, Language::kEnglish},
      {{{"LANGUAGE", ""}, {"LANG", "uk"}}, Language::kRussian},
      {{{"LANG", "rue_UA"}}, Language::kEnglish},
      {{{"LANG", "C"}}, Language::kEnglish},
      {{}, Language::kEnglish},
  };
  for (const auto& [vars, want] : cases) {
    env = vars;
    EXPECT_EQ(ChooseLanguage(get), want) << (vars.empty() ? "" : vars.begin()->second);
  }
  const COverlayStrings ru(Language::kRussian), en(Language::kEnglish);
  EXPECT_EQ(ru.Text(kStrPlayHere), "Играть здесь");
  EXPECT_EQ(ru.Text(127), "1080p");  // only in the English table
  EXPECT_EQ(en.Text(kStrPlayHere), "Play here");
  EXPECT_EQ(en.Text(999), "");
}

TEST(OverlayRules, SlowConnectionAndConnectingThresholds) {
  EXPECT_FALSE(SlowConnectionMs(StatValue{VT_INT, 300000}));
  EXPECT_EQ(SlowConnectionMs(StatValue{VT_INT, 300001}), 300);
  EXPECT_EQ(SlowConnectionMs(StatValue{VT_INT, 1234999}), 1234);
  EXPECT_FALSE(SlowConnectionMs(StatValue{VT_R4, 0, 900000.0f}));  // the mean, before the integer figure
  ConnectingRule rule;
  EXPECT_TRUE(rule.Update(true, 0));
  EXPECT_TRUE(rule.Update(false, 2000));  // a break starts the count again
  EXPECT_TRUE(rule.Update(true, 3000));
  EXPECT_TRUE(rule.Update(true, 5500));
  EXPECT_FALSE(rule.Update(true, 5501));
  EXPECT_FALSE(rule.Update(false, 6000));  // and stays hidden
}

TEST_F(OverlayTest, EveryPaneLaysOutAndTakesItsClicksAtTwoSizes) {
  ScreenOverlay& o = Make(true);
  const auto& p = o.Components();
  table_.SetInt(kStatNetworkLatency, 450000);
  pending_.push_back(IncomingId{1});
  o.ToggleSettings();
  o.ToggleStatistics();
  Frame();
  for (auto [w, h] : {std::pair{1920, 1080}, std::pair{1280, 720}}) {
    SCOPED_TRACE(w);
    o.Resize(w, h);
    EXPECT_EQ(p.settingsPanel->AbsoluteRect(), (VektaUI::UIRect{w / 2 - 590, h / 2 - 360, 1180, 720}));
    EXPECT_EQ(p.confirmSession->AbsoluteRect(), (VektaUI::UIRect{w / 2 - 210, h - 210, 420, 170}));
    EXPECT_EQ(p.connecting->AbsoluteRect(), (VektaUI::UIRect{w / 2 - 320, h / 2 - 135, 640, 110}));
    EXPECT_EQ(p.slowConnection->AbsoluteRect(), (VektaUI::UIRect{w / 2 - 360, 20, 720, 40}));
    EXPECT_EQ(p.incoming->AbsoluteRect(), (VektaUI::UIRect{w - 380, h - 150, 360, 130}));
    // Rows: two columns of seven, 95 px apart; each control 270 px right of its title.
    for (int i = 0; i < ScreenOverlay::kSettingsRows; ++i) {
      const auto r = p.controls[i]->AbsoluteRect();
      EXPECT_EQ(r.x, w / 2 - 590 + 20 + (i / 7) * 580 + 270) << i;
      EXPECT_EQ(r.y, h / 2 - 360 + 50 + (i % 7) * 95) << i;
      EXPECT_EQ(o.Host().HitTest(r.x + r.w / 2, r.y + r.h / 2), p.controls[i]) << i;
    }
    EXPECT_EQ(p.controls[2]->Width(), 240);
    EXPECT_EQ(p.controls[8]->Width(), 270);
    // The settings panel lies over the confirmation pane where they meet; an incoming request stays on top.
    for (CBaseButton* b : {static_cast<CBaseButton*>(p.incomingYes), static_cast<CBaseButton*>(p.incomingNo),
                           static_cast<CBaseButton*>(p.settingsClose)}) {
      const auto r = b->AbsoluteRect();
      EXPECT_EQ(o.Host().HitTest(r.x + r.w / 2, r.y + r.h / 2), b);
    }
  }
  o.ToggleSettings();
  for (CBaseButton* b : {static_cast<CBaseButton*>(p.playHere), static_cast<CBaseButton*>(p.tryNext)}) {
    const auto r = b->AbsoluteRect();
    EXPECT_EQ(r.w, 130);
    EXPECT_EQ(o.Host().HitTest(r.x + r.w / 2, r.y + r.h / 2), b);
  }
  o.RequestClose();
  const auto leave = p.leave->AbsoluteRect();
  EXPECT_EQ(leave, (VektaUI::UIRect{640 - 200, 360 - 85, 400, 170}));
  for (CBaseButton* b : {static_cast<CBaseButton*>(p.leaveYes), static_cast<CBaseButton*>(p.leaveNo),
                         static_cast<CBaseButton*>(p.leaveClose)}) {
    const auto r = b->AbsoluteRect();
    EXPECT_EQ(o.Host().HitTest(r.x + r.w / 2, r.y + r.h / 2), b);
  }
  EXPECT_EQ(p.leaveClose->AbsoluteRect(), (VektaUI::UIRect{leave.Right() - 50, leave.y, 50, 50}));
  // The incoming question answers the station's request through the session.
  Click(p.incomingYes);
  ASSERT_EQ(decided_.size(), 1u);
  EXPECT_TRUE(decided_[0].second);
}

TEST_F(OverlayTest, SettingsRowsStoreSaveAndRedrawOnlyTheirControl) {
  CRunTimeSettings::Set(settings_->serverFpsIndex, 5);
  ScreenOverlay& o = Make(false);
  const auto& p = o.Components();
  o.ToggleSettings();
  Frame();
  EXPECT_EQ(static_cast<VektaUI::CMultiSwitch*>(p.controls[8])->GetIndex(), 5);  // synchronised on opening
  VektaUI::CUIBitmap target(1920, 1080);
  o.Host().Render(target);
  std::vector<uint64_t> before;
  for (auto* c : p.controlCaches) before.push_back(c->RenderCount());

  Click(p.controls[10]);  // "Allow gamepad"
  o.Host().Render(target);
  EXPECT_EQ(CRunTimeSettings::Get(settings_->allowGamepadIndex), 1u);
  const fs::path file = dir_ / "Ulmek" / "Zep" / "Runtime";
  EXPECT_NE(Slurp(file).find("AllowGamepadIndex=dword:1"), std::string::npos) << Slurp(file);
  for (int i = 0; i < ScreenOverlay::kSettingsRows; ++i)
    EXPECT_EQ(p.controlCaches[i]->RenderCount(), before[i] + (i == 10 ? 1 : 0)) << i;

  // Server FPS: the fourth of nine cells is index 3.
  const auto fps = p.controls[8]->AbsoluteRect();
  Click(p.controls[8], 3 * 30 + 15 - fps.w / 2);
  EXPECT_EQ(CRunTimeSettings::Get(settings_->serverFpsIndex), 3u);
  EXPECT_NE(Slurp(file).find("ServerFPSIndex=dword:3"), std::string::npos);

  // Network transport and streaming are kept for this run only: nothing is written.
  fs::remove(file);
  const auto transport = p.controls[6]->AbsoluteRect();
  Click(p.controls[6], transport.w / 4);
  EXPECT_FALSE(fs::exists(file)) << "transport";
  Click(p.controls[12]);
  EXPECT_EQ(CRunTimeSettings::Get(settings_->networkTransportIndex), 1u);
  EXPECT_EQ(CRunTimeSettings::Get(settings_->streamingEnabled), 1u);
  EXPECT_FALSE(fs::exists(file));

  Click(p.settingsClose);
  EXPECT_FALSE(o.SettingsVisible());
}

// Bright pixels of `r` in a rendered frame: where white text was drawn on the dark panel.
struct Ink {
  int count = 0;
  int right = -1;   // the last column with ink, relative to r
  int bottom = -1;  // the last row with ink, relative to r
};
Ink InkIn(const VektaUI::CUIBitmap& frame, const VektaUI::UIRect& r) {
  Ink ink;
  for (int y = std::max(r.y, 0); y < std::min(r.y + r.h, frame.Height()); ++y)
    for (int x = std::max(r.x, 0); x < std::min(r.x + r.w, frame.Width()); ++x) {
      const uint32_t px = frame.Pixels()[y * frame.StridePixels() + x];
      if (((px >> 16) & 0xFF) > 160 && ((px >> 8) & 0xFF) > 160 && (px & 0xFF) > 160) {
        ++ink.count;
        ink.right = std::max(ink.right, x - r.x);
        ink.bottom = std::max(ink.bottom, y - r.y);
      }
    }
  return ink;
}

bool Inside(const VektaUI::UIRect& inner, const VektaUI::UIRect& outer) {
  return inner.x >= outer.x && inner.y >= outer.y && inner.Right() <= outer.Right() &&
         inner.y + inner.h <= outer.y + outer.h;
}

// A 1366×768 screen gives a 1094×616 window; 800×600 is the smallest we promise. The panel fits
// (scaled down), its heading and titles are drawn whole, and its controls take their clicks.
TEST_F(OverlayTest, SettingsPanelFitsSmallWindowsWithItsHeadingCloseButtonAndRows) {
  for (Language language : {Language::kEnglish, Language::kRussian}) {
    ScreenOverlay& o = Make(false, language);
    const auto& p = o.Components();
    o.ToggleSettings();
    // At its own size the panel's texts take the toolkit's two sizes: 21 for titles, 28 for the heading.
    EXPECT_EQ(p.settingsTitles[0]->GetStyle().fontSize, 21.0f);
    EXPECT_EQ(p.settingsHeading->GetStyle().fontSize, 28.0f);
    for (auto [w, h] : {std::pair{1094, 616}, std::pair{800, 600}}) {
      SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) +
                   (language == Language::kRussian ? " ru" : " en"));
      o.Resize(w, h);
      Frame();
      const VektaUI::UIRect window{0, 0, w, h};
      const auto panel = p.settingsPanel->AbsoluteRect();
      EXPECT_TRUE(Inside(panel, window)) << panel.x << "," << panel.y << " " << panel.w << "x" << panel.h;
      EXPECT_LT(o.SettingsScale(), 1.0);
      EXPECT_NEAR(p.settingsTitles[0]->GetStyle().fontSize, 21.0 * o.SettingsScale(), 0.01);
      // Scaled as a whole: the panel keeps its proportions and fills one side of the window.
      EXPECT_NEAR(panel.w * 720.0 / (panel.h * 1180.0), 1.0, 0.01);
      EXPECT_TRUE(panel.w >= w - 1 || panel.h >= h - 1);
      const auto close = p.settingsClose->AbsoluteRect();
      EXPECT_TRUE(Inside(close, panel));
      EXPECT_EQ(o.Host().HitTest(close.x + close.w / 2, close.y + close.h / 2), p.settingsClose);
      for (int i = 0; i < ScreenOverlay::kSettingsRows; ++i) {
        const auto r = p.controls[i]->AbsoluteRect();
        EXPECT_TRUE(Inside(r, panel)) << i;
        EXPECT_EQ(o.Host().HitTest(r.x + r.w / 2, r.y + r.h / 2), p.controls[i]) << i;
      }

      VektaUI::CUIBitmap frame(w, h);
      o.Host().Render(frame);
      const char* keep = std::getenv("ZEP_TEST_PNG_DIR");  // to look at the frames
      const fs::path png =
          fs::path(keep ? keep : dir_.string()) / ("settings-" + std::to_string(w) + "x" + std::to_string(h) +
                                                   (language == Language::kRussian ? "-ru" : "-en") + ".png");
      EXPECT_EQ(cairo_surface_write_to_png(frame.Surface(), png.c_str()), CAIRO_STATUS_SUCCESS);
      // Text wraps inside its box's width; a line that runs into the box's bottom edge was cut there.
      auto whole = [&](const VektaUI::IUIVisualComponent* c, const char* what) {
        const auto r = c->AbsoluteRect();
        const Ink ink = InkIn(frame, r);
        EXPECT_GT(ink.count, 20) << what;
        EXPECT_LT(ink.bottom, r.h - 2) << what;
      };
      whole(p.settingsHeading, "heading");
      for (int i = 0; i < ScreenOverlay::kSettingsRows; ++i) whole(p.settingsTitles[i], "title");

      // Clicks land on the scaled controls: the fourth of Server FPS's nine cells is index 3.
      const auto fps = p.controls[8]->AbsoluteRect();
      Click(p.controls[8], static_cast<int>((3.5 * fps.w) / 9) - fps.w / 2);
      EXPECT_EQ(CRunTimeSettings::Get(settings_->serverFpsIndex), 3u);
      CRunTimeSettings::Set(settings_->serverFpsIndex, 0);
    }
    Click(p.settingsClose);
    EXPECT_FALSE(o.SettingsVisible());
  }
}

// Where a frame's white text lies in `r`, row by row: each run of pixel rows with ink is one line.
struct InkLine {
  int top, bottom;  // pixel rows of the frame, bottom inclusive
  int left, right;  // columns of the frame with ink
  bool split;       // ink at both ends with a gap between: a label and its value
};
std::vector<InkLine> InkLines(const VektaUI::CUIBitmap& frame, const VektaUI::UIRect& r) {
  std::vector<InkLine> lines;
  bool open = false;
  for (int y = std::max(r.y, 0); y < std::min(r.y + r.h, frame.Height()); ++y) {
    const Ink ink = InkIn(frame, {r.x, y, r.w, 1});
    if (ink.count == 0) {
      open = false;
      continue;
    }
    if (!open) lines.push_back({y, y, r.x + r.w, r.x, false});
    open = true;
    InkLine& line = lines.back();
    line.bottom = y;
    for (int x = r.x; x < r.x + r.w; ++x)
      if (InkIn(frame, {x, y, 1, 1}).count) {
        line.left = std::min(line.left, x);
        line.right = std::max(line.right, x);
      }
  }
  for (InkLine& line : lines) {
    // A label and its value leave an empty stretch of at least a tenth of the table between them.
    const VektaUI::UIRect band{r.x, line.top, r.w, line.bottom - line.top + 1};
    int gap = 0, widest = 0;
    for (int x = line.left; x <= line.right; ++x) {
      gap = InkIn(frame, {x, band.y, 1, band.h}).count ? 0 : gap + 1;
      widest = std::max(widest, gap);
    }
    line.split = widest >= r.w / 10;
  }
  return lines;
}

// The table takes 8 + 30 × 22 px at (20, 20): a 1094×616 window (1366×768 screen) and an 800×600
// one get it scaled down whole, so that every cell's row shows with its label and value; a window
// that holds it keeps it at its own size.
TEST_F(OverlayTest, StatisticsTableFitsSmallWindowsWithEveryRowWhole) {
  ScreenOverlay& o = Make(false);
  const auto& p = o.Components();
  SetStandardLabels(table_);
  for (int i = 0; i < table_.Size(); ++i) table_.SetInt(i, 1000 + i);
  table_.SetReal(kStatFpsServer, 59.5f);
  // The longest value: busy shares of 10/30/0/0/60 %.
  table_.SetUInt64(kStatRenderLoop, 10 | 30 << 7 | uint64_t{60} << 28);
  table_.SetInt(kStatNetworkLatency, 123456);
  // The other panes out of the way: the station confirmed, the picture streaming, the hint gone.
  Click(p.playHere);
  streaming_ = true;
  for (int i = 0; i < 4; ++i) Frame(6000);
  o.ToggleStatistics();
  for (auto [w, h] : {std::pair{1536, 864}, std::pair{1094, 616}, std::pair{800, 600}}) {
    SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
    o.Resize(w, h);
    Frame();
    const VektaUI::UIRect window{0, 0, w, h};
    const auto table = p.statistics->AbsoluteRect();
    if (w == 1536) {
      EXPECT_EQ(table, (VektaUI::UIRect{20, 20, 520, 668}));
      EXPECT_EQ(o.StatisticsScale(), 1.0);
    } else {
      EXPECT_LT(o.StatisticsScale(), 1.0);
      EXPECT_TRUE(Inside(table, window)) << table.x << "," << table.y << " " << table.w << "x" << table.h;
      // Scaled as a whole, margins included: the bottom margin is the top one.
      EXPECT_NEAR(table.w * 668.0 / (table.h * 520.0), 1.0, 0.01);
      EXPECT_NEAR(h - table.Bottom(), table.y, 1);
    }

    VektaUI::CUIBitmap frame(w, h);
    o.Host().Render(frame);
    const char* keep = std::getenv("ZEP_TEST_PNG_DIR");  // to look at the frames
    const fs::path png = fs::path(keep ? keep : dir_.string()) /
                         ("statistics-" + std::to_string(w) + "x" + std::to_string(h) + ".png");
    EXPECT_EQ(cairo_surface_write_to_png(frame.Surface(), png.c_str()), CAIRO_STATUS_SUCCESS);
    // White ink is the cells' labels and values (group headings are blue): one line per cell,
    // each inside the table and the window, no taller than its row, a label and a value apart.
    const std::vector<InkLine> lines = InkLines(frame, window);
    ASSERT_EQ(lines.size(), static_cast<size_t>(table_.Size()));
    const double row = 22 * o.StatisticsScale();
    for (size_t i = 0; i < lines.size(); ++i) {
      SCOPED_TRACE(std::to_string(i) + ": " + std::to_string(lines[i].left) + "," +
                   std::to_string(lines[i].top) + " to " + std::to_string(lines[i].right) + "," +
                   std::to_string(lines[i].bottom));
      EXPECT_TRUE(Inside({lines[i].left, lines[i].top, lines[i].right - lines[i].left + 1,
                          lines[i].bottom - lines[i].top + 1},
                         table));
      EXPECT_LT(lines[i].bottom, h - 1) << "cut at the window's bottom edge";
      EXPECT_LT(lines[i].bottom - lines[i].top + 1, row);
      EXPECT_TRUE(lines[i].split);
      if (i > 0) {
        EXPECT_GE(lines[i].top - lines[i - 1].top, row - 2);  // rows rounded to pixels, ink to the threshold
      }
    }
  }
}

TEST_F(OverlayTest, StatisticsTableAndCsvRecordsAreOneSwitch) {
  // ZEP_STATS_CSV=1 turns reporting on before the overlay exists: the table shows from the start.
  SetStatsCsvEnabled(true);
  ScreenOverlay& o = Make(false);
  EXPECT_TRUE(o.StatisticsVisible());
  // Ctrl+Alt+R then turns both off, and on again.
  o.ToggleStatistics();
  EXPECT_FALSE(o.StatisticsVisible());
  EXPECT_FALSE(StatsCsvEnabled());
  o.ToggleStatistics();
  EXPECT_TRUE(o.StatisticsVisible());
  EXPECT_TRUE(StatsCsvEnabled());
  // The hot-key path that only knows the CSV switch moves the table with it.
  SetStatsCsvEnabled(false);
  EXPECT_FALSE(o.StatisticsVisible());
}

TEST_F(OverlayTest, StationConfirmationCountsDownAndSignalsOnce) {
  const fs::path fifo = dir_ / "ConfirmSessionEvent";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ScreenOverlay& o = Make(false);
  const auto& p = o.Components();
  Frame(119000);  // 31 s left: the label stays
  EXPECT_EQ(p.playHere->Label(), VektaUI::UILabel::Id(kStrPlayHere));
  Frame(500);  // 30.5 s left
  EXPECT_EQ(p.playHere->Label().text, "Play here \n 30");
  Frame(1000);
  EXPECT_EQ(p.playHere->Label().text, "Play here \n 29");
  EXPECT_FALSE(o.StationConfirmed());
  Frame(29499);  // 0.001 s left
  EXPECT_FALSE(o.StationConfirmed());
  Frame(1000);  // below zero: confirms by itself
  EXPECT_TRUE(o.StationConfirmed());
  Click(p.playHere);
  Frame(5000);
  char bytes[4];
  EXPECT_EQ(read(reader, bytes, sizeof bytes), 1) << "exactly one signal";
  close(reader);
}

TEST_F(OverlayTest, LeaveOutcomesBecomeTheExitCode) {
  {
    ScreenOverlay& o = Make(true);
    Frame();
    Click(o.Components().tryNext);
    EXPECT_TRUE(o.Components().leave->IsVisible());
    EXPECT_FALSE(o.Components().confirmSession->IsVisible());
    Click(o.Components().leaveNo);
  }
  {
    ScreenOverlay& o = Make(true);
    Click(o.Components().tryNext);
    Click(o.Components().leaveClose);  // back out: the confirmation returns, the outcome resets
    EXPECT_TRUE(o.Components().confirmSession->IsVisible());
    o.RequestClose();
    Click(o.Components().leaveNo);
  }
  {
    ScreenOverlay& o = Make(false);
    Click(o.Components().tryNext);  // "Stop trying"
    Click(o.Components().leaveNo);
  }
  EXPECT_EQ(exitCodes_, (std::vector<int>{1, 0, 0}));
  // Without the FIFO the confirmation is logged and otherwise ignored.
  ScreenOverlay& o = Make(false);
  Click(o.Components().playHere);
  EXPECT_TRUE(o.StationConfirmed());
}

}  // namespace
