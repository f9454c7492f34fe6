#include "zep/Session.h"

#include "platform/HPCWrapper.h"
#include "platform/LocalIpc.h"
#include "platform/Process.h"
#include "sov/base/Log.h"
#include "sov/config/Config.h"
#include "sov/settings/RunTimeSettings.h"
#include "zep/CommandLine.h"
#include "zep/MainWindow.h"
#include "zep/WindowInput.h"
#include "zep/overlay/ScreenOverlay.h"
#include "zep/overlay/SdlOverlayLayer.h"
#include "zep/session/ClientThreads.h"
#include "zep/stats/StatStorage.h"
#include "zep/video/DrawThread.h"

namespace {

// The input handler asks the overlay about every pointer event first (it takes what falls on its
// panes, and while it holds the mouse nothing the player does there reaches the station) and hands
// it the close request.
class OverlayMouseHold : public input::IInputSink {
 public:
  // `leftOut`: the presentation switch; while set the overlay is not drawn and takes no pointer.
  OverlayMouseHold(overlay::ScreenOverlay& overlay, const std::atomic<uint8_t>& leftOut)
      : overlay_(overlay), leftOut_(leftOut) {}
  bool OnMouseEvent(const SDL_Event& e) override {
    using overlay::MouseAction;
    if (LeftOut()) return false;
    switch (e.type) {
      case SDL_MOUSEMOTION:
        return overlay_.HandleMouse(e.motion.x, e.motion.y, MouseAction::kMove);
      case SDL_MOUSEBUTTONDOWN:
      case SDL_MOUSEBUTTONUP:
        if (e.button.button != SDL_BUTTON_LEFT) return overlay_.OwnsMouse();
        return overlay_.HandleMouse(e.button.x, e.button.y,
                                    e.type == SDL_MOUSEBUTTONDOWN ? MouseAction::kDown : MouseAction::kUp);
      default:
        return overlay_.OwnsMouse();
    }
  }
  bool OwnsMouse() const override { return !LeftOut() && overlay_.OwnsMouse(); }
  bool PointerOverComponent() const override { return OwnsMouse(); }
  // Ctrl+Shift+Q asks the leave question, as the title bar's close button does.
  bool OnCloseRequested() override {
    overlay_.RequestClose();
    return true;
  }

 private:
  bool LeftOut() const { return leftOut_.load(std::memory_order_relaxed) != 0; }

  overlay::ScreenOverlay& overlay_;
  const std::atomic<uint8_t>& leftOut_;
};

overlay::OverlayLinks LinksFor(const StartParams& params, const StationAddress& station,
                               SessionShared& shared, SDL_Window* window) {
  overlay::OverlayLinks l;
  l.canTryNext = params.canTryNext;
  l.stationText = WideToUtf8(params.city);
  l.connectingText = station.address;
  // The web front-end (the settings host) serves the feedback page.
  l.feedbackUrl = "https://" + WideToUtf8(Config::Instance().settingsHost) + "/feedback/" + params.session +
                  "/" + params.token;
  std::string runtime;
  if (platform::RuntimeFolder(runtime) == 0) l.confirmFifoPath = runtime + "/ConfirmSessionEvent";
  l.videoStreaming = [&shared] { return shared.videoAlive.load(std::memory_order_relaxed) != 0; };
  l.pendingIncoming = [&shared] { return shared.incoming.Pending(); };
  l.decideIncoming = [&shared](const overlay::IncomingId& id, bool accept) {
    shared.incoming.Decide(id, accept);
  };
  l.endSession = [](int exitCode) { MainWindow::PostQuit(exitCode); };
  l.openUrl = [](const std::string& url) { platform::SpawnDetached({"xdg-open", url}); };
  l.toggleFullscreen = [window] {
    const bool full = SDL_GetWindowFlags(window) & SDL_WINDOW_FULLSCREEN;
    SDL_SetWindowFullscreen(window, full ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP);
  };
  return l;
}

// A session that fails once its threads run is reported as start-up reports one that cannot be built.
void ReportSessionFailure(const std::string& what) {
  StartupError(std::string("InitInstance") + ": unhandled exception: " + what);
  StartupError("Instance initialization failed");
}

class StreamingSession : public Session {
 public:
  StreamingSession(StationAddress station, const StartParams& params, MainWindow& window)
      : window_(window), threads_(station, params.forceSoftwareDecode, ReportSessionFailure) {
    // The threads run from here on: a failure must end the process, never unwind threads_.
    threads_.CompleteOrExit([&] { Build(station, params, window); }, ReportSessionFailure);
  }
  ~StreamingSession() override {
    window_.SetDrawThread(nullptr);
    window_.SetStatistics(nullptr);
  }
  // DrawThreadProc is one of the media threads: it shares their second.
  void Interrupt() override {
    const int64_t startMs = HPCWrapper::NowMs();
    threads_.Interrupt();
    const int64_t leftMs = kMediaThreadsGraceMs - (HPCWrapper::NowMs() - startMs);
    if (!draw_->WaitEnded(static_cast<int>(leftMs > 0 ? leftMs : 0))) LOGW << "DrawThreadProc still running";
  }
  overlay::ScreenOverlay* Overlay() override { return overlay_.get(); }
  IWindowEventHandler* WindowEvents() override { return input_.get(); }

 private:
  void Build(const StationAddress& station, const StartParams& params, MainWindow& window) {
    overlay_ = std::make_unique<overlay::ScreenOverlay>(
        LinksFor(params, station, threads_.Shared(), window.Handle()), &threads_.Table(), RunTimeSettings(),
        overlay::LanguageFromEnvironment(), [] { return HPCWrapper::NowMs(); });
    video::PresenterParams p;
    p.buffer = &threads_.Pictures();
    p.area = &threads_.VideoArea();
    p.table = &threads_.Table();
    p.storage = &storage_;
    p.clockOffsetUs = &ClockOffsetUs();
    p.publishScale = [this](video::QuadScale s) { threads_.Shared().scale.Set({s.x, s.y}); };
    p.drawOverlay = [this](SDL_Renderer* r) {
      const auto lock = overlay_->Lock();
      // Sized before the update, so a resized window gets its fitted settings panel in this frame.
      int w = 0, h = 0;
      if (SDL_GetRendererOutputSize(r, &w, &h) == 0) overlay_->Resize(w, h);
      overlay_->Update();
      // Ctrl+Alt+Z: the picture alone (the panes keep their state and come back with it).
      if (threads_.Shared().presentationSwitch.load(std::memory_order_relaxed) != 0) return;
      overlayLayer_->Draw(r, overlay_->Host());
    };
    p.rendererGone = [this] { overlayLayer_.reset(); };
    draw_ = std::make_unique<video::DrawThread>(window.Handle(), std::move(p), threads_.Shared().interrupt);
    input_ = std::make_unique<WindowInput>(window.Handle(), threads_);
    overlayHold_ = std::make_unique<OverlayMouseHold>(*overlay_, threads_.Shared().presentationSwitch);
    input_->SetInputSink(overlayHold_.get());
    // Last, so that a constructor that throws leaves the window no pointer into this session.
    window.SetDrawThread(draw_.get());
    window.SetStatistics(&threads_.Table());
  }

  MainWindow& window_;
  CStatStorage storage_;  // the busy shares behind "Render loop"; made before any thread starts
  ClientThreads threads_;
  std::unique_ptr<overlay::ScreenOverlay> overlay_;
  // Used on the draw thread only: its texture belongs to the renderer there, which frees it.
  std::unique_ptr<overlay::SdlOverlayLayer> overlayLayer_ = std::make_unique<overlay::SdlOverlayLayer>();
  std::unique_ptr<video::DrawThread> draw_;
  std::unique_ptr<OverlayMouseHold> overlayHold_;  // outlives input_, which holds a pointer to it
  std::unique_ptr<WindowInput> input_;
};

StationAddress StationFromConfig(const Config& config, const StartParams& params) {
  StationAddress s;
  s.address = config.serverAddress;
  s.mousePointerPort = static_cast<uint32_t>(config.mousePointerPort);
  s.videoPort = static_cast<uint32_t>(config.videoFramesPort);
  s.audioPort = static_cast<uint32_t>(config.audioFramesPort);
  s.apiPort = static_cast<uint32_t>(config.apiPort);
  s.humanControlPort = static_cast<uint32_t>(config.humanControlPort);
  s.udpVideoPort = static_cast<uint32_t>(config.udpVideoPort);
  s.udpAudioPort = static_cast<uint32_t>(config.udpAudioPort);
  s.clientGuid = params.clientGuid;
  s.token = params.token;
  return s;
}

}  // namespace

std::unique_ptr<Session> CreateSession(const StartParams& params, MainWindow& window) {
  LOGI << "Session " << params.session << " starts its threads";
  return std::make_unique<StreamingSession>(StationFromConfig(Config::Instance(), params), params, window);
}
