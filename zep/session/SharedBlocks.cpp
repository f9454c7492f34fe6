#include "zep/session/SharedBlocks.h"

#include <algorithm>

#include "zep/session/SessionShared.h"

UdpParamsBlock::UdpParamsBlock() {
  current_.video.transportMode = current_.audio.transportMode = 1;
  previous_ = current_;
}

void UdpParamsBlock::Reset(const proto::UDP_PARAMETERS& initial) {
  std::lock_guard lock(lock_);
  current_ = previous_ = initial;
}

proto::UDP_PARAMETERS UdpParamsBlock::Current() const {
  std::lock_guard lock(lock_);
  return current_;
}

proto::UDP_PARAMETERS UdpParamsBlock::Previous() const {
  std::lock_guard lock(lock_);
  return previous_;
}

void UdpParamsBlock::Replace(const proto::UDP_PARAMETERS& next) {
  std::lock_guard lock(lock_);
  previous_ = current_;
  current_ = next;
}

void ResolutionRequest::Set(const proto::RESOLUTION& request) {
  {
    std::lock_guard lock(lock_);
    request_ = request;
  }
  changed.Set();
}

proto::RESOLUTION ResolutionRequest::Get() const {
  std::lock_guard lock(lock_);
  return request_;
}

void ClipboardBlock::Put(const proto::CLIPBOARD_TEXT& text) {
  {
    std::lock_guard lock(lock_);
    block_ = text;
  }
  pending_.exchange(1);
}

bool ClipboardBlock::Take(proto::CLIPBOARD_TEXT& out) {
  uint32_t expected = 1;
  if (!pending_.compare_exchange_strong(expected, 0)) return false;
  std::lock_guard lock(lock_);
  out = block_;
  return true;
}

bool IncomingRegistry::Offer(const RequestId& id) {
  if (std::all_of(id.begin(), id.end(), [](uint8_t b) { return b == 0; })) return false;
  std::lock_guard lock(lock_);
  if (!allowed_ || accepted_.count(id) || refused_.count(id)) return false;
  return pending_.insert(id).second;
}

bool IncomingRegistry::Decide(const RequestId& id, bool accept) {
  std::lock_guard lock(lock_);
  if (pending_.erase(id) == 0) return false;
  (accept ? accepted_ : refused_).insert(id);
  return true;
}

void IncomingRegistry::SetAllowed(bool allowed) {
  std::lock_guard lock(lock_);
  allowed_ = allowed;
}

std::vector<RequestId> IncomingRegistry::Pending() const {
  std::lock_guard lock(lock_);
  return {pending_.begin(), pending_.end()};
}

std::vector<RequestId> IncomingRegistry::TakeUnreported(bool accepted) {
  std::lock_guard lock(lock_);
  const auto& decided = accepted ? accepted_ : refused_;
  auto& reported = accepted ? reportedAccepted_ : reportedRefused_;
  std::vector<RequestId> out;
  for (const RequestId& id : decided)
    if (reported.insert(id).second) out.push_back(id);
  return out;
}

void PictureScale::Set(Value v) {
  std::lock_guard lock(lock_);
  value_ = v;
}

PictureScale::Value PictureScale::Get() const {
  std::lock_guard lock(lock_);
  return value_;
}

std::atomic<int64_t>& ClockOffsetUs() {
  static std::atomic<int64_t> offset{0};
  return offset;
}
