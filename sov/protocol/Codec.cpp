#include "sov/protocol/Codec.h"

#include <algorithm>

#include "ErrorHandling/ErrorHandling.h"
#include "sov/base/BaseException.h"

namespace proto {
namespace {

constexpr MessageRule Fixed(uint32_t size) {
  return MessageRule{size, 0, {}, {}};
}

constexpr MessageRule kNoRule{};

// Indexed by type; a rule with fixedSize 0 and no blocks is a type-only message. Unused
// numbers are marked in kUsedTypes.
constexpr MessageRule kRules[kMaxMessageType + 1] = {
    /* 0 no-op */ Fixed(0),
    /* 1 cursor */
    {sizeof(CURSOR_SHAPE_HEADER), 1, {offsetof(CURSOR_SHAPE_HEADER, shapeSize)}, {kMaxCursorShapeSize}},
    /* 2 video */
    {sizeof(VIDEO_FRAME_HEADER),
     3,
     {offsetof(VIDEO_FRAME_HEADER, sizeA), offsetof(VIDEO_FRAME_HEADER, sizeB),
      offsetof(VIDEO_FRAME_HEADER, pictureSize)},
     {kMaxVideoBlockSize, kMaxVideoBlockSize, kMaxVideoBlockSize}},
    /* 3 audio */
    {sizeof(AUDIO_FRAME_HEADER), 1, {offsetof(AUDIO_FRAME_HEADER, payloadSize)}, {kMaxAudioPayloadSize}},
    /* 4 release */ Fixed(sizeof(HC_RELEASE_EVENT) - 1),
    /* 5 fps */ Fixed(sizeof(FRAME_RATE_LIMIT)),
    /* 6 ping */ Fixed(sizeof(PING)),
    /* 7 */ kNoRule,
    /* 8 resolution */ Fixed(sizeof(RESOLUTION)),
    /* 9 mouse */ Fixed(sizeof(HC_MOUSE_EVENT) - 1),
    /* 10 keyboard */ Fixed(sizeof(HC_KEYBOARD_EVENT) - 1),
    /* 11 keep-alive */ Fixed(0),
    /* 12 open link */ {4, 1, {0}, {kMaxOpenLinkSize}},
    /* 13 microphone */
    {sizeof(MICROPHONE_FRAME_HEADER), 1, {offsetof(AUDIO_FRAME_HEADER, payloadSize)}, {kMaxAudioPayloadSize}},
    /* 14 network usage */ Fixed(4),
    /* 15 stream key */ Fixed(sizeof(STREAM_KEY)),
    /* 16 bitrate */ Fixed(4),
    /* 17 clipboard */ Fixed(sizeof(CLIPBOARD_TEXT)),
    /* 18 gamepad */ Fixed(sizeof(HC_GAMEPAD_EVENT) - 1),
    /* 19 vibration */ Fixed(sizeof(GAMEPAD_VIBRATION)),
    /* 20 heartbeat */ Fixed(4),
    /* 21 allow gamepad */ Fixed(4),
    /* 22 codec */ Fixed(4),
    /* 23 greeting */ Fixed(sizeof(GREETING) - 1),
    /* 24 allow incoming */ Fixed(4),
    /* 25 incoming */ Fixed(sizeof(INCOMING_REQUEST)),
    /* 26 UDP parameters */ Fixed(sizeof(UDP_PARAMETERS)),
};
constexpr uint32_t kUsedTypes = ~(1u << 7) & ((1u << (kMaxMessageType + 1)) - 1);

void AppendBytes(Bytes& out, const void* data, std::size_t size) {
  if (size == 0) return;
  auto p = static_cast<const uint8_t*>(data);
  out.insert(out.end(), p, p + size);
}

uint32_t Size32(std::size_t size) {
  if (size > UINT32_MAX) THROW_ERRCODE(ErrCode::InvalidArg);
  return static_cast<uint32_t>(size);
}

uint16_t Rotl5(uint16_t v) {
  return static_cast<uint16_t>((v << 5) | (v >> 11));
}
uint16_t Rotr5(uint16_t v) {
  return static_cast<uint16_t>((v >> 5) | (v << 11));
}

}  // namespace

const MessageRule* FindRule(uint8_t type) {
  if (type > kMaxMessageType || ((kUsedTypes >> type) & 1u) == 0) return nullptr;
  return &kRules[type];
}

void ThrowShortRecord() {
  throw ProtocolException("Message record is truncated", ZEP_SOURCE, __LINE__);
}

void CheckAccepted(const ChannelSpec& channel, uint8_t type) {
  if (!channel.Accepts(type)) throw ProtocolException(channel.unknownTypeText, ZEP_SOURCE, __LINE__);
}

std::size_t HumanControlWireSize(uint8_t eventType) {
  switch (eventType) {
    case kControlReleased:
      return sizeof(HC_RELEASE_EVENT);
    case kControlMouse:
      return sizeof(HC_MOUSE_EVENT);
    case kControlKeyboard:
      return sizeof(HC_KEYBOARD_EVENT);
    case kControlGamepad:
      return sizeof(HC_GAMEPAD_EVENT);
    default:
      THROW_ERRCODE(ErrCode::InvalidArg);
  }
}

GREETING MakeGreeting(const platform::Guid& clientGuid) {
  GREETING greeting;
  auto bytes = clientGuid.Bytes();
  std::memcpy(greeting.clientGuid, bytes.data(), bytes.size());
  return greeting;
}

void AppendVideoFrame(Bytes& out, const RECTS_INFO& frame) {
  VIDEO_FRAME_HEADER header = frame.header;
  header.sizeA = Size32(frame.blockA.size());
  header.sizeB = Size32(frame.blockB.size());
  header.pictureSize = Size32(frame.picture.size());
  AppendMessage(out, kVideoFrame, header);
  AppendBytes(out, frame.blockA.data(), frame.blockA.size());
  AppendBytes(out, frame.blockB.data(), frame.blockB.size());
  AppendBytes(out, frame.picture.data(), frame.picture.size());
}

void AppendAudioFrame(Bytes& out, const AUDIO_FRAMES& frame) {
  AUDIO_FRAME_HEADER header = frame.header;
  header.payloadSize = Size32(frame.payload.size());
  AppendMessage(out, kAudioFrame, header);
  AppendBytes(out, frame.payload.data(), frame.payload.size());
}

void AppendMicrophoneFrame(Bytes& out, const AUDIO_FRAMES& frame) {
  MICROPHONE_FRAME_HEADER header;
  header.audio = frame.header;
  header.audio.payloadSize = Size32(frame.payload.size());
  header.capturePosition = frame.capturePosition;
  AppendMessage(out, kMicrophoneAudio, header);
  AppendBytes(out, frame.payload.data(), frame.payload.size());
}

void AppendCursorShape(Bytes& out, const MOUSE_INFO& cursor) {
  CURSOR_SHAPE_HEADER header = cursor.header;
  header.shapeSize = Size32(cursor.shape.size());
  AppendMessage(out, kCursorShape, header);
  AppendBytes(out, cursor.shape.data(), cursor.shape.size());
}

void AppendOpenLink(Bytes& out, std::u16string_view link) {
  uint32_t length = Size32(link.size() * 2);
  out.push_back(kOpenLink);
  AppendBytes(out, &length, sizeof(length));
  for (char16_t c : link) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
}

void AppendHumanControlEvent(Bytes& out, const HUMAN_CONTROL_EVENT_PACKET& packet) {
  AppendBytes(out, packet.bytes, HumanControlWireSize(packet.Type()));
}

uint8_t SystemRandomByte() {
  uint8_t b = 0;
  platform::RandomBytes(&b, 1);
  return b;
}

STREAM_KEY MakeStreamKey(std::optional<std::string_view> key, const RandomByteFn& random) {
  STREAM_KEY payload;
  if (!key) return payload;
  payload.present = 1;
  for (auto& b : payload.pad) b = random();
  for (auto& b : payload.scrambled) b = random();
  // The terminating zero goes along when the key is shorter than 32 bytes.
  std::size_t n = std::min<std::size_t>(key->size(), 31);
  for (std::size_t i = 0; i <= n; ++i) {
    uint8_t c = i < key->size() ? static_cast<uint8_t>((*key)[i]) : 0;
    payload.scrambled[i] = c ^ payload.pad[i];
  }
  return payload;
}

std::optional<std::string> ReadStreamKey(const STREAM_KEY& payload) {
  if (payload.present == 0) return std::nullopt;
  std::string key;
  for (std::size_t i = 0; i < sizeof(payload.scrambled); ++i) {
    char c = static_cast<char>(payload.scrambled[i] ^ payload.pad[i]);
    if (c == 0) break;
    key.push_back(c);
  }
  return key;
}

CLIPBOARD_TEXT MakeClipboardText(std::u16string_view text, uint32_t mode, const RandomByteFn& random) {
  CLIPBOARD_TEXT payload;
  for (auto& b : payload.pad) b = random();
  for (auto& b : payload.scrambled) b = random();
  std::size_t n = std::min<std::size_t>(text.size(), 127);
  for (std::size_t i = 0; i <= n; ++i) {
    uint16_t c = i < text.size() ? static_cast<uint16_t>(text[i]) : 0;
    uint16_t q = static_cast<uint16_t>(payload.pad[2 * i] | (payload.pad[2 * i + 1] << 8));
    uint16_t v = Rotl5(c) ^ q;
    payload.scrambled[2 * i] = static_cast<uint8_t>(v & 0xFF);
    payload.scrambled[2 * i + 1] = static_cast<uint8_t>(v >> 8);
  }
  payload.mode = mode;
  return payload;
}

std::u16string ReadClipboardText(const CLIPBOARD_TEXT& payload) {
  std::u16string text;
  for (std::size_t i = 0; i < 128; ++i) {
    uint16_t q = static_cast<uint16_t>(payload.pad[2 * i] | (payload.pad[2 * i + 1] << 8));
    uint16_t v = static_cast<uint16_t>(payload.scrambled[2 * i] | (payload.scrambled[2 * i + 1] << 8));
    uint16_t c = Rotr5(static_cast<uint16_t>(v ^ q));
    if (c == 0) break;
    text.push_back(static_cast<char16_t>(c));
  }
  return text;
}

std::u16string ReadOpenLinkText(std::span<const uint8_t> textBytes) {
  std::u16string text;
  text.reserve(textBytes.size() / 2);
  for (std::size_t i = 0; i + 1 < textBytes.size(); i += 2)
    text.push_back(static_cast<char16_t>(textBytes[i] | (textBytes[i + 1] << 8)));
  return text;
}

UDP_PARAMETERS MakeUdpParameters(UDP_CHANNEL_PARAMS video, UDP_CHANNEL_PARAMS audio,
                                 const platform::Guid& clientGuid, int32_t networkTransportIndex) {
  uint32_t mode = RunTimeMapping::TransportMode(static_cast<uint32_t>(networkTransportIndex));
  video.conv = clientGuid.data1;
  video.transportMode = mode;
  audio.conv = clientGuid.data1 + 1u;
  audio.transportMode = mode;
  return {video, audio};
}

RESOLUTION MakeResolution(const RunTimeMapping::ResolutionChoice& choice) {
  RESOLUTION r;
  r.width = choice.width;
  r.height = choice.height;
  r.flag = choice.highResolution;
  return r;
}

FRAME_RATE_LIMIT MakeFrameRateLimit(const RunTimeMapping::FrameRateLimit& limit) {
  FRAME_RATE_LIMIT f;
  f.framesPerSecond = limit.framesPerSecond;
  f.limited = limit.limited;
  return f;
}

FRAME_RATE_LIMIT MakeFrameRateLimit(uint32_t framesPerSecond) {
  FRAME_RATE_LIMIT f;
  f.framesPerSecond = framesPerSecond == 0 ? 100 : framesPerSecond;
  f.limited = framesPerSecond == 0 ? 0 : 1;
  return f;
}

}  // namespace proto
