#include "zep/video/Codecs.h"

namespace video {
namespace {

// dav1d is the fastest AV1 software decoder and libaom the fallback; the native "av1" decoder
// only decodes through a hardware device. libvpx stays behind the native VP8/VP9 decoders, which
// are faster and can use a hardware device.
constexpr const char* kH264[] = {"h264"};
constexpr const char* kHevc[] = {"hevc"};
constexpr const char* kAv1[] = {"libdav1d", "libaom-av1", "av1"};
constexpr const char* kVp8[] = {"vp8", "libvpx"};
constexpr const char* kVp9[] = {"vp9", "libvpx-vp9"};

}  // namespace

const char* CodecName(int codec) {
  static const char* const kNames[kCodecCount] = {"H264", "HEVC", "AV01", "VP80", "VP90"};
  return codec >= 0 && codec < kCodecCount ? kNames[codec] : "?";
}

std::span<const char* const> DecoderPreference(int codec) {
  switch (codec) {
    case kCodecH264:
      return kH264;
    case kCodecHevc:
      return kHevc;
    case kCodecAv1:
      return kAv1;
    case kCodecVp8:
      return kVp8;
    case kCodecVp9:
      return kVp9;
    default:
      return {};
  }
}

}  // namespace video
