#pragma once
// What the service's threads share: the stop event, the start request that the browser link
// hands to the workflow, and the presence record.
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Event.h"

// What the browser asked to play.
struct WorkflowRequest {
  std::string proxyToken;
  std::string sessionId;
  uint8_t startFlag = 0;
};

// The start event and the request it guards. The event is signalled from the moment a start
// is taken until the workflow thread waits for the next one, so a start that arrives while a
// run is in progress changes nothing. Test and write happen under one lock, so two starts
// arriving at once by the two ways in never mix their fields.
class StartRequests {
 public:
  // Takes the request unless a run is requested or in progress; true when taken.
  bool TryStart(const WorkflowRequest& request);
  // Workflow thread: ends the previous run's claim and waits for the next request. Nothing
  // once `stop` is set.
  std::optional<WorkflowRequest> WaitNext(platform::Event& stop);
  bool Pending() const { return started_.IsSet(); }

 private:
  std::mutex mutex_;               // guards request_ and the test-and-set of started_
  platform::Event started_{true};  // manual reset
  WorkflowRequest request_;
};

// The game title shown in the player's Discord status.
struct PresenceRecord {
  platform::Event update{false};  // auto reset
  platform::Event clear{false};   // auto reset
  std::mutex mutex;               // guards title
  std::string title;

  void Publish(const std::string& newTitle) {
    {
      std::lock_guard lock(mutex);
      title = newTitle;
    }
    update.Set();
  }
  std::string Title() {
    std::lock_guard lock(mutex);
    return title;
  }
};
