#pragma once
// The client's side of the media channels, by hand: reading video frames and KCP audio, and
// decoding them with libavcodec.
#include <poll.h>

#include <cstring>
#include <functional>

#include "StationHarness.h"
#include "sov/kcp/KcpProtocol.h"
#include "zep/media/AvHandles.h"

namespace stationtest {

struct Decoder {
  explicit Decoder(const char* const* names, const std::vector<uint8_t>& extradata = {}) {
    for (; *names && !ctx; ++names) {
      const AVCodec* codec = avcodec_find_decoder_by_name(*names);
      if (!codec) continue;
      media::CodecContextPtr c(avcodec_alloc_context3(codec));
      c->flags |= AV_CODEC_FLAG_LOW_DELAY;
      c->thread_count = 1;
      if (!extradata.empty()) {
        c->extradata = static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(c->extradata, extradata.data(), extradata.size());
        c->extradata_size = static_cast<int>(extradata.size());
      }
      if (avcodec_open2(c.get(), codec, nullptr) == 0) {
        ctx = std::move(c);
        name = *names;
      }
    }
  }
  // Feeds one access unit; returns the number of pictures (or audio frames) that came out.
  int Decode(const std::vector<uint8_t>& data, const std::function<void(AVFrame*)>& each) {
    av_new_packet(packet.get(), static_cast<int>(data.size()));
    std::memcpy(packet->data, data.data(), data.size());
    int err = avcodec_send_packet(ctx.get(), packet.get());
    av_packet_unref(packet.get());
    if (err < 0) return -1;
    int n = 0;
    while (avcodec_receive_frame(ctx.get(), frame.get()) == 0) {
      each(frame.get());
      ++n;
    }
    return n;
  }
  media::CodecContextPtr ctx;
  media::FramePtr frame{av_frame_alloc()};
  media::PacketPtr packet{av_packet_alloc()};
  std::string name;
};

inline const char* const* DecoderNames(int codec) {
  static const char* const h264[] = {"h264", nullptr};
  static const char* const hevc[] = {"hevc", nullptr};
  static const char* const av1[] = {"libdav1d", "libaom-av1", nullptr};
  static const char* const vp8[] = {"vp8", nullptr};
  static const char* const vp9[] = {"vp9", nullptr};
  static const char* const* all[] = {h264, hevc, av1, vp8, vp9};
  return all[codec];
}

struct VideoMessage {
  uint8_t header[28];
  std::vector<uint8_t> a, b, picture;
};

// Reads the next video frame from a TCP video channel, skipping no-ops and keep-alives.
inline bool ReadVideo(RawClient& c, VideoMessage& m) {
  for (;;) {
    auto type = c.Recv(1);
    if (type.empty()) return false;
    if (type[0] == 0 || type[0] == 11) continue;
    if (type[0] != 2) {
      ADD_FAILURE() << "unexpected type " << int(type[0]) << " on the video channel";
      return false;
    }
    auto h = c.Recv(28);
    if (h.empty()) return false;
    std::memcpy(m.header, h.data(), 28);
    m.a = c.Recv(Get32(&h[0]));
    m.b = c.Recv(Get32(&h[4]));
    m.picture = c.Recv(Get32(&h[8]));
    return m.picture.size() == Get32(&h[8]) && m.picture.size() > 0;
  }
}

inline int UdpConnect(int port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  return fd;
}

// UDP parameters (type 26): video conversation `conv`, audio `conv` + 1, in the given modes.
inline std::vector<uint8_t> UdpParamsMessage(uint32_t conv, uint32_t videoMode, uint32_t audioMode) {
  auto m = Message(26, 72);
  Put32(m, 1, conv);
  Put32(m, 5, videoMode);
  Put32(m, 37, conv + 1);
  Put32(m, 41, audioMode);
  return m;
}

// Runs the client side of a KCP audio conversation until `want` audio frames came (or 15 s passed);
// returns how many came.
inline int ReceiveKcpAudio(int fd, kcp::KcpProtocol& k, int want) {
  std::vector<uint8_t> stream;
  int audioFrames = 0;
  const int64_t end = MonotonicUs() + 15000000;
  while (audioFrames < want && MonotonicUs() < end) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 2);
    uint8_t buf[65536];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
      k.Input(buf, static_cast<std::size_t>(n));
    k.Update(static_cast<uint32_t>(MonotonicUs() / 1000));
    while (k.Deliver([&](const uint8_t* d, std::size_t n) { stream.insert(stream.end(), d, d + n); })) {
    }
    while (!stream.empty()) {
      if (stream[0] == 11) {
        stream.erase(stream.begin());
        continue;
      }
      if (stream[0] != 3) {
        ADD_FAILURE() << "unexpected type " << int(stream[0]) << " on the UDP audio channel";
        return audioFrames;
      }
      if (stream.size() < 53) break;
      const uint32_t size = Get32(&stream[9]);
      if (stream.size() < 53 + size) break;
      EXPECT_EQ(Get32(&stream[1]), 1024u);
      EXPECT_EQ(Get32(&stream[17]), 48000u);
      stream.erase(stream.begin(), stream.begin() + 53 + size);
      ++audioFrames;
    }
  }
  return audioFrames;
}

}  // namespace stationtest
