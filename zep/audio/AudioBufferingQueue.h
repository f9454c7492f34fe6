#pragma once
// The two operations the player needs beyond a plain queue: taking a number of frames that may
// span or split records, and dropping what waits beyond the delay bound.
#include <cstdint>

#include "zep/audio/AudioFormat.h"

namespace audio {

// Blocks until the queue holds a record, then assembles up to `wanted` frames from the head on.
// Only records with the head's silent flag and format are joined; a record used in part stays at
// the head holding the rest. The result has the head's header with its own count and size (a
// silent result has no payload). Only one thread may take from the queue.
AudioFramesPtr TakeFrames(AudioFramesQueue& queue, uint32_t wanted);

// With more than `limit` records waiting, frees the oldest so that limit - 1 remain. Returns the
// number dropped.
int DropExcess(AudioFramesQueue& queue, int limit);

// Frees everything the queue holds now. Returns the number dropped.
int DropAll(AudioFramesQueue& queue);

}  // namespace audio
