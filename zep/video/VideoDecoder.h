#pragma once
// One open libavcodec decoder for one codec, on the software path or bound to a hardware device.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "zep/media/AvHandles.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/hwcontext.h>
}

namespace video {

struct BufferRefDeleter {
  void operator()(AVBufferRef* b) const { av_buffer_unref(&b); }
};
using BufferRefPtr = std::unique_ptr<AVBufferRef, BufferRefDeleter>;

// Where decoding runs: a hardware device (VAAPI, VDPAU, CUDA) or none for the software path.
struct DecodePath {
  AVHWDeviceType type = AV_HWDEVICE_TYPE_NONE;
  BufferRefPtr device;  // null on the software path
  bool Hardware() const { return device != nullptr; }
  std::string Name() const;
};

// A decoder failure; `corrupt` when the input was bad data rather than the decoder broken.
class DecodeError : public std::runtime_error {
 public:
  DecodeError(const std::string& what, bool corrupt) : std::runtime_error(what), corrupt_(corrupt) {}
  bool Corrupt() const { return corrupt_; }

 private:
  bool corrupt_;
};

class IVideoDecoder {
 public:
  virtual ~IVideoDecoder() = default;
  virtual int Codec() const = 0;
  virtual const std::string& Name() const = 0;
  // Offers one compressed frame: true when taken, false when the decoder must give out pictures
  // first. Throws DecodeError.
  virtual bool Send(const uint8_t* data, std::size_t size) = 0;
  // One decoded picture in system memory (hardware pictures are transferred): true when there was
  // one, false when the decoder needs more input. Throws DecodeError.
  virtual bool Receive(AVFrame* out) = 0;
};

// Opens the first decoder of the codec's preference list that opens on the path. Throws
// DecodeError when none does.
std::unique_ptr<IVideoDecoder> OpenVideoDecoder(int codec, const DecodePath& path);

}  // namespace video
