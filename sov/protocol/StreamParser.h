#pragma once
// Reading stream messages: the incremental parser that KCP channels feed with whatever
// byte runs arrive, and the exact-length reader used over TCP. Both hand over a message
// only when it is complete, as a RawMessage; the To* functions turn it into the media records.
//
// Leniencies and limits: reserved and uninterpreted bytes are passed through unchecked;
// 0 (no-op) and 11 (keep-alive) are handed over like any message, with no payload. A type the
// channel does not accept, or a block size above its limit (see Messages.h), raises
// ProtocolException before anything is allocated; the parser then stays failed until Reset(),
// since nothing inside a channel can be resynchronised.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "sov/base/BaseException.h"
#include "sov/protocol/Codec.h"
#include "sov/protocol/Messages.h"

namespace proto {

struct RawMessage {
  uint8_t type = 0;
  Bytes fixed;                  // the fixed part after the type byte (header or whole payload)
  std::array<Bytes, 3> blocks;  // the counted blocks in wire order; empty when announced as 0
};

// Moves the blocks into the media records; the type must match (else ProtocolException).
RECTS_INFO ToVideoFrame(RawMessage&& message);         // type 2
AUDIO_FRAMES ToAudioFrame(RawMessage&& message);       // type 3
AUDIO_FRAMES ToMicrophoneFrame(RawMessage&& message);  // type 13, capture position filled
MOUSE_INFO ToCursorShape(RawMessage&& message);        // type 1
std::u16string ToOpenLink(const RawMessage& message);  // type 12
HUMAN_CONTROL_EVENT_PACKET ToHumanControlEvent(const RawMessage& message);  // types 4, 9, 10, 18
template <class T>
T FixedAs(const RawMessage& message) {
  return FromBytes<T>(message.fixed);
}

class StreamParser {
 public:
  using Handler = std::function<void(RawMessage&& message)>;

  StreamParser(const ChannelSpec& channel, Handler handler);

  // Consumes every byte; calls the handler once per completed message, in stream order. A
  // message may span any number of calls, and one call may complete any number of messages.
  // Throws ProtocolException on bad input (and on every call after that until Reset()).
  void Feed(const uint8_t* data, std::size_t size);
  void Feed(std::span<const uint8_t> data) { Feed(data.data(), data.size()); }

  // True when no message is partly received.
  bool Idle() const { return stage_ == Stage::Type; }
  void Reset();

 private:
  enum class Stage { Type, Fixed, Block, Failed };

  void StartMessage(uint8_t type);
  // Moves on after the fixed part or a block is complete; hands over a finished message.
  void Advance();
  void NextBlock();
  void Finish();

  ChannelSpec channel_;
  Handler handler_;
  Stage stage_ = Stage::Type;
  const MessageRule* rule_ = nullptr;
  RawMessage message_;
  std::size_t filled_ = 0;    // bytes of the fixed part already in
  std::size_t expected_ = 0;  // announced size of the current block
  int block_ = 0;             // current block index while in Stage::Block
};

// Reads a message's size from its fixed part and checks it against the rule's limit;
// ProtocolException when over.
uint32_t BlockSize(const MessageRule& rule, const Bytes& fixed, int block);

// TCP reading over any source with `void* ReceiveBuffer(void*, size_t)` (and, for ReadMessage,
// `uint8_t ReceiveMessageType()`), such as TransportBase. Blocks are bounded before allocation.
inline constexpr std::size_t kReadStep = 1u << 20;

template <class Source>
RawMessage ReadMessageBody(Source& source, uint8_t type) {
  RawMessage message;
  message.type = type;
  const MessageRule* rule = FindRule(type);
  if (rule == nullptr) throw ProtocolException(kProtocolFailureText, ZEP_SOURCE, __LINE__);
  message.fixed.resize(rule->fixedSize);
  if (rule->fixedSize != 0) source.ReceiveBuffer(message.fixed.data(), message.fixed.size());
  for (int i = 0; i < rule->blockCount; ++i) {
    uint32_t size = BlockSize(*rule, message.fixed, i);
    // Read in steps so that memory follows the bytes that really arrive.
    Bytes& block = message.blocks[i];
    while (block.size() < size) {
      std::size_t have = block.size();
      std::size_t step = std::min<std::size_t>(size - have, kReadStep);
      block.resize(have + step);
      source.ReceiveBuffer(block.data() + have, step);
    }
  }
  return message;
}

template <class Source>
RawMessage ReadMessage(Source& source, const ChannelSpec& channel) {
  uint8_t type = source.ReceiveMessageType();
  CheckAccepted(channel, type);
  return ReadMessageBody(source, type);
}

}  // namespace proto
