#include "tools/station-sim/VideoSource.h"

#include "tools/station-sim/EventLog.h"
#include "tools/station-sim/TestPattern.h"

namespace station {
namespace {

class LiveSource : public VideoSource {
 public:
  explicit LiveSource(const VideoSettings& s) : encoder_(s), picture_(encoder_.MakeFrame()) {}
  std::string Describe() const override {
    const VideoSettings& s = encoder_.Settings();
    return encoder_.EncoderName() + " " + std::to_string(s.width) + "x" + std::to_string(s.height) + "@" +
           std::to_string(s.fps);
  }
  int Width() const override { return encoder_.Settings().width; }
  int Height() const override { return encoder_.Settings().height; }
  bool Next(double px, double py, CodedPicture& out) override {
    const int64_t stamp = StationMicros();
    TestPattern::Draw(picture_.get(), count_, px, py);
    auto coded = encoder_.Encode(picture_.get(), static_cast<int64_t>(count_));
    ++count_;
    if (coded.empty()) return false;
    // Without look-ahead every input gives one picture; join any extra so none is lost.
    out.data = std::move(coded[0]);
    for (std::size_t i = 1; i < coded.size(); ++i)
      out.data.insert(out.data.end(), coded[i].begin(), coded[i].end());
    out.codec = encoder_.Settings().codec;
    out.stamp = stamp;
    out.number = sent_++;
    return true;
  }

 private:
  VideoEncoder encoder_;
  FramePtr picture_;
  uint64_t count_ = 0;
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

std::unique_ptr<VideoSource> MakeLiveSource(const VideoSettings& settings) {
  return std::make_unique<LiveSource>(settings);
}

std::unique_ptr<VideoSource> MakeClipSource(const std::vector<std::shared_ptr<const Clip>>& clips, int codec,
                                            std::string& note) {
  for (const auto& c : clips)
    if (c->codec == codec) return std::make_unique<ClipSource>(c);
  note = std::string("no clip in ") + CodecName(codec) + ", sending " + CodecName(clips.front()->codec);
  return std::make_unique<ClipSource>(clips.front());
}

}  // namespace station
