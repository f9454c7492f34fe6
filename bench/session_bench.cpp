// One streaming session's receiving side at 1080p60 H.264: the client's channel threads in this
// process against the reference station playing a clip, over TCP and over KCP, on a clean and on
// a lossy loopback link.
//
// Latency: the station stamps each frame when it sends it (its clock shares this host's monotonic
// clock here, --clock-offset-ms 0); a consumer waiting on the video queue, in the decoder's place,
// takes each frame and subtracts the stamp, so a figure covers the station's send path, the link,
// the transport, the parser and the hand-over through the queue. CPU: this process's user + system
// time over the measured window (every client channel thread; the station is another process),
// per MB of received video and audio payload.
//
// Loss comes from the kernel as in bench_kcp: a private network namespace whose loopback drops a
// random share of all packets. Without root or nft only the clean rows run.
//   bench_session [--seconds N] [--clip FILE]
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "bench/LossyNamespace.h"
#include "platform/HPCWrapper.h"
#include "sov/config/Config.h"
#include "sov/settings/RunTimeSettings.h"
#include "tests/e2e/session/MediaChannels.h"

namespace {

constexpr int kWarmUpMs = 3000;
constexpr uint32_t kUnlimitedFrameRateIndex = 8;  // no limit sent: the station keeps its --fps 60

struct Result {
  std::size_t frames = 0;
  double mb = 0;
  double p50Ms = 0, p99Ms = 0, maxMs = 0;
  double cpuMsPerMb = 0;
  double cpuShare = 0;  // of one core
};

int64_t CpuUs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000LL + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

Result RunSession(const std::string& clip, uint32_t transportIndex, int seconds) {
  stationtest::StationProcess station({"--clip", clip, "--clock-offset-ms", "0", "--fps", "60"});
  CRunTimeSettings::Set(RunTimeSettings().networkTransportIndex, transportIndex);

  std::atomic<bool> measuring{false};
  std::atomic<uint64_t> bytes{0};
  std::mutex lock;
  std::vector<double> latencyMs;  // guarded by lock
  MediaChannels channels(
      station,
      [&](std::unique_ptr<RECTS_INFO> frame) {
        const int64_t now = HPCWrapper::NowUs();
        if (!measuring) return;
        bytes += frame->picture.size();
        std::lock_guard hold(lock);
        latencyMs.push_back(static_cast<double>(now - frame->header.frameStamp) / 1000.0);
      },
      [&](std::unique_ptr<AUDIO_FRAMES> frame) {
        if (measuring) bytes += frame->payload.size();
      });

  std::this_thread::sleep_for(std::chrono::milliseconds(kWarmUpMs));
  const int64_t cpuStart = CpuUs();
  const int64_t wallStart = HPCWrapper::NowUs();
  measuring = true;
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  measuring = false;
  const int64_t cpuUs = CpuUs() - cpuStart;
  const int64_t wallUs = HPCWrapper::NowUs() - wallStart;
  channels.Stop();

  Result r;
  std::sort(latencyMs.begin(), latencyMs.end());
  r.frames = latencyMs.size();
  r.mb = static_cast<double>(bytes) / 1048576.0;
  if (!latencyMs.empty()) {
    r.p50Ms = latencyMs[latencyMs.size() / 2];
    r.p99Ms = latencyMs[std::min(latencyMs.size() - 1, latencyMs.size() * 99 / 100)];
    r.maxMs = latencyMs.back();
  }
  r.cpuMsPerMb = r.mb > 0 ? static_cast<double>(cpuUs) / 1000.0 / r.mb : 0;
  r.cpuShare = static_cast<double>(cpuUs) / static_cast<double>(wallUs);
  return r;
}

// The clip is made once (a few seconds of encoding) and kept for later runs.
bool EnsureClip(const std::string& clip) {
  if (std::filesystem::exists(clip)) return true;
  std::printf("making %s ...\n", clip.c_str());
  std::fflush(stdout);
  const std::string cmd = std::string(ZEP_BINARY_DIR "/bin/zep-station --make-clip ") + clip +
                          " --codec 0 --size 1920x1080 --fps 60 --clip-frames 120 >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0 && std::filesystem::exists(clip);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 6;
  std::string clip = (std::filesystem::temp_directory_path() / "zep-bench-h264-1080p60.clip").string();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--seconds") seconds = std::max(1, std::atoi(argv[i + 1]));
    if (opt == "--clip") clip = argv[i + 1];
  }
  if (!EnsureClip(clip)) {
    std::fprintf(stderr, "cannot make the clip %s with zep-station\n", clip.c_str());
    return 1;
  }
  // Settings from a fresh store, never the user's.
  const auto home = std::filesystem::temp_directory_path() / ("zep-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(home);
  setenv("XDG_CONFIG_HOME", home.c_str(), 1);
  Config::Instance().Load((home / "client-config.cfg").string());  // the defaults
  CRunTimeSettings::Set(RunTimeSettings().serverFpsIndex, kUnlimitedFrameRateIndex);

  const bool lossy = bench::EnterLossyNamespace();
  if (!lossy)
    std::printf("note: no private network namespace with nftables (needs root and nft); 0 %% loss only\n");
  std::printf("one session, 1080p60 H.264 clip, %d s measured per row after %d s warm-up\n", seconds,
              kWarmUpMs / 1000);
  std::printf("latency: station send stamp -> frame taken from the video queue\n\n");
  std::printf("transport  loss  frames   MB/s   p50 ms   p99 ms   max ms  CPU ms/MB  CPU %%core\n");
  for (int loss : {0, 2}) {
    if (loss > 0 && (!lossy || !bench::SetLoss(loss))) continue;
    for (uint32_t transport : {0u, 1u}) {
      const Result r = RunSession(clip, transport, seconds);
      std::printf("%-9s %4d %% %7zu %6.2f %8.2f %8.2f %8.2f %10.1f %9.1f\n", transport == 0 ? "TCP" : "KCP",
                  loss, r.frames, r.mb / seconds, r.p50Ms, r.p99Ms, r.maxMs, r.cpuMsPerMb, r.cpuShare * 100);
      std::fflush(stdout);
    }
  }
  std::filesystem::remove_all(home);
  return 0;
}
