#include "zep/session/ClientThreads.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/HPCWrapper.h"
#include "platform/Waitable.h"
#include "sov/base/Log.h"
#include "sov/channel/UdpParameters.h"
#include "sov/config/Config.h"
#include "sov/protocol/Codec.h"
#include "zep/channels/ChannelThreads.h"
#include "zep/stats/StatsThread.h"
#include "zep/video/DecodeChain.h"
#include "zep/video/DecodePathChoice.h"

namespace {

// What the TCP media channels had received at the previous statistics line.
struct TcpByteCounts {
  uint64_t video = 0;
  uint64_t audio = 0;
  int64_t atMs = -1;
};

double CellNumber(const StatsTable& table, int cell) {
  const StatValue v = table.Value(cell);
  return v.tag == VT_R4 ? static_cast<double>(v.r) : static_cast<double>(v.i);
}

// Megabits per second received on the channel's transport: the KCP transport's own figure (the
// cell), or over TCP the bytes since the previous line.
std::string ReceiveRate(const StatsTable& table, int cell, bool overTcp, uint64_t tcpBytes,
                        uint64_t lastBytes, int64_t elapsedMs) {
  if (!overTcp) return table.Format(cell);
  char text[32];
  std::snprintf(text, sizeof text, "%.2f",
                elapsedMs > 0 ? static_cast<double>(tcpBytes - lastBytes) * 8 / 1000.0 / elapsedMs : 0.0);
  return text;
}

// The live figures in the text log once a second, whether or not the statistics CSV is on.
void LogStatisticsLine(const StatsTable& table, const SessionShared& shared, TcpByteCounts& last) {
  const int64_t now = HPCWrapper::NowMs();
  const int64_t elapsedMs = last.atMs < 0 ? 0 : now - last.atMs;
  const uint64_t video = shared.tcpVideoBytes.load(std::memory_order_relaxed);
  const uint64_t audio = shared.tcpAudioBytes.load(std::memory_order_relaxed);
  const proto::UDP_PARAMETERS udp = shared.udp.Current();
  const std::string videoRate = ReceiveRate(
      table, kStatVideoMbpsRecv, udp.video.transportMode == kTransportModeTcp, video, last.video, elapsedMs);
  const std::string audioRate = ReceiveRate(
      table, kStatAudioMbpsRecv, udp.audio.transportMode == kTransportModeTcp, audio, last.audio, elapsedMs);
  last = {video, audio, now};
  char line[320];
  std::snprintf(line, sizeof line,
                "Statistics: frames received %" PRIu64
                ", FPS (server) %s, latency %.2f ms, jitter %s ms, clock offset %" PRId64
                " us, video %s Mbit/s, audio %s Mbit/s, video alive %u",
                shared.videoFramesReceived.load(std::memory_order_relaxed),
                table.Format(kStatFpsServer).c_str(), CellNumber(table, kStatNetworkLatency) / 1000.0,
                table.Format(kStatNetworkJitter).c_str(), ClockOffsetUs().load(std::memory_order_relaxed),
                videoRate.c_str(), audioRate.c_str(), shared.videoAlive.load(std::memory_order_relaxed));
  LOGI << line;
}

}  // namespace

ClientThreads::ClientThreads(StationAddress station, bool forceSoftwareDecode,
                             const FailureReport& reportStartFailure)
    : station_(std::move(station)),
      videoFrames_(shared_.interrupt, kMediaQueueCapacity),
      cursorShapes_(shared_.interrupt, kMediaQueueCapacity),
      receivedAudio_(shared_.interrupt, kMediaQueueCapacity),
      decodedAudio_(shared_.interrupt, kMediaQueueCapacity),
      playableAudio_(shared_.interrupt, kMediaQueueCapacity),
      capturedMicrophone_(shared_.interrupt, kMicrophoneQueueCapacity),
      microphoneToSend_(shared_.interrupt, kMediaQueueCapacity),
      controlEvents_(shared_.interrupt, kControlQueueCapacity),
      context_{station_, shared_, table_} {
  decodePath_ = video::ChooseDecodePath(forceSoftwareDecode);
  context_.videoFrames = &videoFrames_;
  context_.receivedAudio = &receivedAudio_;
  // The KCP channels start on conversation 0 over TCP mode with the configured tuning, until the
  // API sender announces the real parameters.
  proto::UDP_PARAMETERS initial = proto::MakeUdpParameters(Config::Instance(), station_.clientGuid, 0);
  initial.video.conv = initial.audio.conv = 0;
  shared_.udp.Reset(initial);
  context_.microphoneToSend = &microphoneToSend_;
  context_.controlEvents = &controlEvents_;
  context_.cursorShapes = &cursorShapes_;
  const bool gamepads = input::InitGamepadSupport();
  if (gamepads) context_.gamepad = &gamepads_;
  // Until the hot key exists, the statistics CSV is switched on from the environment.
  if (const char* csv = std::getenv("ZEP_STATS_CSV"); csv != nullptr && std::string_view(csv) == "1")
    SetStatsCsvEnabled(true);

  StatsThreadParams stats;
  stats.stop = &shared_.interrupt;
  stats.table = &table_;
  stats.mouseShapes = QueueGauge(cursorShapes_);
  stats.videoFrames = QueueGauge(videoFrames_);
  stats.receivedAudio = QueueGauge(receivedAudio_);
  stats.decodedAudio = QueueGauge(decodedAudio_);
  stats.playableAudio = QueueGauge(playableAudio_);
  stats.afterRound = [this, last = TcpByteCounts{}](const StatsTable& table) mutable {
    LogStatisticsLine(table, shared_, last);
  };

  workers_.reserve(17);
  // From the first thread on, a failure must not unwind this object: the threads use its queues.
  try {
    Start("VideoNetworkThreadProc", false, [this] { return VideoNetworkThreadProc(context_); });
    Start("VideoNetworkUdpThreadProc", false, [this] { return VideoNetworkUdpThreadProc(context_); });
    Start("ApiNetworkThreadProc", false, [this] { return ApiNetworkThreadProc(context_); });
    Start("MouseNetworkThreadProc", false, [this] { return MouseNetworkThreadProc(context_); });
    Start("AudioNetworkThreadProc", false, [this] { return AudioNetworkThreadProc(context_); });
    Start("AudioNetworkUdpThreadProc", false, [this] { return AudioNetworkUdpThreadProc(context_); });
    const audio::PlaybackQueues playback{&receivedAudio_,  &decodedAudio_,          &playableAudio_,
                                         &playbackFormat_, &shared_.playbackFormat, &shared_.interrupt,
                                         nullptr};
    const audio::MicrophoneQueues microphone{&shared_.interrupt, &shared_.microphone, &capturedMicrophone_,
                                             &microphoneToSend_};
    Start("DecodeAudioThreadProc", true, [playback] { return audio::DecodeAudioThreadProc(playback); });
    Start("ResampleAudioThreadProc", true, [playback] { return audio::ResampleAudioThreadProc(playback); });
    Start("PlayAudioThreadProc", true, [playback] { return audio::PlayAudioThreadProc(playback); });
    Start("AudioCaptureThreadProc", true, [microphone] { return audio::AudioCaptureThreadProc(microphone); });
    Start("ResampleCapturedAudioThreadProc", true,
          [microphone] { return audio::ResampleCapturedAudioThreadProc(microphone); });
    Start("KeyMouseGrabberThreadProc", false, [this] { return KeyMouseGrabberThreadProc(context_); });
    // Joined at shutdown like a media thread: it uses the controllers this object owns.
    if (gamepads)
      Start("XInputGrabberThreadProc", true,
            [this] { return input::XInputGrabberThreadProc(gamepads_, controlEvents_, shared_.interrupt); });
    Start("DecoderThreadProc", true, [this] {
      return video::DecoderThreadProc({&videoFrames_, &table_, &pictures_, &decodePath_, &videoArea_});
    });
    Start("StatsThreadProc", true, [stats] { return StatsThreadProc(stats); });
    Start("DrawMouseThreadProc", true,
          [this] { return cursor::DrawMouseThreadProc(cursorShapes_, cursor_); });
  } catch (...) {
    if (workers_.empty()) throw;
    EndStartUp(reportStartFailure, std::current_exception());
  }
}

template <class Proc>
void ClientThreads::Start(const char* name, bool media, Proc proc) {
  Worker& w = workers_.emplace_back(Worker{name, media, std::make_unique<platform::Event>(true), {}});
  platform::Event* ended = w.ended.get();
  try {
    w.thread = std::thread([proc, ended] {
      proc();
      ended->Set();
    });
  } catch (...) {
    workers_.pop_back();  // never started: nothing to wait for or detach
    throw;
  }
}

bool ClientThreads::Interrupt() {
  shared_.interrupt.Set();
  std::vector<platform::Waitable*> media;
  for (Worker& w : workers_)
    if (w.media) media.push_back(w.ended.get());
  const bool inTime = media.empty() || platform::WaitAll(media, kMediaThreadsGraceMs);
  if (!inTime) LOGW << "Media threads still running after " << kMediaThreadsGraceMs << " ms";
  // Rumbles are started for a minute at a time; the process ends without closing the controllers.
  if (context_.gamepad != nullptr) gamepads_.StopFeedback();
  for (Worker& w : workers_) {
    if (!w.thread.joinable()) continue;
    if (w.media && w.ended->IsSet())
      w.thread.join();
    else
      w.thread.detach();  // ends with the process
  }
  return inTime;
}

void ClientThreads::CompleteOrExit(const std::function<void()>& build, const FailureReport& report) {
  try {
    build();
  } catch (...) {
    EndStartUp(report, std::current_exception());
  }
}

void ClientThreads::EndStartUp(const FailureReport& report, const std::exception_ptr& failure) {
  std::string what;
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  if (report)
    report(what);
  else
    LOGE << "ClientThreads::ClientThreads: unhandled exception: " << what;
  Interrupt();
  zlog::Flush();
  std::_Exit(0);
}

ClientThreads::~ClientThreads() {
  if (!shared_.interrupt.IsSet()) Interrupt();
}
