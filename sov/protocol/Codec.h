#pragma once
// Encoders and decoders of the stream messages over plain byte buffers, shared by the
// client's channel threads and the reference station. No sockets here: the caller sends
// the bytes (the client sends the type byte and the payload as two sends).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/Guid.h"
#include "sov/protocol/Messages.h"
#include "sov/settings/SettingsMapping.h"

namespace proto {

using Bytes = std::vector<uint8_t>;

// The types a channel's reader accepts and the ProtocolException text for any other type.
struct ChannelSpec {
  uint32_t acceptedTypes;  // bit n set: type n accepted
  const char* unknownTypeText;
  bool Accepts(uint8_t type) const { return type <= kMaxMessageType && (acceptedTypes >> type) & 1u; }
};

constexpr uint32_t TypeBits(std::initializer_list<uint8_t> types) {
  uint32_t bits = 0;
  for (uint8_t t : types) bits |= 1u << t;
  return bits;
}

inline constexpr const char* kUnexpectedHeaderText = "Unexpected message header";
inline constexpr const char* kProtocolFailureText = "General protocol failure";
inline constexpr const char* kUnknownUidText = "General protocol failure: unknown message UID";

// Readers of the client (station to client).
inline constexpr ChannelSpec kApiChannel{
    TypeBits({kNoop, kPing, kOpenLink, kGamepadVibration, kIncomingRequest}), kProtocolFailureText};
inline constexpr ChannelSpec kVideoChannel{TypeBits({kNoop, kVideoFrame, kKeepAlive}), kUnexpectedHeaderText};
inline constexpr ChannelSpec kAudioChannel{TypeBits({kNoop, kAudioFrame, kKeepAlive}), kProtocolFailureText};
inline constexpr ChannelSpec kMousePointerChannel{TypeBits({kNoop, kCursorShape, kKeepAlive}),
                                                  kProtocolFailureText};
// Both UDP channels parse the same set; the audio channel discards video frames.
inline constexpr ChannelSpec kUdpChannel{TypeBits({kNoop, kVideoFrame, kAudioFrame, kKeepAlive}),
                                         kUnknownUidText};
// Readers of the station (client to station), after the greeting.
inline constexpr ChannelSpec kStationApiChannel{
    TypeBits({kFrameRateLimit, kPing, kResolution, kKeepAlive, kMicrophoneAudio, kNetworkUsage, kStreamKey,
              kBitrate, kClipboardText, kHeartbeat, kAllowGamepad, kCodec, kAllowIncoming, kIncomingRequest,
              kUdpParameters}),
    kProtocolFailureText};
inline constexpr ChannelSpec kStationControlChannel{
    TypeBits({kControlReleased, kControlMouse, kControlKeyboard, kControlGamepad, kKeepAlive}),
    kProtocolFailureText};
inline constexpr ChannelSpec kStationUdpChannel{TypeBits({kNoop, kKeepAlive}), kUnknownUidText};

// How a message's payload is laid out: a fixed part (the header, or the whole payload),
// then up to three blocks whose u32 sizes lie in the fixed part, each bounded by a limit.
struct MessageRule {
  uint32_t fixedSize = 0;
  uint8_t blockCount = 0;
  uint8_t blockSizeOffset[3] = {};
  uint32_t blockLimit[3] = {};
};
// The rule of a type, or nullptr for a number no message uses (7 and above 26). The
// greeting's and the control events' fixed parts exclude the type byte that begins them.
const MessageRule* FindRule(uint8_t type);

// Raises ProtocolException with the channel's text unless it accepts the type.
void CheckAccepted(const ChannelSpec& channel, uint8_t type);

// Bytes on the wire for a control event: 2, 36, 22 or 17 for types 4, 9, 10, 18; any other
// type is a programming error (ErrCodeException E_INVALIDARG).
std::size_t HumanControlWireSize(uint8_t eventType);

template <class T>
std::span<const uint8_t> AsBytes(const T& record) {
  static_assert(std::is_trivially_copyable_v<T>);
  return {reinterpret_cast<const uint8_t*>(&record), sizeof(T)};
}

[[noreturn]] void ThrowShortRecord();

// Copies a record out of the first sizeof(T) bytes; fewer bytes raise ProtocolException.
template <class T>
T FromBytes(std::span<const uint8_t> bytes) {
  static_assert(std::is_trivially_copyable_v<T>);
  if (bytes.size() < sizeof(T)) ThrowShortRecord();
  T record;
  std::memcpy(&record, bytes.data(), sizeof(T));
  return record;
}

// Appends the type byte and the payload record.
template <class T>
void AppendMessage(Bytes& out, uint8_t type, const T& payload) {
  // One resize rather than push_back + insert: GCC 12 warns falsely about the latter at -O2.
  auto b = AsBytes(payload);
  const std::size_t at = out.size();
  out.resize(at + 1 + b.size());
  out[at] = type;
  std::copy(b.begin(), b.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 1));
}
inline void AppendTypeOnly(Bytes& out, uint8_t type) {
  out.push_back(type);
}

GREETING MakeGreeting(const platform::Guid& clientGuid);
// Whole messages with their counted blocks; the header sizes are taken from the buffers.
void AppendVideoFrame(Bytes& out, const RECTS_INFO& frame);
void AppendAudioFrame(Bytes& out, const AUDIO_FRAMES& frame);
void AppendMicrophoneFrame(Bytes& out, const AUDIO_FRAMES& frame);
void AppendCursorShape(Bytes& out, const MOUSE_INFO& cursor);
void AppendOpenLink(Bytes& out, std::u16string_view link);
// The first HumanControlWireSize bytes of the packet (its byte 0 is the type).
void AppendHumanControlEvent(Bytes& out, const HUMAN_CONTROL_EVENT_PACKET& packet);

// One random byte per call; tests pass a fixed sequence. Default: the kernel's random source.
using RandomByteFn = std::function<uint8_t()>;
uint8_t SystemRandomByte();

// Stream key, type 15. With a key: pad P in bytes 33..64, bytes 1..32 random, then key[i] XOR P[i]
// for i up to min(length, 31), so a short key carries its terminating zero and a longer one is cut
// to 32 bytes. Without a key (nullopt) everything is zero.
STREAM_KEY MakeStreamKey(std::optional<std::string_view> key, const RandomByteFn& random = SystemRandomByte);
// The station's view: nullopt when byte 0 is 0, else the key up to the first zero or 32 bytes.
std::optional<std::string> ReadStreamKey(const STREAM_KEY& payload);

// Clipboard text, type 17. Unit i (up to min(length, 127)) becomes rotl16(c, 5) XOR Q[i], with Q
// the random pad in bytes 256..511 read as u16 units.
CLIPBOARD_TEXT MakeClipboardText(std::u16string_view text, uint32_t mode,
                                 const RandomByteFn& random = SystemRandomByte);
// The station's view: the units up to the first zero or 128 units.
std::u16string ReadClipboardText(const CLIPBOARD_TEXT& payload);

// The API channel's decoded payloads.
std::u16string ReadOpenLinkText(std::span<const uint8_t> textBytes);  // a trailing odd byte is ignored

// Type 26 from the two channels' KCP values: conversation = guid Data1 for video, +1 (wrapping)
// for audio; mode from "NetworkTransportIndex" (0: 1 TCP, other: 2 KCP).
UDP_PARAMETERS MakeUdpParameters(UDP_CHANNEL_PARAMS video, UDP_CHANNEL_PARAMS audio,
                                 const platform::Guid& clientGuid, int32_t networkTransportIndex);

// Records for what the runtime-setting indices mean (RunTimeMapping holds the tables).
RESOLUTION MakeResolution(const RunTimeMapping::ResolutionChoice& choice);
FRAME_RATE_LIMIT MakeFrameRateLimit(const RunTimeMapping::FrameRateLimit& limit);
// Type 5 for a rate in frames per second, 0 for unlimited: 0 travels as rate 100 with limited 0.
FRAME_RATE_LIMIT MakeFrameRateLimit(uint32_t framesPerSecond);
constexpr uint32_t kAllowedFlagValue = 4;  // types 21 and 24 when allowed

}  // namespace proto
