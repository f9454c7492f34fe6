#pragma once
// The session object: the session's events, queues and shared blocks, and its threads in start
// order. It lives until the process ends: the network threads are never joined and keep using it.
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "sov/queue/MediaQueues.h"
#include "zep/audio/AudioThreads.h"
#include "zep/channels/ChannelContext.h"
#include "zep/cursor/RemoteCursor.h"
#include "zep/input/Gamepad.h"
#include "zep/session/SessionShared.h"
#include "zep/stats/StatsTable.h"
#include "zep/video/ClientArea.h"
#include "zep/video/TripleBuffer.h"
#include "zep/video/VideoDecoder.h"

// The most the media threads are given, all together, to leave at shutdown.
constexpr int kMediaThreadsGraceMs = 1000;

class ClientThreads {
 public:
  // Builds every shared object and starts the threads. Throws on failure.
  // Throws when no decoding path works (after "No supported card found").
  explicit ClientThreads(StationAddress station, bool forceSoftwareDecode = false);
  ~ClientThreads();
  ClientThreads(const ClientThreads&) = delete;
  ClientThreads& operator=(const ClientThreads&) = delete;

  // Sets the interrupt and waits at most kMediaThreadsGraceMs in total for the media threads; the
  // network threads are left to end with the process. Every controller's rumble is stopped. True
  // when every media thread left in time.
  bool Interrupt();

  // Runs `build`, the rest of the session's set-up once the threads run (overlay, presenter). A
  // failure there must not unwind this object: the network threads are never joined and use its
  // queues. `report` is given the exception's text, the threads are interrupted, the logs flushed
  // and the process ends at once with exit code 0, as a session that cannot be built does.
  void CompleteOrExit(const std::function<void()>& build,
                      const std::function<void(const std::string&)>& report);

  SessionShared& Shared() { return shared_; }
  // The statistics the overlay shows.
  StatsTable& Table() { return table_; }
  video::TripleBuffer& Pictures() { return pictures_; }
  video::ClientArea& VideoArea() { return videoArea_; }
  // Where the window thread puts control events (never blocking: a full queue drops them).
  BlockingQueue<HUMAN_CONTROL_EVENT_PACKET>& ControlEvents() { return controlEvents_; }
  cursor::CursorHandOver& Cursor() { return cursor_; }
  input::GamepadHub& Gamepads() { return gamepads_; }

 private:
  struct Worker {
    const char* name;
    bool media;  // joined (within the grace time) at shutdown; network threads are not
    std::unique_ptr<platform::Event> ended;
    std::thread thread;
  };
  template <class Proc>
  void Start(const char* name, bool media, Proc proc);

  StationAddress station_;
  SessionShared shared_;
  StatsTable table_;
  // Made before the threads start and kept until the process ends: the decoder writes the
  // triple buffer, the window thread reads it and sets the client area.
  video::DecodePath decodePath_;
  video::TripleBuffer pictures_;
  video::ClientArea videoArea_;

  RecordQueue<RECTS_INFO> videoFrames_;
  RecordQueue<MOUSE_INFO> cursorShapes_;
  RecordQueue<AUDIO_FRAMES> receivedAudio_;
  RecordQueue<AUDIO_FRAMES> decodedAudio_;
  RecordQueue<AUDIO_FRAMES> playableAudio_;
  RecordQueue<AUDIO_FRAMES> capturedMicrophone_;
  RecordQueue<AUDIO_FRAMES> microphoneToSend_;
  BlockingQueue<HUMAN_CONTROL_EVENT_PACKET> controlEvents_;
  audio::PlaybackFormatBlock playbackFormat_;
  cursor::CursorHandOver cursor_;
  input::GamepadHub gamepads_;

  ChannelContext context_;
  std::vector<Worker> workers_;  // start order
};
