// Audio playback delay and cost: AAC frames pushed into the receive queue at the stream's own pace
// (1024 frames at 48 kHz stereo) run through the real decode, resample and play threads into SDL's
// disk driver. For buffer index 0, 1 and 2 it reports the delay from a frame's arrival in the
// receive queue to its samples being queued on the device (p50, p99), the share of audio dropped, and the CPU
// time of the three threads per second of audio. Run: bench_audio [seconds per index, default 6].
// The disk driver paces itself with sleeps, so its clock runs a little slow against the feed, as a
// real device's clock drifts against the station's: the delay bounds then decide what waits and
// what is dropped. SDL_DISKAUDIODELAY=9 makes the device the faster side instead.
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/HPCWrapper.h"
#include "platform/Waitable.h"
#include "sov/settings/RunTimeSettings.h"
#include "tools/station-sim/AacEncoder.h"
#include "zep/audio/AudioThreads.h"

namespace {

// Nanoseconds on the CPU of this process's threads whose names start with each prefix.
std::map<std::string, int64_t> ThreadCpuNs(const std::vector<std::string>& prefixes) {
  std::map<std::string, int64_t> out;
  DIR* dir = opendir("/proc/self/task");
  while (dirent* e = dir ? readdir(dir) : nullptr) {
    if (e->d_name[0] == '.') continue;
    const std::string task = std::string("/proc/self/task/") + e->d_name;
    std::string comm;
    std::getline(std::ifstream(task + "/comm"), comm);
    int64_t ns = 0;
    std::ifstream(task + "/schedstat") >> ns;
    for (const std::string& p : prefixes)
      if (comm.rfind(p, 0) == 0) out[p] += ns;
  }
  if (dir) closedir(dir);
  return out;
}

double Percentile(std::vector<int64_t> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return static_cast<double>(v[static_cast<std::size_t>(p * (v.size() - 1))]) / 1000.0;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("SDL_AUDIODRIVER", "disk", 0);
  setenv("SDL_DISKAUDIOFILE", "/dev/null", 0);
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 6;
  station::AacEncoder encoder(440, 128000);
  const int64_t frameUs = int64_t{encoder.FrameSamples()} * 1000000 / station::AacEncoder::kSampleRate;
  const std::vector<std::string> names = {"DecodeAudioThre", "ResampleAudioTh", "PlayAudioThread"};

  std::printf("%-6s %8s %8s %8s %8s %10s %10s %10s\n", "index", "fills", "p50 ms", "p99 ms", "lost", "decode",
              "resample", "play");
  for (uint32_t index = 0; index <= 2; ++index) {
    CRunTimeSettings::Set(RunTimeSettings().audioBufferSizeIndex, index);
    platform::Event stop(true), formatReady(true);
    audio::AudioFramesQueue received(stop, 16), decoded(stop, 16), playable(stop, 16);
    audio::PlaybackFormatBlock format;
    std::vector<int64_t> delays;  // written by the player thread until it is joined
    int64_t playedFrames = 0;     // likewise
    int64_t measureFromUs = 0;
    audio::PlaybackQueues q{&received, &decoded, &playable, &format, &formatReady, &stop, nullptr};
    q.onPlayed = [&](const AUDIO_FRAMES& block) {
      const int64_t arrived = static_cast<int64_t>(block.capturePosition);
      if (arrived >= measureFromUs) delays.push_back(HPCWrapper::NowUs() - arrived);
      playedFrames += block.header.frameCount;
    };
    std::thread decode([q] { audio::DecodeAudioThreadProc(q); });
    std::thread resample([q] { audio::ResampleAudioThreadProc(q); });
    std::thread play([q] { audio::PlayAudioThreadProc(q); });
    platform::WaitAny({&formatReady}, 5000);

    const int64_t start = HPCWrapper::NowUs();
    measureFromUs = start + 500000;  // the first half second fills the device buffer
    std::map<std::string, int64_t> cpuBefore;
    int pushed = 0;
    for (int64_t due = start; due < start + seconds * 1000000LL; due += frameUs) {
      while (HPCWrapper::NowUs() < due) std::this_thread::sleep_for(std::chrono::microseconds(200));
      if (pushed == 1) cpuBefore = ThreadCpuNs(names);
      for (auto& coded : encoder.NextFrames()) {
        auto r = std::make_unique<AUDIO_FRAMES>();
        r->header.frameCount = static_cast<uint32_t>(encoder.FrameSamples());
        r->header.format = audio::MakeFormat(48000, 2, AV_SAMPLE_FMT_S16);
        r->header.payloadSize = static_cast<uint32_t>(coded.size());
        r->payload = std::move(coded);
        r->capturePosition = static_cast<uint64_t>(HPCWrapper::NowUs());
        received.push(std::move(r));
        ++pushed;
      }
    }
    const std::map<std::string, int64_t> cpuAfter = ThreadCpuNs(names);
    const double audioSeconds = static_cast<double>(pushed) * encoder.FrameSamples() / 48000.0;
    stop.Set();
    decode.join();
    resample.join();
    play.join();
    // What never reached the device: dropped by the delay bounds (or still in the queues at the end).
    const double lostPct = 100.0 - 100.0 * static_cast<double>(playedFrames) / (audioSeconds * 48000);
    std::printf("%-6u %8zu %8.2f %8.2f %7.1f%%", index, delays.size(), Percentile(delays, 0.5),
                Percentile(delays, 0.99), lostPct);
    for (const std::string& n : names)
      std::printf(" %7.2f ms", (cpuAfter.at(n) - cpuBefore[n]) / 1e6 / audioSeconds);
    std::printf("\n");
  }
  std::printf("CPU columns: milliseconds on the CPU per second of 48 kHz stereo audio.\n");
  return 0;
}
