// The workflow's outcomes through the real zeps: session statuses, ranking failures, refused
// and failed handshakes, repeated starts, heartbeats, zep's exit codes, and stopping the
// service while zep runs.
#include "tests/e2e/zeps/ZepsHarness.h"

using namespace zepstest;

namespace {

const char kSessionB[] = "5e55a0f1-0000-4000-8000-0000000000bb";
const char kSessionC[] = "5e55a0f1-0000-4000-8000-0000000000cc";

}  // namespace

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
