#pragma once
// The events and shared blocks of one streaming session, owned by the session object and handed to
// its threads by reference.
#include <atomic>
#include <cstdint>

#include "platform/Event.h"
#include "zep/session/SharedBlocks.h"

struct SessionShared {
  // Set once at shutdown; every queue and every wait of the session also waits on it.
  platform::Event interrupt{true};
  // Set when the playback device's format is known.
  platform::Event playbackFormat{true};
  // Set while the microphone is to be captured; driven by the API sender.
  platform::Event microphone{true};

  UdpParamsBlock udp;
  ResolutionRequest resolution;
  ClipboardBlock clipboard;
  IncomingRegistry incoming;
  PictureScale scale;
  // 0 while the video channel (re)connects, 1 after each message received on it.
  std::atomic<uint32_t> videoAlive{0};
  // Video frames taken from the station over either transport, for the text statistics line.
  std::atomic<uint64_t> videoFramesReceived{0};
  // Bytes the TCP video and audio channels received, for the text statistics line: cells 21 and 22
  // hold the KCP transports' figures only.
  std::atomic<uint64_t> tcpVideoBytes{0};
  std::atomic<uint64_t> tcpAudioBytes{0};
  // The presentation switch of Ctrl+Alt+Z, flipped by the window thread and read by the draw
  // thread: while set the picture is shown without the overlay.
  std::atomic<uint8_t> presentationSwitch{0};
  // When the window last got a mouse event (milliseconds of the high-precision clock), whether or
  // not it went to the station.
  std::atomic<int64_t> lastMouseInputMs{0};
};

// Client time minus station time in microseconds, from the latest ping reply. Process-wide: the
// presentation compares frame stamps with it.
std::atomic<int64_t>& ClockOffsetUs();
