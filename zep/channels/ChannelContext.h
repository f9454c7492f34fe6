#pragma once
// Everything a channel thread works with: where the station is, the session's shared state, the
// queues it feeds or drains, and the seams to subsystems that live elsewhere.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Guid.h"
#include "sov/protocol/Messages.h"
#include "sov/queue/BlockingQueue.h"
#include "zep/session/SessionShared.h"
#include "zep/stats/StatsTable.h"

template <class T>
using RecordQueue = BlockingQueue<std::unique_ptr<T>>;

struct StationAddress {
  std::string address;  // dotted IPv4
  uint32_t mousePointerPort = 0;
  uint32_t videoPort = 0;
  uint32_t audioPort = 0;
  uint32_t apiPort = 0;
  uint32_t humanControlPort = 0;
  uint32_t udpVideoPort = 0;
  uint32_t udpAudioPort = 0;
  platform::Guid clientGuid;
  std::string token;  // for the stream-key request
};

// Where the gamepad side takes vibration requests from the station.
class IGamepadFeedback {
 public:
  virtual ~IGamepadFeedback() = default;
  virtual void Vibrate(uint32_t controller, uint16_t leftMotor, uint16_t rightMotor) = 0;
};

struct ChannelContext {
  const StationAddress& station;
  SessionShared& shared;
  StatsTable& table;  // the cells the channels measure: frame rate, latency, jitter, receive rates
  // Media queues; null while their consumer is not part of the build, and the records are then freed.
  RecordQueue<RECTS_INFO>* videoFrames = nullptr;
  RecordQueue<AUDIO_FRAMES>* receivedAudio = nullptr;
  RecordQueue<MOUSE_INFO>* cursorShapes = nullptr;
  RecordQueue<AUDIO_FRAMES>* microphoneToSend = nullptr;  // drained by the API sender
  // Control events travel by value: the window thread's input path never allocates.
  BlockingQueue<HUMAN_CONTROL_EVENT_PACKET>* controlEvents = nullptr;
  IGamepadFeedback* gamepad = nullptr;  // null: vibration requests are dropped
};

// Transport modes of the UDP parameters: which transport the station sends a medium on.
constexpr uint32_t kTransportModeTcp = 1;
constexpr uint32_t kTransportModeKcp = 2;

// The pause between two connection attempts of a channel.
constexpr int kReconnectDelayMs = 1000;
// Waits out the pause before a reconnect; an interrupt ends the thread instead (InterruptException).
void PauseBeforeRetry(platform::Event& interrupt);
// Ends the thread (InterruptException) once the session is interrupted.
void ThrowIfInterrupted(const platform::Event& interrupt);

// Hands a record to its queue, or frees it when the queue has no consumer in this build.
template <class T>
void Deliver(RecordQueue<T>* queue, std::unique_ptr<T> record) {
  if (queue != nullptr) queue->push(std::move(record));
}
