#pragma once
// The overlay over the game picture: the settings panel, the statistics table and the panes of
// a session's moments (connecting, slow connection, fullscreen hint, station confirmation,
// incoming request, leave confirmation). The window thread feeds the pointer in and DrawThreadProc
// updates and draws it; the overlay lock keeps the two apart.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "CommonFiles/UI/UIButtons.h"
#include "CommonFiles/UI/UICaching.h"
#include "CommonFiles/UI/UIHost.h"
#include "zep/overlay/OverlayRules.h"
#include "zep/overlay/OverlayStrings.h"
#include "zep/stats/StatsThread.h"

class CRunTimeSettings;
class StatsTable;

namespace overlay {

using IncomingId = std::array<uint8_t, 16>;

// What the overlay needs from the session and the window.
struct OverlayLinks {
  bool canTryNext = false;
  std::string stationText;      // the confirmation pane's title
  std::string connectingText;   // under the spinner
  std::string feedbackUrl;      // opened by "Yes" on the leave pane
  std::string confirmFifoPath;  // the "ConfirmSessionEvent" FIFO
  std::function<bool()> videoStreaming;
  std::function<std::vector<IncomingId>()> pendingIncoming;
  std::function<void(const IncomingId&, bool accept)> decideIncoming;
  std::function<void(int exitCode)> endSession;
  std::function<void(const std::string& url)> openUrl;
  std::function<void()> toggleFullscreen;
};

enum class MouseAction { kMove, kDown, kUp };

class ScreenOverlay {
 public:
  static constexpr int kSettingsRows = 13;
  // The settings panel's own size; smaller windows show it scaled down to fit.
  static constexpr int kSettingsWidth = 1180, kSettingsHeight = 720;
  // The statistics table's own size (thirty rows of 22 px) and its distance from the window's
  // top-left corner; a window that cannot hold it with that margin all round shows it scaled down.
  static constexpr int kStatisticsWidth = 520, kStatisticsHeight = 668, kStatisticsMargin = 20;

  ScreenOverlay(OverlayLinks links, StatsTable* table, CRunTimeSettings& settings, Language language,
                std::function<int64_t()> clockMs);
  ~ScreenOverlay();

  // Per-frame decisions (connecting, slow connection, countdown, spinner, incoming requests).
  void Update();
  void Resize(int width, int height);

  // Pointer input from the window; true when the overlay took it (the game must not see it).
  bool HandleMouse(int x, int y, MouseAction action);
  // The pointer should be visible: it is over an overlay component, or the settings are open.
  bool OwnsMouse() const;
  void ToggleSettings();
  // Statistics reporting is one process-wide switch: the table shown here and the CSV records
  // (ZEP_STATS_CSV=1 starts with it on).
  void ToggleStatistics() { ToggleStatsCsv(); }
  // The window's close request: show the leave confirmation instead of closing.
  void RequestClose();

  bool SettingsVisible() const;
  bool StatisticsVisible() const { return StatsCsvEnabled(); }
  // The overlay lock, held by the public operations here; whoever walks Host()'s tree (drawing)
  // holds it too. Recursive: a click handler may call back into the overlay.
  std::unique_lock<std::recursive_mutex> Lock() const { return std::unique_lock(lock_); }
  VektaUI::CUIHost& Host() { return host_; }

  // The components by role, for the window layer and for tests.
  struct Parts {
    VektaUI::IUIVisualComponent* connecting = nullptr;
    VektaUI::CSpinner* spinner = nullptr;
    VektaUI::IUIVisualComponent* slowConnection = nullptr;
    VektaUI::CTextTitle* slowText = nullptr;
    VektaUI::CBaseButton* fullscreen = nullptr;
    VektaUI::IUIVisualComponent* confirmSession = nullptr;
    VektaUI::CFunctorButton* playHere = nullptr;
    VektaUI::CFunctorButton* tryNext = nullptr;  // "Try next" or "Stop trying"
    VektaUI::IUIVisualComponent* incoming = nullptr;
    VektaUI::CFunctorButton* incomingYes = nullptr;
    VektaUI::CFunctorButton* incomingNo = nullptr;
    VektaUI::IUIVisualComponent* leave = nullptr;
    VektaUI::CFunctorButton* leaveYes = nullptr;
    VektaUI::CFunctorButton* leaveNo = nullptr;
    VektaUI::CCloseButton* leaveClose = nullptr;
    VektaUI::CCachingUIVisualComponent* settingsPanel = nullptr;
    VektaUI::CCloseButton* settingsClose = nullptr;
    VektaUI::CTextTitle* settingsHeading = nullptr;
    std::array<VektaUI::CTextTitle*, kSettingsRows> settingsTitles{};
    std::array<VektaUI::CBaseButton*, kSettingsRows> controls{};
    std::array<VektaUI::CCachingUIVisualComponent*, kSettingsRows> controlCaches{};
    VektaUI::CCachingUIVisualComponent* statistics = nullptr;
  };
  const Parts& Components() const { return parts_; }
  int LeaveOutcome() const { return leaveOutcome_; }
  // 1 while the window holds the settings panel at its own size, less when it is scaled to fit.
  double SettingsScale() const {
    std::lock_guard lock(lock_);
    return settingsScale_;
  }
  // The same for the statistics table.
  double StatisticsScale() const {
    std::lock_guard lock(lock_);
    return statisticsScale_;
  }
  bool StationConfirmed() const { return confirmDone_.load(); }

 private:
  void BuildConnecting();
  void BuildSlowConnection();
  void BuildFullscreen();
  void BuildConfirmSession();
  void BuildIncoming();
  void BuildLeave();
  void BuildSettings();
  // Lays out a settings component and remembers its place (and text size) at scale 1.
  void PlaceScaled(VektaUI::IUIVisualComponent& c, int32_t hKind, int32_t x, int32_t vKind, int32_t y, int w,
                   int h, float* fontSize);
  void FitSettings();
  void FitStatistics();
  void BuildStatistics();
  void SyncSettingsControls();
  void ConfirmStation();
  void EndSession();
  const VektaUI::CUIBitmap* Image(int id) const;

  mutable std::recursive_mutex lock_;  // the overlay lock: guards everything below
  OverlayLinks links_;
  StatsTable* table_;
  CRunTimeSettings& settings_;
  COverlayStrings strings_;
  std::function<int64_t()> clockMs_;
  VektaUI::CUIHost host_;
  std::map<int, std::unique_ptr<VektaUI::CUIBitmap>> images_;
  Parts parts_;

  // Pane flags: under the overlay lock, like the tree.
  bool connectingVisible_ = true;
  std::optional<int> slowMs_;
  int64_t fullscreenHintUntilMs_ = 0;
  bool confirmVisible_ = true;
  bool leaveVisible_ = false;
  bool settingsWereVisible_ = false;
  std::vector<IncomingId> incoming_;
  int64_t lastIncomingPollMs_ = -1000;

  struct ScaledPlace {
    VektaUI::IUIVisualComponent* component;
    int32_t hKind, x, vKind, y, w, h;
    float* fontSize;  // in the component's style; null when it draws no text
    float baseFontSize;
  };
  std::vector<ScaledPlace> settingsPlaces_;
  double settingsScale_ = 1.0;
  double statisticsScale_ = 1.0;

  ConnectingRule connectingRule_;
  int64_t createdMs_;
  int secondsLeft_ = 150;
  std::atomic<bool> confirmDone_{false};
  int leaveOutcome_ = 0;
};

}  // namespace overlay
