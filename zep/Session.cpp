#include "zep/Session.h"

#include "sov/base/Log.h"
#include "sov/config/Config.h"
#include "zep/MainWindow.h"
#include "zep/WindowInput.h"
#include "zep/session/ClientThreads.h"
#include "zep/video/Presenter.h"

namespace {

class StreamingSession : public Session {
 public:
  StreamingSession(StationAddress station, const StartParams& params, MainWindow& window)
      : threads_(std::move(station), params.forceSoftwareDecode) {
    video::PresenterParams p;
    p.buffer = &threads_.Pictures();
    p.area = &threads_.VideoArea();
    p.table = &threads_.Table();
    p.clockOffsetUs = &ClockOffsetUs();
    p.publishScale = [this](video::QuadScale s) { threads_.Shared().scale.Set({s.x, s.y}); };
    presenter_ = std::make_unique<video::Presenter>(window.Handle(), std::move(p));
    input_ = std::make_unique<WindowInput>(window.Handle(), threads_);
  }
  void Interrupt() override { threads_.Interrupt(); }
  video::Presenter* Presentation() override { return presenter_.get(); }
  IWindowEventHandler* WindowEvents() override { return input_.get(); }

 private:
  ClientThreads threads_;
  std::unique_ptr<video::Presenter> presenter_;
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
