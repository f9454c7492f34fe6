#include "zep/video/TripleBuffer.h"

namespace video {

TripleBuffer::TripleBuffer() {
  for (Picture& p : records_) p.frame.reset(av_frame_alloc());
  if (!records_[0].frame || !records_[1].frame || !records_[2].frame) throw std::bad_alloc();
}

void TripleBuffer::Publish() {
  back_->sequence = ++published_;
  back_ = ready_.exchange(back_, std::memory_order_acq_rel);
  counter_.fetch_add(1, std::memory_order_relaxed);
  frameReady_.Set();
}

Picture* TripleBuffer::AcquireFront() {
  front_ = ready_.exchange(front_, std::memory_order_acq_rel);
  if (front_->sequence > taken_) {
    taken_ = front_->sequence;
    counter_.fetch_sub(1, std::memory_order_relaxed);
    return front_;
  }
  // An older record came back: our picture went to the ready slot a moment ago. Take back
  // whatever is there now, our own picture or a newer one, so the writer never overwrites
  // the picture on screen and an old picture is never shown after a newer one.
  front_ = ready_.exchange(front_, std::memory_order_acq_rel);
  if (front_->sequence > taken_) {
    taken_ = front_->sequence;
    counter_.fetch_sub(1, std::memory_order_relaxed);
    return front_;
  }
  return nullptr;
}

}  // namespace video
