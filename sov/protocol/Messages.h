#pragma once
// Stream messages exchanged with the station: type numbers, the packed little-endian
// wire records, the in-memory records of received media and the per-channel type sets.
// Every stream message is a one-byte type followed by its payload; there is no outer
// length, so the payload length is fixed by the type or announced in its header.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

static_assert(std::endian::native == std::endian::little,
              "wire records are copied as they lie in memory; a big-endian port needs byte swapping");

namespace proto {

enum MessageType : uint8_t {
  kNoop = 0,
  kCursorShape = 1,
  kVideoFrame = 2,
  kAudioFrame = 3,
  kControlReleased = 4,  // human-control event: pointer released
  kFrameRateLimit = 5,
  kPing = 6,  // ping (client to station) and ping reply (station to client)
  kResolution = 8,
  kControlMouse = 9,
  kControlKeyboard = 10,
  kKeepAlive = 11,
  kOpenLink = 12,
  kMicrophoneAudio = 13,
  kNetworkUsage = 14,
  kStreamKey = 15,
  kBitrate = 16,
  kClipboardText = 17,
  kControlGamepad = 18,
  kGamepadVibration = 19,
  kHeartbeat = 20,
  kAllowGamepad = 21,
  kCodec = 22,
  kGreeting = 23,
  kAllowIncoming = 24,
  kIncomingRequest = 25,  // incoming request (station to client) and decision (client to station)
  kUdpParameters = 26,
};
constexpr unsigned kMaxMessageType = 26;

// Limits on sizes announced by the peer, checked before anything is allocated. They are far
// above anything a sane station sends (a 4K intra frame at a high bitrate is a few MiB); a
// larger size means a broken or hostile stream and ends the channel with ProtocolException.
constexpr uint32_t kMaxVideoBlockSize = 64u << 20;   // each of block A, block B, coded picture
constexpr uint32_t kMaxAudioPayloadSize = 4u << 20;  // audio and microphone payloads
constexpr uint32_t kMaxCursorShapeSize = 4u << 20;   // 1024x1024 32-bit is 4 MiB
constexpr uint32_t kMaxOpenLinkSize = 64u << 10;     // bytes of UTF-16 link text

#pragma pack(push, 1)

// Type 23, the first bytes of every TCP channel; the type byte is part of the record.
struct GREETING {
  uint8_t type = kGreeting;
  uint8_t padding[3] = {};
  uint8_t clientGuid[16] = {};  // GUID memory order: u32, u16, u16 little-endian, then 8 bytes
  uint8_t reserved[256] = {};
};

// Type 2 header; followed by block A, block B and the coded picture, in that order.
struct VIDEO_FRAME_HEADER {
  uint32_t sizeA = 0;
  uint32_t sizeB = 0;
  uint32_t pictureSize = 0;
  uint8_t opaque[6] = {};
  uint16_t codec = 0;  // 0 H.264, 1 HEVC, 2 AV1, 3 VP8, 4 VP9
  int64_t frameStamp = 0;
};

// WAVEFORMATEXTENSIBLE as it lies in the audio headers.
struct WAVE_FORMAT_EXTENSIBLE {
  uint16_t formatTag = 0;
  uint16_t channels = 0;
  uint32_t samplesPerSec = 0;
  uint32_t avgBytesPerSec = 0;
  uint16_t blockAlign = 0;
  uint16_t bitsPerSample = 0;
  uint16_t cbSize = 0;
  uint16_t validBitsPerSample = 0;
  uint32_t channelMask = 0;
  uint8_t subFormat[16] = {};
};

constexpr uint32_t kAudioBufferFlagSilent = 2;

// Type 3 header; followed by payloadSize bytes of coded audio.
struct AUDIO_FRAME_HEADER {
  uint32_t frameCount = 0;
  uint32_t bufferFlags = 0;
  uint32_t payloadSize = 0;
  WAVE_FORMAT_EXTENSIBLE format;
};

// Type 13 header; followed by payloadSize bytes of PCM when that is not 0.
struct MICROPHONE_FRAME_HEADER {
  AUDIO_FRAME_HEADER audio;
  uint64_t capturePosition = 0;
};

constexpr uint32_t kCursorMonochrome = 1;
constexpr uint32_t kCursorColor = 2;
constexpr uint32_t kCursorMaskedColor = 4;

// Type 1 header; followed by shapeSize bytes (0: visibility change only).
struct CURSOR_SHAPE_HEADER {
  uint32_t shapeType = 0;
  uint32_t width = 0;
  uint32_t height = 0;  // monochrome: both masks together
  uint32_t pitch = 0;
  int32_t hotSpotX = 0;
  int32_t hotSpotY = 0;
  uint8_t opaque1[8] = {};
  uint8_t visible = 0;
  uint8_t opaque2[3] = {};
  uint32_t shapeSize = 0;
  uint8_t opaque3[12] = {};
};

// Type 5.
struct FRAME_RATE_LIMIT {
  uint32_t framesPerSecond = 0;
  uint8_t limited = 0;
  uint8_t reserved[3] = {};
};

// Type 6, client to station.
struct PING {
  int64_t clientTime = 0;  // microseconds
  uint8_t reserved[8] = {};
};

// Type 6, station to client.
struct PING_REPLY {
  int64_t clientTime = 0;  // echoed from the ping
  int64_t stationTime = 0;
};

// Type 8.
struct RESOLUTION {
  uint32_t width = 0;
  uint16_t height = 0;
  uint16_t flag = 0;
};

// Type 15: see MakeStreamKey.
struct STREAM_KEY {
  uint8_t present = 0;
  uint8_t scrambled[32] = {};
  uint8_t pad[32] = {};
};

// Type 17: see MakeClipboardText.
struct CLIPBOARD_TEXT {
  uint8_t scrambled[256] = {};
  uint8_t pad[256] = {};
  uint32_t mode = 0;
};

// Type 19.
struct GAMEPAD_VIBRATION {
  uint32_t controller = 0;
  uint8_t opaque1[2] = {};
  uint16_t leftMotor = 0;
  uint16_t rightMotor = 0;
  uint8_t opaque2[2] = {};
};

// Type 25, station to client.
struct INCOMING_REQUEST {
  uint8_t requestId[16] = {};
  uint8_t opaque[240] = {};
};

// Type 25, client to station.
struct INCOMING_DECISION {
  uint8_t requestId[16] = {};
  uint32_t decision = 0;  // 1 accept, 0 refuse
  uint8_t reserved[236] = {};
};

// One UDP channel's record inside type 26.
struct UDP_CHANNEL_PARAMS {
  uint32_t conv = 0;
  uint32_t transportMode = 0;  // 1 TCP, 2 KCP over UDP
  uint32_t sliceSize = 0;
  uint32_t packetSize = 0;
  uint32_t sendWnd = 0;
  uint32_t recvWnd = 0;
  uint32_t forceFlush = 0;
  uint32_t contRecvBufLen = 0;
  uint32_t contSendBufLen = 0;
};

// Type 26.
struct UDP_PARAMETERS {
  UDP_CHANNEL_PARAMS video;
  UDP_CHANNEL_PARAMS audio;
};

// Human-control event views. Byte 0 is the event type and belongs to the record; only the
// first HumanControlWireSize(type) bytes of the 36-byte packet are sent.
struct HC_RELEASE_EVENT {
  uint8_t type = kControlReleased;
  uint8_t zero = 0;
};

struct HC_KEYBOARD_EVENT {
  uint8_t type = kControlKeyboard;
  uint8_t zero = 0;
  uint32_t makeCode = 0;
  uint32_t flags = 0;
  uint32_t vkey = 0;
  uint32_t message = 0;
  uint32_t extraInformation = 0;
};

struct HC_MOUSE_EVENT {
  uint8_t type = kControlMouse;
  uint32_t flags = 0;
  uint32_t buttonFlags = 0;
  uint16_t buttonData = 0;
  uint32_t rawButtons = 0;
  double x = 0;
  double y = 0;
  uint8_t absolute = 0;
  uint32_t extraInformation = 0;
};

struct HC_GAMEPAD_EVENT {
  uint8_t type = kControlGamepad;
  uint32_t controller = 0;
  uint16_t buttons = 0;
  uint8_t leftTrigger = 0;
  uint8_t rightTrigger = 0;
  int16_t thumbLX = 0;
  int16_t thumbLY = 0;
  int16_t thumbRX = 0;
  int16_t thumbRY = 0;
};

#pragma pack(pop)

static_assert(sizeof(GREETING) == 276 && offsetof(GREETING, clientGuid) == 4 &&
              offsetof(GREETING, reserved) == 20);
static_assert(sizeof(VIDEO_FRAME_HEADER) == 28 && offsetof(VIDEO_FRAME_HEADER, pictureSize) == 8 &&
              offsetof(VIDEO_FRAME_HEADER, codec) == 18 && offsetof(VIDEO_FRAME_HEADER, frameStamp) == 20);
static_assert(sizeof(WAVE_FORMAT_EXTENSIBLE) == 40 && offsetof(WAVE_FORMAT_EXTENSIBLE, cbSize) == 16 &&
              offsetof(WAVE_FORMAT_EXTENSIBLE, subFormat) == 24);
static_assert(sizeof(AUDIO_FRAME_HEADER) == 52 && offsetof(AUDIO_FRAME_HEADER, payloadSize) == 8 &&
              offsetof(AUDIO_FRAME_HEADER, format) == 12);
static_assert(sizeof(MICROPHONE_FRAME_HEADER) == 60 &&
              offsetof(MICROPHONE_FRAME_HEADER, capturePosition) == 52);
static_assert(sizeof(CURSOR_SHAPE_HEADER) == 52 && offsetof(CURSOR_SHAPE_HEADER, hotSpotY) == 20 &&
              offsetof(CURSOR_SHAPE_HEADER, visible) == 32 && offsetof(CURSOR_SHAPE_HEADER, shapeSize) == 36);
static_assert(sizeof(FRAME_RATE_LIMIT) == 8 && offsetof(FRAME_RATE_LIMIT, limited) == 4);
static_assert(sizeof(PING) == 16 && sizeof(PING_REPLY) == 16 && offsetof(PING_REPLY, stationTime) == 8);
static_assert(sizeof(RESOLUTION) == 8 && offsetof(RESOLUTION, height) == 4 &&
              offsetof(RESOLUTION, flag) == 6);
static_assert(sizeof(STREAM_KEY) == 65 && offsetof(STREAM_KEY, scrambled) == 1 &&
              offsetof(STREAM_KEY, pad) == 33);
static_assert(sizeof(CLIPBOARD_TEXT) == 516 && offsetof(CLIPBOARD_TEXT, pad) == 256 &&
              offsetof(CLIPBOARD_TEXT, mode) == 512);
static_assert(sizeof(GAMEPAD_VIBRATION) == 12 && offsetof(GAMEPAD_VIBRATION, leftMotor) == 6 &&
              offsetof(GAMEPAD_VIBRATION, rightMotor) == 8);
static_assert(sizeof(INCOMING_REQUEST) == 256 && sizeof(INCOMING_DECISION) == 256 &&
              offsetof(INCOMING_DECISION, decision) == 16);
static_assert(sizeof(UDP_CHANNEL_PARAMS) == 36 && offsetof(UDP_CHANNEL_PARAMS, contSendBufLen) == 32);
static_assert(sizeof(UDP_PARAMETERS) == 72 && offsetof(UDP_PARAMETERS, audio) == 36);
static_assert(sizeof(HC_RELEASE_EVENT) == 2);
static_assert(sizeof(HC_KEYBOARD_EVENT) == 22 && offsetof(HC_KEYBOARD_EVENT, makeCode) == 2 &&
              offsetof(HC_KEYBOARD_EVENT, message) == 14 &&
              offsetof(HC_KEYBOARD_EVENT, extraInformation) == 18);
static_assert(sizeof(HC_MOUSE_EVENT) == 36 && offsetof(HC_MOUSE_EVENT, buttonFlags) == 5 &&
              offsetof(HC_MOUSE_EVENT, buttonData) == 9 && offsetof(HC_MOUSE_EVENT, rawButtons) == 11 &&
              offsetof(HC_MOUSE_EVENT, x) == 15 && offsetof(HC_MOUSE_EVENT, y) == 23 &&
              offsetof(HC_MOUSE_EVENT, absolute) == 31 && offsetof(HC_MOUSE_EVENT, extraInformation) == 32);
static_assert(sizeof(HC_GAMEPAD_EVENT) == 17 && offsetof(HC_GAMEPAD_EVENT, buttons) == 5 &&
              offsetof(HC_GAMEPAD_EVENT, leftTrigger) == 7 && offsetof(HC_GAMEPAD_EVENT, thumbLX) == 9 &&
              offsetof(HC_GAMEPAD_EVENT, thumbRY) == 15);

}  // namespace proto

// The fixed 36-byte control event as it travels through the control queue.
struct HUMAN_CONTROL_EVENT_PACKET {
  uint8_t bytes[36] = {};

  uint8_t Type() const { return bytes[0]; }

  // Copies one of the HC_*_EVENT views into the start of a zeroed packet.
  template <class Event>
  static HUMAN_CONTROL_EVENT_PACKET From(const Event& event) {
    static_assert(sizeof(Event) <= 36 && std::is_trivially_copyable_v<Event>);
    HUMAN_CONTROL_EVENT_PACKET packet;
    std::memcpy(packet.bytes, &event, sizeof(Event));
    return packet;
  }
  template <class Event>
  Event As() const {
    static_assert(sizeof(Event) <= 36 && std::is_trivially_copyable_v<Event>);
    Event event;
    std::memcpy(&event, bytes, sizeof(Event));
    return event;
  }
};
static_assert(sizeof(HUMAN_CONTROL_EVENT_PACKET) == 36);

// A received video frame: the header and its three blocks (empty when the size was 0).
struct RECTS_INFO {
  proto::VIDEO_FRAME_HEADER header;
  std::vector<uint8_t> blockA;
  std::vector<uint8_t> blockB;
  std::vector<uint8_t> picture;  // one access unit for the decoder
};

// A block of audio: the header, the capture position (microphone frames only) and the payload.
struct AUDIO_FRAMES {
  proto::AUDIO_FRAME_HEADER header;
  uint64_t capturePosition = 0;
  std::vector<uint8_t> payload;
};

// A cursor update; shape is empty when only the visibility changed.
struct MOUSE_INFO {
  proto::CURSOR_SHAPE_HEADER header;
  std::vector<uint8_t> shape;
};
