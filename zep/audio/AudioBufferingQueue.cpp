#include "zep/audio/AudioBufferingQueue.h"

#include <algorithm>

#include "zep/audio/AudioFormat.h"

namespace audio {
namespace {

// Only the caller takes from the queue, so the head record stays in place (and at the same
// address) until the caller pops or replaces it; producers only add behind it.
AUDIO_FRAMES& Head(AudioFramesQueue& queue) {
  return *queue.peek([](AudioFramesPtr& head) { return head.get(); });
}

}  // namespace

AudioFramesPtr TakeFrames(AudioFramesQueue& queue, uint32_t wanted) {
  // Records without a single usable frame would never leave the head.
  while (UsableFrames(Head(queue)) == 0) queue.pop();
  const AUDIO_FRAMES& head = Head(queue);
  const bool silent = IsSilent(head);
  const Format format = head.header.format;
  uint64_t available = 0;
  queue.visit([&](const AudioFramesPtr& r) {
    if (IsSilent(*r) != silent || !SameFormat(r->header.format, format)) return false;
    available += UsableFrames(*r);
    return available < wanted;
  });
  const uint32_t frames = static_cast<uint32_t>(std::min<uint64_t>(available, wanted));
  const uint32_t align = format.blockAlign;

  auto out = std::make_unique<AUDIO_FRAMES>();
  out->header = head.header;
  out->capturePosition = head.capturePosition;
  out->header.frameCount = frames;
  out->header.payloadSize = frames * align;
  if (!silent) out->payload.reserve(std::size_t{frames} * align);

  for (uint32_t missing = frames; missing > 0;) {
    AUDIO_FRAMES& r = Head(queue);
    const uint32_t have = UsableFrames(r);
    const uint32_t take = std::min(have, missing);
    const std::size_t bytes = std::size_t{take} * align;
    if (!silent) out->payload.insert(out->payload.end(), r.payload.begin(), r.payload.begin() + bytes);
    if (take == have) {
      queue.pop();
    } else {
      auto rest = std::make_unique<AUDIO_FRAMES>();
      rest->header = r.header;
      rest->capturePosition = r.capturePosition;
      rest->header.frameCount = have - take;
      rest->header.payloadSize = (have - take) * align;
      if (!silent)
        rest->payload.assign(r.payload.begin() + bytes, r.payload.begin() + std::size_t{have} * align);
      queue.replaceHead(std::move(rest));  // the old head is freed here, outside the lock
    }
    missing -= take;
  }
  return out;
}

int DropExcess(AudioFramesQueue& queue, int limit) {
  const int waiting = queue.count();
  if (waiting <= limit) return 0;
  int dropped = 0;
  for (int i = 0; i < waiting - limit + 1; ++i)
    if (queue.tryPop()) ++dropped;
  return dropped;
}

int DropAll(AudioFramesQueue& queue) {
  int dropped = 0;
  for (int n = queue.count(); n > 0; --n)
    if (queue.tryPop()) ++dropped;
  return dropped;
}

}  // namespace audio
