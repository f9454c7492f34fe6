#include "zep/session/ClientThreads.h"

#include <algorithm>

#include "platform/Waitable.h"
#include "sov/base/Log.h"
#include "sov/channel/UdpParameters.h"
#include "sov/config/Config.h"
#include "sov/protocol/Codec.h"
#include "zep/channels/ChannelThreads.h"

ClientThreads::ClientThreads(StationAddress station)
    : station_(std::move(station)),
      videoFrames_(shared_.interrupt, kMediaQueueCapacity),
      cursorShapes_(shared_.interrupt, kMediaQueueCapacity),
      receivedAudio_(shared_.interrupt, kMediaQueueCapacity),
      decodedAudio_(shared_.interrupt, kMediaQueueCapacity),
      playableAudio_(shared_.interrupt, kMediaQueueCapacity),
      capturedMicrophone_(shared_.interrupt, kCapturedMicrophoneCapacity),
      microphoneToSend_(shared_.interrupt, kMediaQueueCapacity),
      controlEvents_(shared_.interrupt, kControlQueueCapacity),
      context_{station_, shared_, cells_} {
  // The decoders, the cursor and audio playback are not part of this build: their queues have no
  // consumer yet, so the receivers free what they get instead of filling them.
  // The KCP channels start on conversation 0 over TCP mode with the configured tuning, until the
  // API sender announces the real parameters.
  proto::UDP_PARAMETERS initial = proto::MakeUdpParameters(Config::Instance(), station_.clientGuid, 0);
  initial.video.conv = initial.audio.conv = 0;
  shared_.udp.Reset(initial);
  context_.microphoneToSend = &microphoneToSend_;
  context_.controlEvents = &controlEvents_;

  workers_.reserve(8);
  Start("VideoNetworkThreadProc", false, [this] { return VideoNetworkThreadProc(context_); });
  Start("VideoNetworkUdpThreadProc", false, [this] { return VideoNetworkUdpThreadProc(context_); });
  Start("ApiNetworkThreadProc", false, [this] { return ApiNetworkThreadProc(context_); });
  Start("MouseNetworkThreadProc", false, [this] { return MouseNetworkThreadProc(context_); });
  Start("AudioNetworkThreadProc", false, [this] { return AudioNetworkThreadProc(context_); });
  Start("AudioNetworkUdpThreadProc", false, [this] { return AudioNetworkUdpThreadProc(context_); });
  Start("KeyMouseGrabberThreadProc", false, [this] { return KeyMouseGrabberThreadProc(context_); });
  Start("StatsThreadProc", true, [this] { return StatsThreadProc(shared_, cells_); });
}

template <class Proc>
void ClientThreads::Start(const char* name, bool media, Proc proc) {
  Worker& w = workers_.emplace_back(Worker{name, media, std::make_unique<platform::Event>(true), {}});
  platform::Event* ended = w.ended.get();
  w.thread = std::thread([proc, ended] {
    proc();
    ended->Set();
  });
}

bool ClientThreads::Interrupt() {
  shared_.interrupt.Set();
  std::vector<platform::Waitable*> media;
  for (Worker& w : workers_)
    if (w.media) media.push_back(w.ended.get());
  const bool inTime = media.empty() || platform::WaitAll(media, kMediaThreadsGraceMs);
  if (!inTime) LOGW << "Media threads still running after " << kMediaThreadsGraceMs << " ms";
  for (Worker& w : workers_) {
    if (!w.thread.joinable()) continue;
    if (w.media && w.ended->IsSet())
      w.thread.join();
    else
      w.thread.detach();  // ends with the process
  }
  return inTime;
}

ClientThreads::~ClientThreads() {
  if (!shared_.interrupt.IsSet()) Interrupt();
}
