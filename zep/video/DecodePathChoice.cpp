#include "zep/video/DecodePathChoice.h"

#include <cstdlib>
#include <cstring>

#include "platform/Process.h"
#include "sov/base/Log.h"
#include "zep/video/Codecs.h"
#include "zep/video/ProbeStream.h"

extern "C" {
#include <libavutil/log.h>
}

namespace video {

const char* const kSupportedCardsPage = "https://zep.ulmek.com/faq#QC-28";

std::vector<AVHWDeviceType> HardwareCandidates() {
  static const AVHWDeviceType kOrder[] = {AV_HWDEVICE_TYPE_VAAPI, AV_HWDEVICE_TYPE_VDPAU,
                                          AV_HWDEVICE_TYPE_CUDA};
  const char* only = std::getenv("ZEP_HWACCEL");
  std::vector<AVHWDeviceType> out;
  for (AVHWDeviceType t : kOrder)
    if (only == nullptr || *only == '\0' || std::strcmp(only, av_hwdevice_get_type_name(t)) == 0)
      out.push_back(t);
  return out;
}

bool ProvesOnProbeStream(const DecodePath& path) {
  try {
    std::unique_ptr<IVideoDecoder> decoder = OpenVideoDecoder(kCodecH264, path);
    media::FramePtr frame(av_frame_alloc());
    if (!frame) throw std::bad_alloc();
    // The parser cuts the stream into access units, as the station sends them.
    std::unique_ptr<AVCodecParserContext, void (*)(AVCodecParserContext*)> parser(
        av_parser_init(AV_CODEC_ID_H264), av_parser_close);
    media::CodecContextPtr parse(avcodec_alloc_context3(nullptr));
    if (!parser || !parse) throw std::bad_alloc();
    const std::vector<uint8_t>& stream = ProbeStreamH264();
    const uint8_t* data = stream.data();
    int left = static_cast<int>(stream.size());
    for (bool flushed = false; !flushed;) {
      uint8_t* unit = nullptr;
      int unitSize = 0;
      const int used = av_parser_parse2(parser.get(), parse.get(), &unit, &unitSize,
                                        left > 0 ? data : nullptr, left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
      flushed = left == 0;
      data += used;
      left -= used;
      if (unitSize == 0) continue;
      if (!decoder->Send(unit, static_cast<std::size_t>(unitSize)))
        throw DecodeError("the decoder refused a probe picture", false);
      if (decoder->Receive(frame.get()) && frame->width > 0) return true;
    }
    LOGD << path.Name() << " gave no picture for the probe stream";
    return false;
  } catch (const std::exception& e) {
    LOGD << path.Name() << " fails the probe stream: " << e.what();
    return false;
  }
}

DecodePath ChooseDecodePath(bool forceSoftware) {
  // A missing device is the common case, not an error for the player: keep libav's own
  // complaints off the terminal while probing; what matters is logged below.
  const int logLevel = av_log_get_level();
  av_log_set_level(AV_LOG_QUIET);
  struct Restore {
    int level;
    ~Restore() { av_log_set_level(level); }
  } restore{logLevel};
  if (!forceSoftware) {
    for (AVHWDeviceType type : HardwareCandidates()) {
      AVBufferRef* device = nullptr;
      const int err = av_hwdevice_ctx_create(&device, type, nullptr, nullptr, 0);
      LOGD << "Probe " << av_hwdevice_get_type_name(type);
      if (err < 0) {
        LOGD << av_hwdevice_get_type_name(type) << " device: " << media::AvErrorText(err);
        continue;
      }
      DecodePath path{type, BufferRefPtr(device)};
      if (ProvesOnProbeStream(path)) {
        LOGI << "Video decoding on " << path.Name();
        return path;
      }
    }
  }
  DecodePath software;
  if (ProvesOnProbeStream(software)) {
    LOGI << "Video decoding in software" << (forceSoftware ? " (forced)" : "");
    return software;
  }
  LOGE << "No supported card found";
  platform::SpawnDetached({"xdg-open", kSupportedCardsPage});
  throw DecodeError("No supported card found", false);
}

}  // namespace video
