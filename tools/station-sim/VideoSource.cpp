#include "tools/station-sim/VideoSource.h"

#include <malloc.h>

#include <deque>

#include "tools/station-sim/EventLog.h"
#include "tools/station-sim/TestPattern.h"

namespace station {

// One live encoder and the last few pictures it made. Each stream follows the pictures in order;
// a stream that starts, or falls behind what is kept, gets a key frame made for it, which the
// streams in step can take as their next picture too.
class SharedEncoder {
 public:
  explicit SharedEncoder(const VideoSettings& s) : encoder_(s), picture_(encoder_.MakeFrame()) {}
  const VideoEncoder& Encoder() const { return encoder_; }

  // The picture that follows `have` (0: the stream has none yet); updates `have`.
  bool Next(uint64_t& have, double px, double py, CodedPicture& out) {
    std::lock_guard lock(mutex_);
    const uint64_t newest = recent_.empty() ? 0 : recent_.back().seq;
    if (have != 0 && have + 1 >= newest && have < newest) {
      for (const Picture& p : recent_)
        if (p.seq == have + 1) return Give(p, have, out);
    }
    const bool key = have == 0 || have != newest;
    const int64_t stamp = StationMicros();
    TestPattern::Draw(picture_.get(), count_, px, py);
    picture_->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    auto coded = encoder_.Encode(picture_.get(), static_cast<int64_t>(count_));
    ++count_;
    if (coded.empty()) return false;
    // Without look-ahead every input gives one picture; join any extra so none is lost.
    Picture p{++seq_, stamp, std::move(coded[0])};
    for (std::size_t i = 1; i < coded.size(); ++i)
      p.data.insert(p.data.end(), coded[i].begin(), coded[i].end());
    recent_.push_back(std::move(p));
    if (recent_.size() > kKept) recent_.pop_front();
    return Give(recent_.back(), have, out);
  }

 private:
  static constexpr std::size_t kKept = 3;
  struct Picture {
    uint64_t seq;
    int64_t stamp;
    std::vector<uint8_t> data;
  };
  bool Give(const Picture& p, uint64_t& have, CodedPicture& out) const {
    have = p.seq;
    out.data = p.data;
    out.stamp = p.stamp;
    out.codec = encoder_.Settings().codec;
    return true;
  }

  std::mutex mutex_;  // guards everything below
  VideoEncoder encoder_;
  media::FramePtr picture_;
  uint64_t count_ = 0;
  uint64_t seq_ = 0;
  std::deque<Picture> recent_;
};

std::shared_ptr<SharedEncoder> EncoderPool::Acquire(const VideoSettings& s) {
  std::lock_guard lock(mutex_);
  std::erase_if(encoders_, [](const auto& entry) { return entry.second.expired(); });
  const Key key{s.codec, s.width, s.height, s.fps, s.bitrate};
  auto it = encoders_.find(key);
  if (it != encoders_.end())
    if (auto shared = it->second.lock()) return shared;
  if (encoders_.size() >= static_cast<std::size_t>(max_))
    throw EncoderLimit("too many live encoders (" + std::to_string(max_) + "); no encoder for this stream");
  // Encoders free large buffers that glibc keeps in its arenas; give them back when one goes.
  std::shared_ptr<SharedEncoder> shared(new SharedEncoder(s), [](SharedEncoder* e) {
    delete e;
    malloc_trim(0);
  });
  encoders_[key] = shared;
  return shared;
}

namespace {

class LiveSource : public VideoSource {
 public:
  explicit LiveSource(std::shared_ptr<SharedEncoder> e) : shared_(std::move(e)) {}
  std::string Describe() const override {
    const VideoEncoder& e = shared_->Encoder();
    const VideoSettings& s = e.Settings();
    return e.EncoderName() + " " + std::to_string(s.width) + "x" + std::to_string(s.height) + "@" +
           std::to_string(s.fps);
  }
  int Width() const override { return shared_->Encoder().Settings().width; }
  int Height() const override { return shared_->Encoder().Settings().height; }
  bool Next(double px, double py, CodedPicture& out) override {
    if (!shared_->Next(have_, px, py, out)) return false;
    out.number = sent_++;
    return true;
  }

 private:
  std::shared_ptr<SharedEncoder> shared_;
  uint64_t have_ = 0;
  uint64_t sent_ = 0;
};

class ClipSource : public VideoSource {
 public:
  explicit ClipSource(std::shared_ptr<const Clip> clip) : clip_(std::move(clip)) {}
  std::string Describe() const override { return "clip " + clip_->path; }
  int Width() const override { return clip_->width; }
  int Height() const override { return clip_->height; }
  bool Next(double, double, CodedPicture& out) override {
    out.data = clip_->pictures[next_ % clip_->pictures.size()];
    out.codec = clip_->codec;
    out.stamp = StationMicros();
    out.number = next_++;
    return true;
  }

 private:
  std::shared_ptr<const Clip> clip_;
  uint64_t next_ = 0;
};

}  // namespace

std::unique_ptr<VideoSource> MakeLiveSource(EncoderPool& pool, const VideoSettings& settings) {
  return std::make_unique<LiveSource>(pool.Acquire(settings));
}

std::unique_ptr<VideoSource> MakeClipSource(const std::vector<std::shared_ptr<const Clip>>& clips, int codec,
                                            std::string& note) {
  for (const auto& c : clips)
    if (c->codec == codec) return std::make_unique<ClipSource>(c);
  note = std::string("no clip in ") + CodecName(codec) + ", sending " + CodecName(clips.front()->codec);
  return std::make_unique<ClipSource>(clips.front());
}

}  // namespace station
