#include "tools/station-sim/Streamers.h"

#include <algorithm>
#include <cstring>

#include "sov/protocol/Codec.h"
#include "tools/station-sim/Wire.h"

namespace station {

VideoStreamer::VideoStreamer(const StationOptions& options,
                             const std::vector<std::shared_ptr<const Clip>>& clips, EncoderPool& encoders,
                             EventLog& log, const char* channel, int64_t conn,
                             std::shared_ptr<ClientState> state)
    : options_(options),
      clips_(clips),
      encoders_(encoders),
      log_(log),
      channel_(channel),
      conn_(conn),
      state_(std::move(state)) {
  due_ = NowMicros();
}

void VideoStreamer::Rebuild(const ClientSnapshot& s) {
  generation_ = s.videoGeneration;
  fps_ = std::clamp(s.fps, 1, 240);
  source_.reset();
  try {
    if (!clips_.empty()) {
      std::string note;
      source_ = MakeClipSource(clips_, s.codec, note);
      if (!note.empty())
        log_.Write(JsonLine("clip_mismatch").Str("channel", channel_).Int("conn", conn_).Str("note", note));
    } else {
      VideoSettings v;
      v.codec = s.codec;
      v.width = s.width > 0 ? s.width : options_.width;
      v.height = s.height > 0 ? s.height : options_.height;
      v.fps = fps_;
      v.bitrate = s.bitrate;
      v.threads = options_.encoderThreads;
      v.keyIntervalFrames = options_.keyInterval;
      source_ = MakeLiveSource(encoders_, v);
    }
    log_.Write(JsonLine("video_stream")
                   .Str("channel", channel_)
                   .Int("conn", conn_)
                   .Str("codec", CodecName(s.codec))
                   .Str("source", source_->Describe())
                   .Int("width", source_->Width())
                   .Int("height", source_->Height())
                   .Int("fps", fps_)
                   .Int("bitrate", s.bitrate));
  } catch (const EncoderLimit& e) {
    // Past the limit this stream ends: a client left without pictures would only wait.
    log_.Write(JsonLine("encoder_limit")
                   .Str("channel", channel_)
                   .Int("conn", conn_)
                   .Int("max_encoders", encoders_.Max())
                   .Str("what", e.what()));
    throw;
  } catch (const std::exception& e) {
    // Keep the channel up without pictures until the client asks for something that works.
    log_.Write(JsonLine("encoder_failed")
                   .Str("channel", channel_)
                   .Int("conn", conn_)
                   .Str("codec", CodecName(s.codec))
                   .Str("what", e.what()));
  }
}

bool VideoStreamer::Produce(int64_t now, std::vector<uint8_t>& out) {
  if (now < due_) return false;
  ClientSnapshot s = state_->Get();
  if (s.videoGeneration != generation_) Rebuild(s);
  const int64_t period = 1000000 / fps_;
  // Never burst to catch up after a stall: pace from now.
  due_ = std::max(due_ + period, now);
  if (!source_) return false;
  if (options_.videoFrames > 0 && sent_ >= static_cast<uint64_t>(options_.videoFrames)) {
    if (!limitLogged_)
      log_.Write(JsonLine("video_limit").Str("channel", channel_).Int("conn", conn_).Int("frames", sent_));
    limitLogged_ = true;
    return false;
  }
  if (!source_->Next(s.pointerX, s.pointerY, last_)) return false;
  RECTS_INFO frame;
  frame.header.codec = static_cast<uint16_t>(last_.codec);
  frame.header.frameStamp = last_.stamp;
  const uint32_t number = static_cast<uint32_t>(last_.number);
  std::memcpy(frame.header.opaque, &number, sizeof number);
  if (options_.blocks) {
    // Blocks the client reads and discards; their content only helps a person reading a capture.
    frame.blockA.assign({'Z', 'S', 'T', 'A', 0, 0, 0, 0});
    PutU32(frame.blockA.data() + 4, number);
    frame.blockB.assign(8, 0);
    PutU64(frame.blockB.data(), static_cast<uint64_t>(last_.stamp));
  }
  frame.picture = std::move(last_.data);
  const std::size_t before = out.size();
  proto::AppendVideoFrame(out, frame);
  lastMessageSize_ = out.size() - before;
  last_.data.clear();
  last_.data.resize(frame.picture.size());  // keep only the size for the log
  return true;
}

void VideoStreamer::LogSent() {
  ++sent_;
  log_.Write(JsonLine("frame_sent")
                 .Str("channel", channel_)
                 .Int("conn", conn_)
                 .Int("frame", static_cast<int64_t>(last_.number))
                 .Str("codec", CodecName(last_.codec))
                 .Int("bytes", static_cast<int64_t>(last_.data.size()))
                 .Int("message_bytes", static_cast<int64_t>(lastMessageSize_))
                 .Int("stamp", last_.stamp));
}

AudioStreamer::AudioStreamer(const StationOptions& options, EventLog& log, const char* channel, int64_t conn)
    : options_(options), log_(log), channel_(channel), conn_(conn), encoder_(options.toneHz) {
  format_ = PcmFormatBlock(AacEncoder::kSampleRate, AacEncoder::kChannels, 16);
  start_ = due_ = NowMicros();
}

bool AudioStreamer::Produce(int64_t now, std::vector<uint8_t>& out) {
  if (now < due_) return false;
  const int samples = encoder_.FrameSamples();
  // Pace on the running sample count so the rate stays exact over time; restart after a stall.
  due_ += static_cast<int64_t>(samples) * 1000000 / AacEncoder::kSampleRate;
  if (due_ < now - 200000) due_ = now;
  bool made = false;
  for (auto& coded : encoder_.NextFrames()) {
    AUDIO_FRAMES frame;
    frame.header.frameCount = static_cast<uint32_t>(samples);
    frame.header.bufferFlags = 0;
    std::memcpy(&frame.header.format, format_.data(), kFormatSize);
    if (options_.adts) {
      frame.payload = AdtsHeader(coded.size());
      frame.payload.insert(frame.payload.end(), coded.begin(), coded.end());
    } else {
      frame.payload = std::move(coded);
    }
    lastSize_ = frame.payload.size();
    proto::AppendAudioFrame(out, frame);
    made = true;
  }
  return made;
}

void AudioStreamer::LogSent() {
  ++sent_;
  // One line a second is enough to follow the stream.
  if (sent_ <= 3 || sent_ % 50 == 0)
    log_.Write(JsonLine("audio_sent")
                   .Str("channel", channel_)
                   .Int("conn", conn_)
                   .Int("frames_sent", sent_)
                   .Int("bytes", static_cast<int64_t>(lastSize_)));
}

}  // namespace station
