// zep-station: serves one or more zep clients on the base-port block until stopped.
#include <signal.h>

#include <cstdio>
#include <exception>

#include "tools/station-sim/ClipFile.h"
#include "tools/station-sim/EventLog.h"
#include "tools/station-sim/Options.h"
#include "tools/station-sim/Station.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

int WaitForEnd(const station::StopSignal& stationStop, double durationS) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  const int64_t deadline = durationS > 0 ? station::NowMicros() + static_cast<int64_t>(durationS * 1e6) : -1;
  for (;;) {
    timespec slice{0, 100 * 1000 * 1000};
    int sig = sigtimedwait(&set, nullptr, &slice);
    if (sig == SIGINT || sig == SIGTERM) return sig;
    if (stationStop.IsSet()) return 0;
    if (deadline >= 0 && station::NowMicros() >= deadline) return 0;
  }
}

}  // namespace

int main(int argc, char** argv) {
  station::StationOptions options;
  try {
    options = station::ParseOptions(argc, argv);
  } catch (const std::exception& e) {
    fprintf(stderr, "zep-station: %s\n", e.what());
    return 2;
  }
  if (options.help) {
    fputs(station::HelpText().c_str(), stdout);
    return 0;
  }
  av_log_set_level(AV_LOG_ERROR);
  if (!options.makeClip.empty()) {
    station::VideoSettings v;
    v.codec = options.codec;
    v.width = options.width;
    v.height = options.height;
    v.fps = options.fps;
    v.bitrate = options.bitrate;
    v.threads = options.encoderThreads;
    v.keyIntervalFrames = options.keyInterval;
    try {
      std::string encoder = station::MakeClip(options.makeClip, v, options.clipFrames);
      printf("wrote %s: %d pictures, %s\n", options.makeClip.c_str(), options.clipFrames, encoder.c_str());
      return 0;
    } catch (const std::exception& e) {
      fprintf(stderr, "zep-station: %s\n", e.what());
      return 1;
    }
  }

  // Signals are taken synchronously by the main thread; every other thread inherits the mask.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  station::EventLog log(options.logPath);
  if (!log.Ok()) {
    fprintf(stderr, "zep-station: cannot open log %s\n", options.logPath.c_str());
    return 1;
  }
  station::SetStationClockOffset(options.clockOffsetMs * 1000);
  const int64_t started = station::NowMicros();
  try {
    station::Station st(options, log);
    st.Start();
    int sig = WaitForEnd(st.Stopping(), options.durationS);
    log.Write(station::JsonLine("stopping")
                  .Str("reason", sig ? (sig == SIGINT ? "SIGINT" : "SIGTERM") : "duration"));
    st.Stop();
  } catch (const std::exception& e) {
    log.Write(station::JsonLine("fatal").Str("what", e.what()));
    fprintf(stderr, "zep-station: %s\n", e.what());
    log.WriteSummary(station::NowMicros() - started);
    return 1;
  }
  log.WriteSummary(station::NowMicros() - started);
  return 0;
}
