#pragma once
// The session object: the session's events, queues and shared blocks, and its threads in start
// order. It lives until the process ends: the network threads are never joined and keep using it.
#include <exception>
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
  // Given the text of the exception that ends a start-up once threads run.
  using FailureReport = std::function<void(const std::string&)>;

  // Builds every shared object and starts the threads. Throws on failure before the first thread
  // runs, for example when no decoding path works (after "No supported card found"). A thread that
  // cannot be started after others run ends the process as CompleteOrExit does, with
  // `reportStartFailure` (an error record of the constructor when none is given).
  explicit ClientThreads(StationAddress station, bool forceSoftwareDecode = false,
                         const FailureReport& reportStartFailure = {});
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
  void CompleteOrExit(const std::function<void()>& build, const FailureReport& report);

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
  // Starts one worker; when its thread cannot start, it is not kept and the exception goes on.
  template <class Proc>
  void Start(const char* name, bool media, Proc proc);
  // The end of a start-up that failed with `failure` while threads run: reported, the threads
  // interrupted, the logs flushed, and the process ended with exit code 0 without unwinding.
  [[noreturn]] void EndStartUp(const FailureReport& report, const std::exception_ptr& failure);

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
