// The real zep against the reference station with SDL's disk audio driver: the station's AAC tone
// lands in the playback file at its frequency and level, a tone in the recording file reaches the
// station as microphone frames (only while the setting allows it), and a missing audio system
// leaves video running while the player keeps waiting for a device.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/e2e/SpawnProcess.h"
#include "tests/integration/station/StationHarness.h"

namespace fs = std::filesystem;
using stationtest::StationProcess;

namespace {

class AudioSession : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zep-audio-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "logs");
    fs::create_directories(dir_ / "config" / "Ulmek" / "Zep");
    std::ofstream(dir_ / "client-config.cfg")
        << "logger.applicationlog = " << (dir_ / "logs").string() << "\n";
  }
  void TearDown() override {
    Stop();
    fs::remove_all(dir_);
  }

  // Runs zep for `seconds` against the station with the given audio driver and microphone setting.
  void Run(const StationProcess& station, const std::string& driver, bool microphone, int seconds,
           const std::string& extraEnv = "") {
    std::ofstream(dir_ / "config" / "Ulmek" / "Zep" / "Runtime")
        << "EnableMicIndex=dword:" << microphone << "\n";
    std::vector<std::string> env = {"SDL_VIDEODRIVER=offscreen",
                                    "SDL_AUDIODRIVER=" + driver,
                                    "SDL_DISKAUDIOFILE=" + (dir_ / "played.raw").string(),
                                    "SDL_DISKAUDIOFILEIN=" + (dir_ / "recorded.raw").string(),
                                    "HOME=" + dir_.string(),
                                    "XDG_CONFIG_HOME=" + (dir_ / "config").string(),
                                    "XDG_STATE_HOME=" + (dir_ / "state").string(),
                                    "XDG_RUNTIME_DIR=" + dir_.string()};
    if (!extraEnv.empty()) env.push_back(extraEnv);
    std::vector<std::string> argv = {
        ZEP_BINARY_DIR "/bin/zep",      "127.0.0.1",   "--port",
        std::to_string(station.Port()), "--from-guid", "ffffffff-0123-4567-89ab-cdef01234567"};
    pid_ = e2e::SpawnProcess(argv, env, dir_);
    ASSERT_GT(pid_, 0);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    Stop();
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  std::vector<std::string> LogLines(const std::string& needle) const {
    std::ifstream in(dir_ / "logs" / "vektaclient.log");
    std::vector<std::string> out;
    for (std::string l; std::getline(in, l);)
      if (l.find(needle) != std::string::npos) out.push_back(l);
    return out;
  }

  fs::path dir_;
  pid_t pid_ = -1;
};

// Interleaved float stereo samples of a file the disk driver wrote or reads.
std::vector<float> Samples(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  std::vector<float> s(bytes.size() / sizeof(float));
  std::memcpy(s.data(), bytes.data(), s.size() * sizeof(float));
  return s;
}

double Field(const std::string& line, const std::string& key) {
  const auto at = line.find("\"" + key + "\":");
  return at == std::string::npos ? NAN : std::stod(line.substr(at + key.size() + 3));
}

// Milliseconds of the day from a log line's time stamp ("2024-01-02 10:11:12.345 ...").
int64_t LogMs(const std::string& line) {
  return ((std::stoll(line.substr(11, 2)) * 60 + std::stoll(line.substr(14, 2))) * 60) * 1000 +
         static_cast<int64_t>(std::stod(line.substr(17, 6)) * 1000);
}

TEST_F(AudioSession, TonePlaysAndTheMicrophoneReachesTheStationOnlyWhenAllowed) {
  StationProcess station({"--tone-hz", "1000"});
  {  // 20 s of a 0.5-amplitude 700 Hz tone to record, in the 48 kHz float stereo the client asks for
    std::ofstream out(dir_ / "recorded.raw", std::ios::binary);
    for (int i = 0; i < 48000 * 20; ++i) {
      const float s = static_cast<float>(0.5 * std::sin(2 * M_PI * 700 * i / 48000.0));
      out.write(reinterpret_cast<const char*>(&s), sizeof s)
          .write(reinterpret_cast<const char*>(&s), sizeof s);
    }
  }
  Run(station, "disk", true, 5);

  const std::vector<float> played = Samples(dir_ / "played.raw");
  // Left channel, 1 ms blocks: a loaded machine may starve the device, which then plays silence, so
  // frequency and level are taken over the blocks that carry the tone.
  int crossings = 0;
  double sum = 0;
  std::size_t voiced = 0;
  for (std::size_t block = 0; block + 96 <= played.size(); block += 96) {
    float peak = 0;
    for (std::size_t i = block; i < block + 96; i += 2) peak = std::max(peak, std::fabs(played[i]));
    if (peak < 0.1f) continue;
    for (std::size_t i = block; i < block + 96; i += 2, ++voiced) {
      sum += played[i] * played[i];
      if (i > 0 && played[i - 2] < 0 && played[i] >= 0) ++crossings;
    }
  }
  ASSERT_GT(voiced, 48000u * 2) << "less than 2 s of the tone";
  EXPECT_NEAR(crossings * 48000.0 / voiced, 1000, 10);
  EXPECT_NEAR(10 * std::log10(sum / voiced), 20 * std::log10(0.25 / std::sqrt(2)), 2.0);

  const std::vector<std::string> frames = station.Lines("\"name\":\"microphone\"");
  ASSERT_GT(frames.size(), 100u) << "microphone frames in 5 s";
  int tone = 0;
  for (const std::string& f : frames) {
    EXPECT_EQ(Field(f, "rate"), 44100);
    EXPECT_EQ(Field(f, "bytes"), Field(f, "frames") * 4);
    if (std::fabs(Field(f, "rms_dbfs") - 20 * std::log10(0.5 / std::sqrt(2))) < 1.5) ++tone;
  }
  EXPECT_GT(tone, static_cast<int>(frames.size()) * 8 / 10) << "frames at the recorded tone's level";

  // Off at the start, on after 1.5 s, off again after 3.5 s: the frames follow the setting within
  // one session, and playback goes on throughout.
  const std::size_t before = frames.size();
  Run(station, "disk", false, 6, "ZEP_DEBUG_MIC=1500:1,3500:0");
  const std::vector<std::string> all = station.Lines("\"name\":\"microphone\"");
  ASSERT_GT(all.size(), before + 20) << "frames while switched on";
  const double connectedUs =
      Field(station.Lines("\"event\":\"greeting\",\"channel\":\"api\"").back(), "t_us");
  const double closedUs =
      Field(station.Lines("\"event\":\"disconnected\",\"channel\":\"api\"").back(), "t_us");
  EXPECT_GT(Field(all[before], "t_us") - connectedUs, 500000)
      << "a frame before the microphone was switched on";
  EXPECT_GT(closedUs - Field(all.back(), "t_us"), 1000000) << "frames after the microphone was switched off";
  EXPECT_GT(Samples(dir_ / "played.raw").size(), 2u * 48000 * 2) << "playback went on";
}

TEST_F(AudioSession, WithoutAudioTheVideoGoesOnAndThePlayerKeepsWaiting) {
  StationProcess station({});
  Run(station, "no-such-driver", true, 4);
  const std::vector<std::string> waits = LogLines("PlayAudioThreadProc: waiting audio device: ");
  ASSERT_GE(waits.size(), 5u);
  for (std::size_t i = 1; i < waits.size(); ++i) EXPECT_GE(LogMs(waits[i]) - LogMs(waits[i - 1]), 450);
  EXPECT_FALSE(LogLines("AudioCaptureThreadProc: waiting audio capture device: ").empty());
  const std::vector<std::string> stats = LogLines("Statistics: frames received ");
  ASSERT_GE(stats.size(), 2u);
  const auto received = [](const std::string& l) { return std::stoll(l.substr(l.find("received ") + 9)); };
  // A loaded machine decodes fewer pictures a second; what matters is that they keep coming.
  EXPECT_GT(received(stats.back()), received(stats.front()) + 10) << "video frames kept arriving";
}

}  // namespace
