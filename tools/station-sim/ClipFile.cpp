#include "tools/station-sim/ClipFile.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "tools/station-sim/TestPattern.h"
#include "tools/station-sim/Wire.h"

namespace station {
namespace {

constexpr char kMagic[8] = {'Z', 'E', 'P', 'C', 'L', 'I', 'P', '1'};
constexpr uint32_t kMaxPictures = 100000;
constexpr uint32_t kMaxPictureSize = 64u << 20;

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

void WriteU32(FILE* f, uint32_t v) {
  uint8_t b[4];
  PutU32(b, v);
  fwrite(b, 1, 4, f);
}

}  // namespace

std::string MakeClip(const std::string& path, const VideoSettings& settings, int frames) {
  VideoEncoder encoder(settings);
  media::FramePtr picture = encoder.MakeFrame();
  std::vector<std::vector<uint8_t>> coded;
  for (int i = 0; i < frames; ++i) {
    TestPattern::Draw(picture.get(), static_cast<uint64_t>(i), -1, -1);
    for (auto& p : encoder.Encode(picture.get(), i)) coded.push_back(std::move(p));
  }
  for (auto& p : encoder.Flush()) coded.push_back(std::move(p));
  FilePtr f(fopen(path.c_str(), "wb"));
  if (!f) throw std::runtime_error("cannot write " + path);
  fwrite(kMagic, 1, sizeof kMagic, f.get());
  const VideoSettings& s = encoder.Settings();
  WriteU32(f.get(), static_cast<uint32_t>(s.codec));
  WriteU32(f.get(), static_cast<uint32_t>(s.width));
  WriteU32(f.get(), static_cast<uint32_t>(s.height));
  WriteU32(f.get(), static_cast<uint32_t>(s.fps));
  WriteU32(f.get(), static_cast<uint32_t>(coded.size()));
  for (const auto& p : coded) {
    WriteU32(f.get(), static_cast<uint32_t>(p.size()));
    fwrite(p.data(), 1, p.size(), f.get());
  }
  if (ferror(f.get())) throw std::runtime_error("writing " + path + " failed");
  return encoder.EncoderName();
}

Clip LoadClip(const std::string& path) {
  FilePtr f(fopen(path.c_str(), "rb"));
  if (!f) throw std::runtime_error("cannot open clip " + path);
  uint8_t head[28];
  if (fread(head, 1, sizeof head, f.get()) != sizeof head || std::memcmp(head, kMagic, 8) != 0)
    throw std::runtime_error(path + " is not a station clip");
  Clip clip;
  clip.path = path;
  clip.codec = static_cast<int>(GetU32(head + 8));
  clip.width = static_cast<int>(GetU32(head + 12));
  clip.height = static_cast<int>(GetU32(head + 16));
  clip.fps = static_cast<int>(GetU32(head + 20));
  const uint32_t count = GetU32(head + 24);
  if (clip.codec < 0 || clip.codec >= kCodecCount || count == 0 || count > kMaxPictures || clip.fps <= 0)
    throw std::runtime_error(path + ": implausible clip header");
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t b[4];
    if (fread(b, 1, 4, f.get()) != 4) throw std::runtime_error(path + ": clip is cut short");
    const uint32_t size = GetU32(b);
    if (size > kMaxPictureSize) throw std::runtime_error(path + ": implausible picture size");
    std::vector<uint8_t> p(size);
    if (size && fread(p.data(), 1, size, f.get()) != size)
      throw std::runtime_error(path + ": clip is cut short");
    clip.pictures.push_back(std::move(p));
  }
  return clip;
}

}  // namespace station
