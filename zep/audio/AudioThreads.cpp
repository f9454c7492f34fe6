#include "zep/audio/AudioThreads.h"

#include <memory>

#include "platform/HPCWrapper.h"
#include "platform/Thread.h"
#include "platform/Waitable.h"
#include "sov/base/Log.h"
#include "sov/base/ThreadProc.h"
#include "sov/settings/RunTimeSettings.h"
#include "zep/audio/AudioBufferingQueue.h"
#include "zep/audio/AudioDecoderAAC.h"
#include "zep/audio/AudioDevice.h"
#include "zep/audio/AudioReSampler.h"

namespace audio {
namespace {

const char* const kDecodeName = "DecodeAudioThreadProc";
const char* const kResampleName = "ResampleAudioThreadProc";
const char* const kPlayName = "PlayAudioThreadProc";
const char* const kCaptureName = "AudioCaptureThreadProc";
const char* const kResampleCapturedName = "ResampleCapturedAudioThreadProc";

// Waits up to timeoutMs on the session's stop event and, when given, a device's changed event.
// True on time-out; the stop ends the thread, a changed device fails the device.
bool WaitTick(platform::Event& stop, platform::Event* changed, int timeoutMs) {
  const int r =
      changed ? platform::WaitAny({&stop, changed}, timeoutMs) : platform::WaitAny({&stop}, timeoutMs);
  if (r == platform::kWaitTimeout) return true;
  if (r == 0) throw InterruptException(ZEP_SOURCE, __LINE__);
  if (r == 1 && changed)
    throw AudioDeviceError(ErrCode::AccessDenied, "the audio device changed", ZEP_SOURCE, __LINE__);
  throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
}

// Fills the device with what waits in the playable queue, keeping the delay bounded: no more than
// AudioBufferSizeIndex + 1 records may wait before a fill, and no more than the free part of the
// device buffer is written. Returns when the device took nothing for kDeviceStallMs.
void RenderPending(AudioDevice& device, const PlaybackQueues& q) {
  for (;;) {
    const int limit = static_cast<int>(CRunTimeSettings::Get(RunTimeSettings().audioBufferSizeIndex)) + 1;
    DropExcess(*q.playable, limit);
    uint32_t room = 0;
    for (int waited = 0;; waited += device.PeriodMs()) {
      device.ThrowIfLost();
      const uint32_t queued = device.QueuedFrames();
      room = device.BufferFrames() > queued ? device.BufferFrames() - queued : 0;
      if (room > 0) break;
      if (waited >= kDeviceStallMs) return;
      WaitTick(*q.stop, &device.Changed(), device.PeriodMs());
    }
    AudioFramesPtr block = TakeFrames(*q.playable, room);
    // Samples converted for a previous device would be misread by this one.
    if (!SameFormat(block->header.format, device.MixFormat())) continue;
    device.Write(*block);
    if (q.onPlayed) q.onPlayed(*block);
  }
}

// Moves what the device recorded into the capture queue as one record; returns once it did, or
// when the microphone was switched off.
void CaptureAvailable(AudioDevice& device, const MicrophoneQueues& q) {
  for (int waited = 0; q.enabled->IsSet(); waited += device.PeriodMs()) {
    device.ThrowIfLost();
    std::vector<uint8_t> bytes = device.Read();
    if (!bytes.empty()) {
      const Format& format = device.MixFormat();
      auto record = std::make_unique<AUDIO_FRAMES>();
      const uint32_t frames = static_cast<uint32_t>(bytes.size() / format.blockAlign);
      record->header.frameCount = frames;
      record->header.payloadSize = static_cast<uint32_t>(bytes.size());
      record->header.format = format;
      // In 100 ns units like a performance-counter position: when the first frame was recorded.
      record->capturePosition =
          static_cast<uint64_t>(HPCWrapper::NowUs() * 10 - int64_t{frames} * 10000000 / format.samplesPerSec);
      record->payload = std::move(bytes);
      q.captured->push(std::move(record));
      return;
    }
    if (waited >= kDeviceStallMs)
      throw AudioDeviceError(ErrCode::AccessDenied, "nothing recorded for 6000 ms", ZEP_SOURCE, __LINE__);
    WaitTick(*q.stop, &device.Changed(), device.PeriodMs());
  }
}

}  // namespace

int DecodeAudioThreadProc(const PlaybackQueues& q) {
  platform::SetThreadName(kDecodeName);
  return RunThreadProc(kDecodeName, [&] {
    std::unique_ptr<AudioDecoderAAC> decoder;
    AudioFramesPtr pending;
    while (!decoder) {
      pending = q.received->pop();
      try {
        decoder = std::make_unique<AudioDecoderAAC>(pending->header.format);
      } catch (const ErrCodeException& e) {
        // A format no AAC stream can have: wait for a frame that describes the stream properly.
        LOGE << kDecodeName << ": no decoder for the received format: " << e.what();
      }
    }
    for (;;) {
      // Outputs go first: a decoded block never waits for the next frame to arrive.
      while (AudioFramesPtr out = decoder->TakeOutput()) q.decoded->push(std::move(out));
      if (!pending) pending = q.received->pop();
      if (IsSilent(*pending)) {
        q.decoded->push(std::move(pending));  // silence needs no decoding
        continue;
      }
      if (decoder->PutInput(*pending)) pending.reset();
    }
  });
}

int ResampleAudioThreadProc(const PlaybackQueues& q) {
  platform::SetThreadName(kResampleName);
  return RunThreadProc(kResampleName, [&] {
    AudioReSampler resampler;
    for (;;) {
      const int r = platform::WaitAny({q.stop, q.formatReady}, platform::kInfinite);
      if (r == 0) throw InterruptException(ZEP_SOURCE, __LINE__);
      if (r != 1) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
      AudioFramesPtr record = q.decoded->pop();
      const Format device = q.format->Get();
      AudioFramesPtr out;
      if (IsSilent(*record)) {
        out = ConvertSilent(*record, device);
      } else {
        // Follows both sides: a new device, or a decoder whose output format changed.
        if (!resampler.Configured() || !SameFormat(device, resampler.OutputFormat()) ||
            !SameFormat(record->header.format, resampler.InputFormat()))
          resampler.SetFormats(record->header.format, device);
        if (resampler.PutInput(*record)) out = resampler.TakeOutput(*record);
      }
      record.reset();
      if (out) q.playable->push(std::move(out));
    }
  });
}

int PlayAudioThreadProc(const PlaybackQueues& q) {
  platform::SetThreadName(kPlayName);
  return RunThreadProc(kPlayName, [&] {
    for (;;) {
      try {
        AudioDevice device(AudioDevice::Flow::Render);
        device.Start();
        q.format->Set(device.MixFormat());
        q.formatReady->Set();
        for (;;) {
          // A full queue means the device stood still: what waits is too old to play.
          if (q.playable->count() == q.playable->capacity())
            DropAll(*q.playable);
          else
            RenderPending(device, q);
        }
      } catch (const InterruptException&) {
        throw;
      } catch (const ErrCodeException& e) {
        LOGD << kPlayName << ": waiting audio device: " << e.what();
      }
      WaitTick(*q.stop, nullptr, kPlaybackRetryMs);
    }
  });
}

int AudioCaptureThreadProc(const MicrophoneQueues& q) {
  platform::SetThreadName(kCaptureName);
  return RunThreadProc(kCaptureName, [&] {
    std::unique_ptr<AudioDevice> device;
    for (;;) {
      try {
        if (!q.enabled->IsSet()) {
          if (device && device->Running()) device->Stop();  // stopped, not closed
          const int r = platform::WaitAny({q.stop, q.enabled}, platform::kInfinite);
          if (r == 0) throw InterruptException(ZEP_SOURCE, __LINE__);
          if (r != 1) throw ErrCodeException(ErrCode::InvalidArg, ZEP_SOURCE, __LINE__);
        }
        if (!device) device = std::make_unique<AudioDevice>(AudioDevice::Flow::Capture);
        if (!device->Running()) device->Start();
        CaptureAvailable(*device, q);
        continue;
      } catch (const InterruptException&) {
        throw;
      } catch (const ErrCodeException& e) {
        LOGD << kCaptureName << ": waiting audio capture device: " << e.what();
      }
      // A device that failed once is opened afresh: a removed one never recovers.
      device.reset();
      WaitTick(*q.stop, nullptr, kCaptureRetryMs);
    }
  });
}

int ResampleCapturedAudioThreadProc(const MicrophoneQueues& q) {
  platform::SetThreadName(kResampleCapturedName);
  return RunThreadProc(kResampleCapturedName, [&] {
    AudioReSampler resampler;
    const Format microphone = MicrophoneFormat();
    for (;;) {
      AudioFramesPtr record = q.captured->pop();
      AudioFramesPtr out;
      if (IsSilent(*record)) {
        out = ConvertSilent(*record, microphone);
      } else {
        if (!resampler.Configured() || !SameFormat(record->header.format, resampler.InputFormat()))
          resampler.SetFormats(record->header.format, microphone);
        if (resampler.PutInput(*record)) out = resampler.TakeOutput(*record);
      }
      record.reset();
      if (out) q.toSend->push(std::move(out));
    }
  });
}

}  // namespace audio
