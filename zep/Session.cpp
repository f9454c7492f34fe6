#include "zep/Session.h"

#include "sov/base/Log.h"
#include "sov/config/Config.h"
#include "zep/session/ClientThreads.h"

namespace {

class StreamingSession : public Session {
 public:
  explicit StreamingSession(StationAddress station) : threads_(std::move(station)) {}
  void Interrupt() override { threads_.Interrupt(); }

 private:
  ClientThreads threads_;
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

std::unique_ptr<Session> CreateSession(const StartParams& params, MainWindow&) {
  LOGI << "Session " << params.session << " starts its threads";
  return std::make_unique<StreamingSession>(StationFromConfig(Config::Instance(), params));
}
