#pragma once
// One run of the service for one start request: take the session, rank its stations, reserve
// the best with the handshake, launch zep on it, keep the session alive while zep runs, and
// move to the next station or end the session when zep ends.
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/LocalIpc.h"
#include "platform/Process.h"
#include "zeps/EndpointRanking.h"
#include "zeps/Launcher.h"
#include "zeps/ServiceState.h"

class SessionManagerClient;
class ServerManagerClient;
class WordPressClient;

struct WorkflowContext {
  SessionManagerClient& sessions;
  ServerManagerClient& servers;
  WordPressClient& settings;
  PresenceRecord& presence;
  const Launcher& launcher;
  platform::Event& stop;
  int heartbeatMs = 10000;
  RankingTimes ranking;
};

class ClientWorkflow {
 public:
  explicit ClientWorkflow(WorkflowContext context) : c_(std::move(context)) {}

  // Every failure ends the run with one stop or abort call; only a failure of that call (or
  // the service stopping) leaves here as an exception.
  void Do(const WorkflowRequest& request);

  // The complete endpoints, best first, after the station choice was reported. Throws
  // BaseException "No endpoints" or "No endpoint has passed the test".
  std::vector<RankedEndpoint> GetSortedEndpoints(const std::vector<EndpointEntry>& endpoints,
                                                 std::string& token);

 private:
  struct Run;
  void Attempt(Run& run, std::size_t i);
  // zep's exit code; heartbeats while it runs, activation when the player confirms.
  int WaitSessionDone(Run& run, platform::ChildProcess& child);
  void Abort(Run& run, const std::string& comment);

  WorkflowContext c_;
};
