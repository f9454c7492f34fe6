#pragma once
// Every message goes out as one send of the type byte and one send of the payload, so the
// byte stream is their concatenation.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "sov/channel/ProtocolBase.h"
#include "sov/protocol/Messages.h"

class ProtocolSender : public ProtocolBase {
 public:
  using ProtocolBase::ProtocolBase;

  // A message without payload, such as the keep-alive.
  void SendType(uint8_t type);
  void SendMessage(uint8_t type, const void* payload, std::size_t size);
  template <class T>
  void SendMessage(uint8_t type, const T& payload) {
    static_assert(std::is_trivially_copyable_v<T>);
    SendMessage(type, &payload, sizeof(T));
  }
  // Type 13: the type byte, the 60-byte header (payload size taken from the frame), then the
  // payload when it is not empty.
  void SendMicrophoneFrame(const AUDIO_FRAMES& frame);
  // The first 2, 36, 22 or 17 bytes of the packet by its type (byte 0). Any other type is a
  // programming error: ErrCodeException E_INVALIDARG, and nothing is sent.
  void SendHumanControlEvent(const HUMAN_CONTROL_EVENT_PACKET& packet);
};
