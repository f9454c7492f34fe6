#include "sov/protocol/StreamParser.h"

#include <algorithm>
#include <cstring>

namespace proto {
namespace {

// Most blocks (coded pictures, audio) are below this and get one allocation.
constexpr std::size_t kInitialBlockReserve = 1u << 20;

[[noreturn]] void ThrowWrongType() {
  throw ProtocolException("Message of another type", ZEP_SOURCE, __LINE__);
}

}  // namespace

uint32_t BlockSize(const MessageRule& rule, const Bytes& fixed, int block) {
  uint32_t size = 0;
  std::size_t offset = rule.blockSizeOffset[block];
  if (offset + sizeof(size) > fixed.size()) ThrowShortRecord();
  std::memcpy(&size, fixed.data() + offset, sizeof(size));
  if (size > rule.blockLimit[block])
    throw ProtocolException("Announced block size is over the limit", ZEP_SOURCE, __LINE__);
  return size;
}

RECTS_INFO ToVideoFrame(RawMessage&& message) {
  if (message.type != kVideoFrame) ThrowWrongType();
  RECTS_INFO frame;
  frame.header = FromBytes<VIDEO_FRAME_HEADER>(message.fixed);
  frame.blockA = std::move(message.blocks[0]);
  frame.blockB = std::move(message.blocks[1]);
  frame.picture = std::move(message.blocks[2]);
  return frame;
}

AUDIO_FRAMES ToAudioFrame(RawMessage&& message) {
  if (message.type != kAudioFrame) ThrowWrongType();
  AUDIO_FRAMES frame;
  frame.header = FromBytes<AUDIO_FRAME_HEADER>(message.fixed);
  frame.payload = std::move(message.blocks[0]);
  return frame;
}

AUDIO_FRAMES ToMicrophoneFrame(RawMessage&& message) {
  if (message.type != kMicrophoneAudio) ThrowWrongType();
  auto header = FromBytes<MICROPHONE_FRAME_HEADER>(message.fixed);
  AUDIO_FRAMES frame;
  frame.header = header.audio;
  frame.capturePosition = header.capturePosition;
  frame.payload = std::move(message.blocks[0]);
  return frame;
}

MOUSE_INFO ToCursorShape(RawMessage&& message) {
  if (message.type != kCursorShape) ThrowWrongType();
  MOUSE_INFO cursor;
  cursor.header = FromBytes<CURSOR_SHAPE_HEADER>(message.fixed);
  cursor.shape = std::move(message.blocks[0]);
  return cursor;
}

std::u16string ToOpenLink(const RawMessage& message) {
  if (message.type != kOpenLink) ThrowWrongType();
  return ReadOpenLinkText(message.blocks[0]);
}

HUMAN_CONTROL_EVENT_PACKET ToHumanControlEvent(const RawMessage& message) {
  switch (message.type) {
    case kControlReleased:
    case kControlMouse:
    case kControlKeyboard:
    case kControlGamepad:
      break;
    default:
      ThrowWrongType();
  }
  HUMAN_CONTROL_EVENT_PACKET packet;
  std::size_t size = HumanControlWireSize(message.type);
  if (message.fixed.size() + 1 != size) ThrowShortRecord();
  packet.bytes[0] = message.type;
  std::memcpy(packet.bytes + 1, message.fixed.data(), message.fixed.size());
  return packet;
}

StreamParser::StreamParser(const ChannelSpec& channel, Handler handler)
    : channel_(channel), handler_(std::move(handler)) {}

void StreamParser::Reset() {
  stage_ = Stage::Type;
  rule_ = nullptr;
  message_ = RawMessage{};
  filled_ = 0;
  expected_ = 0;
  block_ = 0;
}

void StreamParser::Feed(const uint8_t* data, std::size_t size) {
  if (stage_ == Stage::Failed) throw ProtocolException(channel_.unknownTypeText, ZEP_SOURCE, __LINE__);
  try {
    while (size > 0) {
      if (stage_ == Stage::Type) {
        StartMessage(*data);
        ++data;
        --size;
        continue;
      }
      if (stage_ == Stage::Fixed) {
        std::size_t n = std::min(size, message_.fixed.size() - filled_);
        std::memcpy(message_.fixed.data() + filled_, data, n);
        filled_ += n;
        data += n;
        size -= n;
        if (filled_ == message_.fixed.size()) Advance();
        continue;
      }
      // Blocks grow with the bytes that really arrive, so a size announced but never sent
      // costs no memory.
      Bytes& target = message_.blocks[block_];
      std::size_t n = std::min(size, expected_ - target.size());
      target.insert(target.end(), data, data + n);
      data += n;
      size -= n;
      if (target.size() == expected_) NextBlock();
    }
  } catch (const ProtocolException&) {
    stage_ = Stage::Failed;
    message_ = RawMessage{};
    throw;
  }
}

void StreamParser::StartMessage(uint8_t type) {
  CheckAccepted(channel_, type);
  rule_ = FindRule(type);
  if (rule_ == nullptr) throw ProtocolException(channel_.unknownTypeText, ZEP_SOURCE, __LINE__);
  message_ = RawMessage{};
  message_.type = type;
  message_.fixed.resize(rule_->fixedSize);
  filled_ = 0;
  stage_ = Stage::Fixed;
  if (rule_->fixedSize == 0) Advance();
}

void StreamParser::Advance() {
  if (stage_ == Stage::Fixed) {
    // All sizes are checked before any block is allocated.
    for (int i = 0; i < rule_->blockCount; ++i) BlockSize(*rule_, message_.fixed, i);
    block_ = -1;
  }
  NextBlock();
}

void StreamParser::NextBlock() {
  for (++block_; block_ < rule_->blockCount; ++block_) {
    uint32_t size = BlockSize(*rule_, message_.fixed, block_);
    if (size != 0) {
      message_.blocks[block_].reserve(std::min<std::size_t>(size, kInitialBlockReserve));
      expected_ = size;
      stage_ = Stage::Block;
      return;
    }
  }
  Finish();
}

void StreamParser::Finish() {
  RawMessage done = std::move(message_);
  message_ = RawMessage{};
  stage_ = Stage::Type;
  rule_ = nullptr;
  filled_ = 0;
  block_ = 0;
  handler_(std::move(done));
}

}  // namespace proto
