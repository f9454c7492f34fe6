#pragma once
// The receiving side of a session in this process: the video, audio and API channel threads of
// both transports against a reference station, with the queues handed to consumers the caller
// gives in the decoders' place. Used by the end-to-end tests and the session benchmark.
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "tests/integration/station/StationHarness.h"
#include "zep/channels/ChannelThreads.h"

class MediaChannels {
 public:
  using OnVideo = std::function<void(std::unique_ptr<RECTS_INFO>)>;
  using OnAudio = std::function<void(std::unique_ptr<AUDIO_FRAMES>)>;

  MediaChannels(const stationtest::StationProcess& station, OnVideo onVideo, OnAudio onAudio) {
    address_.address = "127.0.0.1";
    address_.videoPort = address_.udpVideoPort = static_cast<uint32_t>(station.Port(2));
    address_.audioPort = address_.udpAudioPort = static_cast<uint32_t>(station.Port(3));
    address_.apiPort = static_cast<uint32_t>(station.Port(4));
    address_.clientGuid = *platform::Guid::Parse("0a0b0c0d-0506-0708-090a-0b0c0d0e0f10");
    context_.videoFrames = &video_;
    context_.receivedAudio = &audio_;
    Consume(video_, std::move(onVideo));
    Consume(audio_, std::move(onAudio));
    for (auto proc : {VideoNetworkThreadProc, VideoNetworkUdpThreadProc, AudioNetworkThreadProc,
                      AudioNetworkUdpThreadProc, ApiNetworkThreadProc})
      threads_.emplace_back([this, proc] { proc(context_); });
  }
  ~MediaChannels() { Stop(); }
  MediaChannels(const MediaChannels&) = delete;
  MediaChannels& operator=(const MediaChannels&) = delete;

  // Interrupts the session and joins every thread: all their waits include the interrupt.
  void Stop() {
    shared_.interrupt.Set();
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
  }
  SessionShared& Shared() { return shared_; }
  StatsTable& Table() { return table_; }

 private:
  template <class T, class F>
  void Consume(RecordQueue<T>& queue, F onRecord) {
    threads_.emplace_back([&queue, onRecord] {
      try {
        for (;;) onRecord(queue.pop());
      } catch (const InterruptException&) {
      }
    });
  }

  StationAddress address_;
  SessionShared shared_;
  StatsTable table_;
  RecordQueue<RECTS_INFO> video_{shared_.interrupt, 16};
  RecordQueue<AUDIO_FRAMES> audio_{shared_.interrupt, 16};
  ChannelContext context_{address_, shared_, table_};
  std::vector<std::thread> threads_;
};
