#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "sov/base/Log.h"
#include "zep/stats/StatsThread.h"

namespace fs = std::filesystem;
using namespace std::chrono;

namespace {

std::vector<std::string> Lines(const fs::path& p) {
  zlog::Flush();
  std::vector<std::string> out;
  std::ifstream in(p);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Runs the thread with both logs open and three cursor shapes and one frame queued;
// Stop() returns how long it took to end.
struct ThreadRun {
  explicit ThreadRun(int periodMs) {
    fs::create_directories(dir);
    zlog::Init(0, dir / "vektaclient.log", 1 << 20);
    zlog::Init(1, csv, 1 << 20);
    table.SetReal(kStatFpsServer, 59.5f);
    for (int i = 0; i < 3; ++i) shapes.push(i);
    frames.push(1);
    StatsThreadParams p;
    p.stop = &stop;
    p.table = &table;
    p.mouseShapes = QueueGauge(shapes);
    p.videoFrames = QueueGauge(frames);
    p.periodMs = periodMs;
    result = std::async(std::launch::async, StatsThreadProc, p);
  }
  ~ThreadRun() {
    stop.Set();  // a failed assertion may leave it running
    if (result.valid()) result.wait();
    SetStatsCsvEnabled(false);
    zlog::Shutdown();
    fs::remove_all(dir);
  }
  milliseconds Stop() {
    const auto t0 = steady_clock::now();
    stop.Set();
    EXPECT_EQ(result.get(), 0);
    return duration_cast<milliseconds>(steady_clock::now() - t0);
  }
  const fs::path dir = fs::temp_directory_path() / ("zep-stats-" + std::to_string(getpid()));
  const fs::path csv = dir / "vektaclient.csv";
  platform::Event stop{true};
  BlockingQueue<int> shapes{stop, 16}, frames{stop, 16};
  StatsTable table;
  std::future<int> result;
};

TEST(StatsThread, WritesOneLinePerRoundOnlyWhileReportingIsOn) {
  ThreadRun run(20);
  // Two rounds while reporting is off: the shapes' arrival is counted, then cleared.
  for (auto t0 = steady_clock::now(); steady_clock::now() - t0 < seconds(10);) {
    if (run.table.Value(kStatMouseShapesQueued).i == 3 && run.table.Value(kStatMouseShapesPerSecond).i == 0)
      break;
    std::this_thread::sleep_for(milliseconds(2));
  }
  EXPECT_EQ(Lines(run.csv).size(), 1u);  // the header only
  EXPECT_TRUE(ToggleStatsCsv());
  const auto on = steady_clock::now();
  while (Lines(run.csv).size() < 5 && steady_clock::now() - on < seconds(10))
    std::this_thread::sleep_for(milliseconds(5));
  run.Stop();
  const auto rounds = duration_cast<milliseconds>(steady_clock::now() - on).count() / 20 + 1;
  auto lines = Lines(run.csv);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_LE(static_cast<long>(lines.size()) - 1, rounds + 1);  // never more than a line per round
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_NE(lines[i].find(";DEBUG;"), std::string::npos) << lines[i];
    EXPECT_TRUE(lines[i].ends_with(";StatsThreadProc@580;\"0;0;1;59.5;0;0\"")) << lines[i];
  }
  EXPECT_EQ(run.table.Value(kStatMouseShapesQueued).i, 3);
}

TEST(StatsThread, StopsWithinMillisecondsOfTheInterrupt) {
  SetStatsCsvEnabled(true);
  ThreadRun run(30000);
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_LT(run.Stop(), milliseconds(500));
  EXPECT_EQ(Lines(run.csv).size(), 1u);
  auto log = Lines(run.dir / "vektaclient.log");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_NE(log[0].find("StatsThreadProc: thread interrupted"), std::string::npos) << log[0];
}

}  // namespace
