// The workflow's outcomes through the real zeps: session statuses, ranking failures, refused
// and failed handshakes, repeated starts, heartbeats, zep's exit codes, and stopping the
// service while zep runs.
#include "tests/e2e/zeps/ZepsHarness.h"

using namespace zepstest;

namespace {

const char kSessionB[] = "5e55a0f1-0000-4000-8000-0000000000bb";
const char kSessionC[] = "5e55a0f1-0000-4000-8000-0000000000cc";

std::string SessionPath(const std::string& id) {
  return "/session-manager/sessions/" + id;
}

}  // namespace

// SIGTERM to zeps while zep runs: zep gets its SIGTERM and its grace period, the session is
// stopped on the back-end, and only then does zeps exit.
TEST(ZepsWorkflow, StoppingTheServiceClosesZepThenStopsTheSession) {
  StationProcess station({});
  BackendSim backend(ScenarioOf({SessionJson(kSession, "NEW", Endpoint(station, "srv", "Rome"))}));
  ServiceFolder folder(backend, "0\n");
  std::ofstream(folder.Dir() / "run-seconds") << "60";
  const pid_t zeps = folder.Start();
  ASSERT_TRUE(folder.WaitListening());
  ASSERT_NE(folder.OpenSsl(StartCommand(kSession)), -1);
  ASSERT_TRUE(WaitFor(
      [&] { return Find(backend.Requests(), "PUT", SessionPath(kSession) + "/activate") >= 0; }, 20000))
      << folder.Log();

  kill(zeps, SIGTERM);
  EXPECT_EQ(WaitExit(zeps, 20000), 0);
  EXPECT_EQ(Read(folder.Dir() / "signals"), "TERM\n") << "zep was asked to close, not killed";
  const std::vector<LoggedRequest> log = backend.Requests();
  EXPECT_GE(Find(log, "PUT", SessionPath(kSession) + "/stop"), 0) << folder.Log();
  EXPECT_EQ(AbortComment(log, kSession), "<none>");
  const std::string service = folder.Log();
  EXPECT_EQ(service.find("did not close within"), std::string::npos) << service;
  EXPECT_LT(service.find("/stop"), service.find("Client Service stopped")) << service;
}

// Statuses: an unknown one aborts with the reason itself as the comment.
TEST(ZepsWorkflow, SessionStatusesAndRankingOutcomes) {
  StationProcess station({});
  BackendSim backend(ScenarioOf({SessionJson(kSession, "CLOSED", Endpoint(station, "srv", "Rome"))}));
  ServiceFolder folder(backend, "0\n");
  const pid_t zeps = folder.Start();
  ASSERT_TRUE(folder.WaitListening());

  ASSERT_NE(folder.OpenSsl(StartCommand(kSession)), -1);
  ASSERT_TRUE(WaitFor([&] { return AbortComment(backend.Requests(), kSession) != "<none>"; }, 15000))
      << folder.Log();
  EXPECT_EQ(AbortComment(backend.Requests(), kSession), "session has unexpected status");

  kill(zeps, SIGTERM);
  EXPECT_EQ(WaitExit(zeps, 20000), 0);
}
