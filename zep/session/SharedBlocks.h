#pragma once
// The small blocks that several session threads share. Each sits beside the lock that guards it,
// and every lock is held only while a block is copied in or out, never across a wait.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <vector>

#include "platform/Event.h"
#include "sov/protocol/Messages.h"

// UDP parameters of both KCP channels: the current block, written by the API sender, and the one
// it replaced. Both transport modes start as 1 (TCP) and both conversations as 0.
class UdpParamsBlock {
 public:
  UdpParamsBlock();
  // Both blocks become `initial`, before any channel thread runs.
  void Reset(const proto::UDP_PARAMETERS& initial);
  proto::UDP_PARAMETERS Current() const;
  proto::UDP_PARAMETERS Previous() const;
  // The new block becomes current; the old current one becomes the previous one.
  void Replace(const proto::UDP_PARAMETERS& next);

 private:
  mutable std::mutex lock_;  // the session lock: guards current_ and previous_
  proto::UDP_PARAMETERS current_;
  proto::UDP_PARAMETERS previous_;
};

// The stream resolution the client asks for; `changed` (auto reset) tells the API sender to send it.
class ResolutionRequest {
 public:
  ResolutionRequest() : changed(false) {}
  void Set(const proto::RESOLUTION& request);
  proto::RESOLUTION Get() const;

  platform::Event changed;

 private:
  mutable std::mutex lock_;  // guards request_
  proto::RESOLUTION request_;
};

// The scrambled clipboard text waiting to be sent; `pending` is taken 1 -> 0 by the API sender.
class ClipboardBlock {
 public:
  void Put(const proto::CLIPBOARD_TEXT& text);
  // The block when one was pending (and clears the flag), else false.
  bool Take(proto::CLIPBOARD_TEXT& out);

 private:
  mutable std::mutex lock_;  // guards block_
  proto::CLIPBOARD_TEXT block_;
  std::atomic<uint32_t> pending_{0};
};

using RequestId = std::array<uint8_t, 16>;

// Incoming requests from the station: offered by the API receiver, decided by the confirmation pane,
// reported once each by the API sender.
class IncomingRegistry {
 public:
  // Ignored (false) for an all-zero id, one already decided, or any request while not allowed.
  bool Offer(const RequestId& id);
  // The pane's answer for a pending request; false when the id is not pending.
  bool Decide(const RequestId& id, bool accept);
  void SetAllowed(bool allowed);
  std::vector<RequestId> Pending() const;
  // Decisions not reported yet, each returned once.
  std::vector<RequestId> TakeUnreported(bool accepted);

 private:
  mutable std::mutex lock_;  // guards every member below
  std::set<RequestId> pending_, accepted_, refused_, reportedAccepted_, reportedRefused_;
  bool allowed_ = false;
};

// How the presented picture is scaled to the window (the quad scale of the renderer).
class PictureScale {
 public:
  struct Value {
    float x = 1.0f;
    float y = 1.0f;
  };
  void Set(Value v);
  Value Get() const;

 private:
  mutable std::mutex lock_;  // guards value_
  Value value_;
};
