#pragma once
// The session's queues and the owning handles its media records travel in. A record
// belongs to whoever holds its handle: the producer until push returns, then the
// queue, then the consumer that popped it. So a queue that is dropped frees what it
// held, and a push that fails or is interrupted leaves the record with the producer,
// whose handle frees it on the way out.
//
// The handles live here rather than beside the records: this is where ownership
// changes hands, and a forward declaration keeps the queue library free of the
// protocol library. Code that makes or frees a record includes
// sov/protocol/Messages.h, where the records and their wire layouts are defined.
#include <memory>

#include "sov/queue/BlockingQueue.h"

struct RECTS_INFO;
struct AUDIO_FRAMES;
struct MOUSE_INFO;
struct HUMAN_CONTROL_EVENT_PACKET;

// The records own their payloads (vectors), so plain delete frees all of a record; a
// record that wraps a C object (a decoded frame) names its own deleter.
template <class T, class Deleter = std::default_delete<T>>
using RecordPtr = std::unique_ptr<T, Deleter>;

using VideoFramePtr = RecordPtr<RECTS_INFO>;
using AudioFramesPtr = RecordPtr<AUDIO_FRAMES>;
using MouseInfoPtr = RecordPtr<MOUSE_INFO>;

using VideoFrameQueue = BlockingQueue<VideoFramePtr>;
using AudioFramesQueue = BlockingQueue<AudioFramesPtr>;
using MouseInfoQueue = BlockingQueue<MouseInfoPtr>;
// Control events are 36 bytes and travel by value.
using ControlEventQueue = BlockingQueue<HUMAN_CONTROL_EVENT_PACKET>;

// Small media queues keep stale video, cursor and audio data from piling up: a slow
// consumer throttles its producer instead. Input and captured microphone frames may
// run ahead of their consumers without blocking the device or the window.
constexpr int kMediaQueueCapacity = 16;
constexpr int kControlQueueCapacity = 1024;
constexpr int kMicrophoneQueueCapacity = 2048;
