#pragma once
// The default playback or recording device through SDL's queued audio: playback pushes samples
// (free space = the 100 ms buffer minus what is queued), capture pulls what the device recorded.
// A removed device sets the device-changed event; the sound server itself moves open streams when
// the default device changes.
#include <SDL.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "sov/base/BaseException.h"
#include "zep/audio/AudioFormat.h"

namespace audio {

// A failed device call with the audio system's own explanation.
class AudioDeviceError : public ErrCodeException {
 public:
  AudioDeviceError(int32_t code, std::string detail, const char* source, int line)
      : ErrCodeException(code, source, line), detail_(std::move(detail)) {}

 protected:
  std::string FormatWhat() const override { return ErrCodeException::FormatWhat() + "; " + detail_; }

 private:
  std::string detail_;
};

// The device buffer: how far ahead of the speaker the player may write.
constexpr uint32_t kDeviceBufferMs = 100;

class AudioDevice {
 public:
  enum class Flow { Render, Capture };

  // Opens the default device of the flow, paused. Throws AudioDeviceError when there is none.
  explicit AudioDevice(Flow flow);
  ~AudioDevice();
  AudioDevice(const AudioDevice&) = delete;
  AudioDevice& operator=(const AudioDevice&) = delete;

  const Format& MixFormat() const { return format_; }
  uint32_t BufferFrames() const { return format_.samplesPerSec * kDeviceBufferMs / 1000; }
  // How often the device takes or gives a block; the pace the threads look at it.
  int PeriodMs() const { return periodMs_; }
  // Set once the device was removed; stays set for the object's life.
  platform::Event& Changed() { return changed_; }

  void Start();
  void Stop();
  bool Running() const { return running_; }
  // Throws AudioDeviceError(E_ACCESSDENIED) once the device is gone.
  void ThrowIfLost() const;

  // Playback: frames queued and not yet played; queues a record's samples (silence for a silent one).
  uint32_t QueuedFrames() const;
  void Write(const AUDIO_FRAMES& record);
  // Capture: every whole frame recorded since the last call.
  std::vector<uint8_t> Read();

 private:
  static int OnEvent(void* self, SDL_Event* event);

  const Flow flow_;
  bool subsystem_ = false;
  SDL_AudioDeviceID id_ = 0;
  SDL_AudioSpec spec_{};
  Format format_{};
  int periodMs_ = 10;
  bool running_ = false;
  platform::Event changed_{true};
  std::vector<uint8_t> silence_;  // grown to the largest silent record written
};

}  // namespace audio
