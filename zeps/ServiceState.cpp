#include "zeps/ServiceState.h"

#include "platform/Wait.h"

bool StartRequests::TryStart(const WorkflowRequest& request) {
  std::lock_guard lock(mutex_);
  if (started_.IsSet()) return false;
  request_ = request;
  started_.Set();
  return true;
}

std::optional<WorkflowRequest> StartRequests::WaitNext(platform::Event& stop) {
  {
    std::lock_guard lock(mutex_);
    started_.Reset();
  }
  if (platform::WaitAny({&stop, &started_}, platform::kInfinite) != 1) return std::nullopt;
  std::lock_guard lock(mutex_);
  return request_;
}
