#pragma once
// PCM in one format to PCM in another with libswresample at high quality. Input is staged in a
// fixed 1 MiB buffer, so one record's payload can never make it grow without bound.
#include <cstddef>
#include <vector>

#include "zep/audio/AudioFormat.h"
#include "zep/media/AvHandles.h"

namespace audio {

class AudioReSampler {
 public:
  static constexpr std::size_t kBufferSize = 1 << 20;

  AudioReSampler();

  // (Re)configures the conversion; what was staged or held back by the filter is dropped. An
  // unsupported format throws ErrCodeException(ErrCode::InvalidArg).
  void SetFormats(const Format& input, const Format& output);
  bool Configured() const { return swr_ != nullptr; }
  const Format& InputFormat() const { return input_; }
  const Format& OutputFormat() const { return output_; }

  // Stages the record's samples. A payload larger than the buffer is refused with a logged error
  // (false) and the record is lost.
  bool PutInput(const AUDIO_FRAMES& record);
  // Converts what was staged into a new record with `source`'s header and the output format, or
  // none when the filter has nothing to give yet.
  AudioFramesPtr TakeOutput(const AUDIO_FRAMES& source);

 private:
  media::SwrContextPtr swr_;
  Format input_{};
  Format output_{};
  std::vector<uint8_t> staged_;  // capacity kBufferSize, kept across records
};

}  // namespace audio
