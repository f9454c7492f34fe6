#pragma once
// The audio threads of a session: decode, resample and play the station's sound; capture and
// resample the microphone. Records move between them only through the session's queues.
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/Event.h"
#include "zep/audio/AudioFormat.h"

namespace audio {

// The playback device's format, written by the player and read by the resampler.
class PlaybackFormatBlock {
 public:
  void Set(const Format& format) {
    std::lock_guard lock(lock_);
    format_ = format;
  }
  Format Get() const {
    std::lock_guard lock(lock_);
    return format_;
  }

 private:
  mutable std::mutex lock_;
  Format format_{};  // guarded by lock_
};

// Pauses between attempts to open a device.
constexpr int kPlaybackRetryMs = 500;
constexpr int kCaptureRetryMs = 5000;
// The longest a device may stay silent (no room to fill, nothing recorded) before it counts as failed.
constexpr int kDeviceStallMs = 6000;

struct PlaybackQueues {
  AudioFramesQueue* received = nullptr;
  AudioFramesQueue* decoded = nullptr;
  AudioFramesQueue* playable = nullptr;
  PlaybackFormatBlock* format = nullptr;
  platform::Event* formatReady = nullptr;  // manual reset; set once the format is first known
  platform::Event* stop = nullptr;         // the session's interrupt
  // Called after each fill with the record handed to the device (measurements only).
  std::function<void(const AUDIO_FRAMES&)> onPlayed;
};

int DecodeAudioThreadProc(const PlaybackQueues& q);
int ResampleAudioThreadProc(const PlaybackQueues& q);
int PlayAudioThreadProc(const PlaybackQueues& q);

struct MicrophoneQueues {
  platform::Event* stop = nullptr;
  platform::Event* enabled = nullptr;  // the session's microphone event
  AudioFramesQueue* captured = nullptr;
  AudioFramesQueue* toSend = nullptr;
};

int AudioCaptureThreadProc(const MicrophoneQueues& q);
int ResampleCapturedAudioThreadProc(const MicrophoneQueues& q);

}  // namespace audio
