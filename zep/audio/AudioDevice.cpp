#include "zep/audio/AudioDevice.h"

#include <algorithm>
#include <mutex>

#include "sov/base/Log.h"

namespace audio {
namespace {

// SDL's audio start, stop, open and close are not safe from two threads at once; the player and
// the capture thread take turns.
std::mutex& SdlAudioLock() {
  static std::mutex lock;
  return lock;
}

[[noreturn]] void ThrowSdl(const char* what, int line) {
  throw AudioDeviceError(ErrCode::Fail, std::string(what) + ": " + SDL_GetError(), ZEP_SOURCE, line);
}

// The sample rate and layout the station's sound arrives in; the device may change both.
constexpr int kWantedRate = 48000;
constexpr int kWantedChannels = 2;
constexpr int kWantedPeriodFrames = 480;

}  // namespace

AudioDevice::AudioDevice(Flow flow) : flow_(flow) {
  const int capture = flow == Flow::Capture ? 1 : 0;
  std::lock_guard lock(SdlAudioLock());
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) ThrowSdl("SDL_InitSubSystem", __LINE__);
  subsystem_ = true;
  struct QuitOnThrow {
    AudioDevice* self;
    ~QuitOnThrow() {
      if (self && self->subsystem_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
  } guard{this};

  char* name = nullptr;
  SDL_AudioSpec defaultSpec{};
  const bool named = SDL_GetDefaultAudioInfo(&name, &defaultSpec, capture) == 0 && name != nullptr;
  LOGI << "Using audio device: " << (named ? name : "(null)");
  SDL_free(name);

  SDL_AudioSpec want{};
  want.freq = kWantedRate;
  want.format = AUDIO_F32SYS;
  want.channels = kWantedChannels;
  want.samples = kWantedPeriodFrames;
  id_ = SDL_OpenAudioDevice(nullptr, capture, &want, &spec_,
                            SDL_AUDIO_ALLOW_FREQUENCY_CHANGE | SDL_AUDIO_ALLOW_CHANNELS_CHANGE);
  if (id_ == 0) ThrowSdl("SDL_OpenAudioDevice", __LINE__);
  if (spec_.channels == 0 || spec_.channels > 8 || spec_.freq <= 0) {
    SDL_CloseAudioDevice(id_);
    throw AudioDeviceError(ErrCode::Fail, "unusable device format", ZEP_SOURCE, __LINE__);
  }
  format_ = MakeFormat(static_cast<uint32_t>(spec_.freq), spec_.channels, AV_SAMPLE_FMT_FLT);
  periodMs_ = std::max(1, spec_.samples * 1000 / spec_.freq);
  SDL_AddEventWatch(&AudioDevice::OnEvent, this);
  guard.self = nullptr;
  LOGD << "AudioDevice: " << (capture ? "capture " : "playback ") << spec_.freq << " Hz, "
       << int{spec_.channels} << " channels, float, " << spec_.samples << " frames a period";
}

AudioDevice::~AudioDevice() {
  std::lock_guard lock(SdlAudioLock());
  SDL_DelEventWatch(&AudioDevice::OnEvent, this);
  SDL_CloseAudioDevice(id_);
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

int AudioDevice::OnEvent(void* self, SDL_Event* event) {
  auto* device = static_cast<AudioDevice*>(self);
  if (event->type == SDL_AUDIODEVICEREMOVED && event->adevice.which == device->id_ &&
      (event->adevice.iscapture != 0) == (device->flow_ == Flow::Capture))
    device->changed_.Set();
  return 1;
}

void AudioDevice::Start() {
  if (flow_ == Flow::Capture) SDL_ClearQueuedAudio(id_);  // nothing recorded before the start is sent
  SDL_PauseAudioDevice(id_, 0);
  running_ = true;
}

void AudioDevice::Stop() {
  SDL_PauseAudioDevice(id_, 1);
  running_ = false;
}

void AudioDevice::ThrowIfLost() const {
  if (changed_.IsSet() || SDL_GetAudioDeviceStatus(id_) == SDL_AUDIO_STOPPED)
    throw AudioDeviceError(ErrCode::AccessDenied, "the audio device is gone", ZEP_SOURCE, __LINE__);
}

uint32_t AudioDevice::QueuedFrames() const {
  return SDL_GetQueuedAudioSize(id_) / format_.blockAlign;
}

void AudioDevice::Write(const AUDIO_FRAMES& record) {
  const std::size_t bytes = std::size_t{UsableFrames(record)} * format_.blockAlign;
  const void* data = record.payload.data();
  if (IsSilent(record)) {
    if (silence_.size() < bytes) silence_.resize(bytes, spec_.silence);
    data = silence_.data();
  }
  if (bytes > 0 && SDL_QueueAudio(id_, data, static_cast<Uint32>(bytes)) != 0)
    ThrowSdl("SDL_QueueAudio", __LINE__);
}

std::vector<uint8_t> AudioDevice::Read() {
  const Uint32 available = SDL_GetQueuedAudioSize(id_);
  std::vector<uint8_t> out(available - available % format_.blockAlign);
  if (!out.empty()) out.resize(SDL_DequeueAudio(id_, out.data(), static_cast<Uint32>(out.size())));
  return out;
}

}  // namespace audio
