// The real zep against the reference station on loopback, headless: for every codec the window
// shows the station's test pattern (the presented pixels read back and compared with the
// station's own drawing of the frame whose counter they show), and a corrupt video stream does
// does not stop the decoder or the picture.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/protocol/Messages.h"
#include "tests/e2e/SpawnProcess.h"
#include "tests/integration/station/StationHarness.h"
#include "tools/station-sim/TestPattern.h"
#include "tools/station-sim/VideoEncoder.h"
#include "zep/media/AvHandles.h"
#include "zep/video/DecodeChain.h"

namespace fs = std::filesystem;
using stationtest::MonotonicUs;
using stationtest::StationProcess;

namespace {

constexpr int kWidth = 640, kHeight = 360;  // the station's picture

struct Rgb {
  int r, g, b;
};

struct Image {
  int w = 0, h = 0;
  std::vector<uint8_t> px;
  Rgb At(int x, int y) const {
    const uint8_t* p = &px[(static_cast<std::size_t>(y) * w + x) * 3];
    return {p[0], p[1], p[2]};
  }
};

Image ReadPpm(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  Image im;
  int max = 0;
  in >> magic >> im.w >> im.h >> max;
  in.get();
  im.px.resize(static_cast<std::size_t>(im.w) * im.h * 3);
  in.read(reinterpret_cast<char*>(im.px.data()), static_cast<std::streamsize>(im.px.size()));
  if (magic != "P6" || !in) im.w = im.h = 0;
  return im;
}

// The station's picture of a frame, as RGB (BT.601 limited range, as the client shows it).
Image StationPicture(uint64_t frameNumber) {
  media::FramePtr f(av_frame_alloc());
  f->format = AV_PIX_FMT_YUV420P;
  f->width = kWidth;
  f->height = kHeight;
  EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
  station::TestPattern::Draw(f.get(), frameNumber, -1, -1);
  Image im{kWidth, kHeight, std::vector<uint8_t>(kWidth * kHeight * 3)};
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const double Y = 1.164 * (f->data[0][y * f->linesize[0] + x] - 16);
      const double U = f->data[1][y / 2 * f->linesize[1] + x / 2] - 128;
      const double V = f->data[2][y / 2 * f->linesize[2] + x / 2] - 128;
      const double rgb[3] = {Y + 1.596 * V, Y - 0.392 * U - 0.813 * V, Y + 2.017 * U};
      for (int c = 0; c < 3; ++c)
        im.px[(y * kWidth + x) * 3 + c] = static_cast<uint8_t>(std::clamp(rgb[c], 0.0, 255.0));
    }
  return im;
}

bool Near(Rgb a, Rgb b, int tolerance) {
  return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
         std::abs(a.b - b.b) <= tolerance;
}

// Samples the shown picture (stretched over the whole window) at a station pixel.
Rgb Shown(const Image& shown, double x, double y) {
  return shown.At(static_cast<int>(x * shown.w / kWidth), static_cast<int>(y * shown.h / kHeight));
}

// The 8-digit counter in the top-left band, read from the shown picture by comparing each digit
// cell with the station's own drawing of every digit.
int64_t ReadCounter(const Image& shown) {
  const int cell = std::max(2, kHeight / 60);
  std::vector<Image> digits;
  for (uint64_t d = 0; d < 10; ++d) digits.push_back(StationPicture(d * 11111111ULL));
  int64_t value = 0;
  for (int i = 0; i < 8; ++i) {
    int best = -1, bestScore = -1;
    for (int d = 0; d < 10; ++d) {
      int score = 0;
      for (int row = 0; row < 5; ++row)
        for (int col = 0; col < 3; ++col) {
          const double x = (1 + i * 4 + col + 0.5) * cell, y = (1 + row + 0.5) * cell;
          const bool lit = Shown(shown, x, y).g > 128;
          const bool want = digits[d].At(static_cast<int>(x), static_cast<int>(y)).g > 128;
          score += lit == want;
        }
      if (score > bestScore) bestScore = score, best = d;
    }
    if (bestScore < 15) return -1;  // not a clean glyph
    value = value * 10 + best;
  }
  return value;
}

class ZepVideo : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zep-video-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "logs");
  }
  void TearDown() override {
    Stop();
    fs::remove_all(dir_);
  }

  void Start(int port, int codec, std::vector<std::string> env = {}) {
    Stop();
    fs::remove(dir_ / "logs" / "vektaclient.log");
    fs::remove(dir_ / "shown.ppm");
    std::ofstream(dir_ / "client-config.cfg")
        << "logger.applicationlog = " << (dir_ / "logs").string() << "\n";
    fs::create_directories(dir_ / "config" / "Ulmek" / "Zep");
    std::ofstream(dir_ / "config" / "Ulmek" / "Zep" / "Runtime") << "CodecIndex=dword:" << codec << "\n";
    env.insert(env.end(),
               {"SDL_VIDEODRIVER=offscreen", "SDL_AUDIODRIVER=dummy", "SDL_RENDER_DRIVER=software",
                "HOME=" + dir_.string(), "XDG_STATE_HOME=" + (dir_ / "state").string(),
                "XDG_CONFIG_HOME=" + (dir_ / "config").string(), "XDG_RUNTIME_DIR=" + dir_.string(),
                "PATH=/usr/bin:/bin", "ZEP_DUMP_FRAME=" + (dir_ / "shown.ppm").string()});
    if (std::none_of(env.begin(), env.end(),
                     [](const std::string& e) { return e.rfind("ZEP_DUMP_AFTER=", 0) == 0; }))
      env.push_back("ZEP_DUMP_AFTER=15");
    std::vector<std::string> argv = {ZEP_BINARY_DIR "/bin/zep", "127.0.0.1", "--port", std::to_string(port)};
    pid_ = e2e::SpawnProcess(argv, env, dir_);
    ASSERT_GT(pid_, 0);
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  std::string Log() const {
    std::ifstream in(dir_ / "logs" / "vektaclient.log");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // The last client log line with the needle, waiting up to timeoutMs for one.
  std::string WaitForLog(const std::string& needle, int timeoutMs) const {
    const int64_t end = MonotonicUs() + timeoutMs * 1000LL;
    for (;;) {
      std::istringstream in(Log());
      std::string found;
      for (std::string l; std::getline(in, l);)
        if (l.find(needle) != std::string::npos) found = l;
      if (!found.empty() || MonotonicUs() > end) return found;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  // Pictures presented so far, from the once-a-second video line.
  int64_t PicturesShown() const {
    const std::string line = WaitForLog("] Video: ", 0);
    const auto at = line.find("] Video: ");
    return at == std::string::npos ? 0 : std::stoll(line.substr(at + 9));
  }

  // The dumped picture is the station's pattern for the frame number its counter shows; returns
  // that number.
  int64_t ExpectStationPattern() const {
    const Image shown = ReadPpm(dir_ / "shown.ppm");
    EXPECT_GT(shown.w, 0);
    if (shown.w == 0) return -1;
    const int64_t counter = ReadCounter(shown);
    EXPECT_GE(counter, 0) << "no frame counter on screen";
    if (counter < 0) return -1;
    const Image reference = StationPicture(static_cast<uint64_t>(counter));
    // Bars below the counter band, away from colour edges (scaling blurs them).
    int compared = 0, matched = 0;
    for (int y = 60; y < kHeight; y += 23)
      for (int x = 4; x < kWidth - 4; x += 7) {
        const Rgb want = reference.At(x, y);
        if (!Near(reference.At(x - 4, y), want, 0) || !Near(reference.At(x + 4, y), want, 0)) continue;
        ++compared;
        matched += Near(Shown(shown, x + 0.5, y + 0.5), want, 48);
      }
    EXPECT_GT(compared, 300);
    EXPECT_GE(matched, compared * 95 / 100) << "counter " << counter;
    return counter;
  }
  // Position of the first log line with the needle; npos when none.
  std::size_t LogPos(const std::string& needle) const { return Log().find(needle); }

  fs::path dir_;
  pid_t pid_ = -1;
};

TEST_F(ZepVideo, EveryCodecShowsTheStationsPattern) {
  StationProcess station({"--size", "640x360"});
  const char* names[] = {"H264", "HEVC", "AV01", "VP80", "VP90"};
  for (int codec = 0; codec < 5; ++codec) {
    SCOPED_TRACE(names[codec]);
    Start(station.Port(), codec);
    ASSERT_FALSE(WaitForLog("written to", 60000).empty()) << Log();
    Stop();
    EXPECT_NE(Log().find(std::string(" for ") + names[codec]), std::string::npos);
    ExpectStationPattern();
  }
}

// The codec setting changed during the session (as the settings pane does) reaches the station,
// which switches its encoder; the decoder follows and the new codec's pictures are shown.
TEST_F(ZepVideo, CodecSwitchMidStreamShowsTheNewCodecsPictures) {
  StationProcess station({"--size", "640x360"});
  Start(station.Port(), 0, {"ZEP_DUMP_AFTER=150", "ZEP_DEBUG_CODEC=30:4"});
  ASSERT_FALSE(WaitForLog("Video decoder", 30000).empty()) << Log();
  ASSERT_FALSE(WaitForLog(" for VP90", 30000).empty()) << Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const int64_t atSwitch = PicturesShown();
  ASSERT_FALSE(WaitForLog("written to", 60000).empty()) << Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  const int64_t later = PicturesShown();
  Stop();
  EXPECT_GT(later, atSwitch + 30) << "pictures stopped after the switch";
  EXPECT_NE(LogPos(" for H264"), std::string::npos);
  EXPECT_LT(LogPos("Debug action: codec setting 4"), LogPos(" for VP90"));
  EXPECT_LT(LogPos(" for VP90"), LogPos("written to")) << "the dumped picture predates the switch";
  EXPECT_EQ(LogPos("RebindDecoder: unhandled"), std::string::npos) << Log();
  EXPECT_GE(ExpectStationPattern(), 0);
}

// While the window is minimised the decoder goes on decoding and drops every picture; the
// picture comes back when the window is restored. (SDL's offscreen driver cannot minimise, so
// the debug action also marks the window minimised itself.)
TEST_F(ZepVideo, MinimisedWindowDropsPicturesWhileDecodingGoesOn) {
  StationProcess station({"--size", "640x360"});
  Start(station.Port(), 0, {"ZEP_DUMP_AFTER=1000000", "ZEP_DEBUG_MINIMIZE=30:3000"});
  ASSERT_FALSE(WaitForLog("Debug action: window minimised", 30000).empty()) << Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  const int64_t minimised = PicturesShown();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(PicturesShown(), minimised) << "pictures presented while minimised";
  EXPECT_NE(WaitForLog("client area 0x0", 0), "");
  // The last "shown again" line, once it follows the minimise (the first pictures, decoded before
  // the window existed, were dropped too).
  std::string back;
  for (const int64_t end = MonotonicUs() + 10000000; back.empty() && MonotonicUs() < end;) {
    const std::string log = Log();
    const std::size_t at = log.rfind("Video pictures shown again after ");
    if (at != std::string::npos && at > log.find("Debug action: window minimised")) back = log.substr(at);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_FALSE(back.empty()) << Log();
  const int64_t dropped = std::stoll(back.substr(33));
  EXPECT_GE(dropped, 45) << Log();
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  EXPECT_GT(PicturesShown(), minimised + 20);
  EXPECT_EQ(Log().find("DecoderThreadProc: "), std::string::npos) << Log();
}

// Corrupt frames inside well-formed messages (bit errors, a cut frame) cost pictures only until
// the next key frame; the decoder thread goes on. Real encoder output through the real decoders.
TEST(VideoDecoding, CorruptFramesCostPicturesOnlyUntilTheNextKeyFrame) {
  for (int codec : {0, 4}) {
    SCOPED_TRACE(codec);
    station::VideoSettings settings;
    settings.codec = codec;
    settings.width = 320;
    settings.height = 180;
    settings.keyIntervalFrames = 30;
    station::VideoEncoder encoder(settings);
    platform::Event interrupt{true};
    video::FrameQueue queue{interrupt, 128};
    std::vector<std::vector<uint8_t>> coded;
    for (int i = 0; i < 75; ++i) {
      media::FramePtr f = encoder.MakeFrame();
      station::TestPattern::Draw(f.get(), static_cast<uint64_t>(i), -1, -1);
      for (auto& c : encoder.Encode(f.get(), i)) coded.push_back(std::move(c));
    }
    ASSERT_GE(coded.size(), 70u);
    for (std::size_t i = 0; i < coded.size(); ++i) {
      auto frame = std::make_unique<RECTS_INFO>();
      frame->header.codec = static_cast<uint16_t>(codec);
      frame->header.frameStamp = static_cast<int64_t>(i + 1);
      frame->picture = coded[i];
      if (i == 35)  // bit errors in the middle of a predicted frame
        for (std::size_t b = frame->picture.size() / 3; b < frame->picture.size() / 2; ++b)
          frame->picture[b] ^= 0x5A;
      if (i == 40) frame->picture.resize(5);  // a cut frame
      queue.push(std::move(frame));
    }
    auto end = std::make_unique<RECTS_INFO>();
    end->header.codec = 5;
    queue.push(std::move(end));
    video::TripleBuffer buffer;
    video::ClientArea area;
    area.Set(320, 180);
    video::DecodePath software;
    video::VideoDecodeChain chain([&](int c) { return video::OpenVideoDecoder(c, software); }, buffer, area);
    EXPECT_THROW(video::RunDecoderLoop(queue, chain, nullptr), ErrCodeException);  // only the codec-5 end
    video::Picture* last = buffer.AcquireFront();
    ASSERT_NE(last, nullptr);
    // The last frame decoded and shows its own picture: the station's bars for that frame.
    EXPECT_EQ(last->stamp, coded.size());
    const AVFrame* f = last->frame.get();
    media::FramePtr want = encoder.MakeFrame();
    station::TestPattern::Draw(want.get(), coded.size() - 1, -1, -1);
    int close = 0, total = 0;
    for (int y = 20; y < 180; y += 16)
      for (int x = 0; x < 320; x += 16, ++total)
        close += std::abs(f->data[0][y * f->linesize[0] + x] - want->data[0][y * want->linesize[0] + x]) < 24;
    EXPECT_GE(close, total * 9 / 10);
    // Pictures before the fault and after the next key frame were all published.
    EXPECT_GE(buffer.Counter() + 2 + 1, 60);
  }
}

}  // namespace
