#include "sov/channel/ProtocolSender.h"

#include "ErrorHandling/ErrorHandling.h"
#include "sov/base/BaseException.h"
#include "sov/net/TransportBase.h"
#include "sov/protocol/Codec.h"

void ProtocolSender::SendType(uint8_t type) {
  transport_->SendBuffer(&type, 1);
}

void ProtocolSender::SendMessage(uint8_t type, const void* payload, std::size_t size) {
  transport_->SendBuffer(&type, 1);
  if (size != 0) transport_->SendBuffer(payload, size);
}

void ProtocolSender::SendMicrophoneFrame(const AUDIO_FRAMES& frame) {
  if (frame.payload.size() > UINT32_MAX) THROW_ERRCODE(ErrCode::InvalidArg);
  proto::MICROPHONE_FRAME_HEADER header;
  header.audio = frame.header;
  header.audio.payloadSize = static_cast<uint32_t>(frame.payload.size());
  header.capturePosition = frame.capturePosition;
  SendMessage(proto::kMicrophoneAudio, header);
  if (!frame.payload.empty()) transport_->SendBuffer(frame.payload.data(), frame.payload.size());
}

void ProtocolSender::SendHumanControlEvent(const HUMAN_CONTROL_EVENT_PACKET& packet) {
  std::size_t size = proto::HumanControlWireSize(packet.Type());
  transport_->SendBuffer(packet.bytes, size);
}
