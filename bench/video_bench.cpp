// Video path costs, each beside its reference in one run:
//  (a) per-frame cost of our decode-and-hand-off path (queue, decoder loop, triple buffer) against
//      plain libavcodec decoding of the same 1080p60 H.264 frames with the same decoder settings;
//  (b, c) received-to-presented latency (push into the frame queue -> end of the first present)
//      at 1080p60 for H.264, HEVC and AV1 through the decoder thread and the SDL presenter;
//  (d) with `--memory [seconds]`: resident memory of the decode-and-present path fed a looping
//      1080p60 H.264 clip at 60 frames a second, after 1 minute against after `seconds` (600).
// Run headless with SDL_VIDEODRIVER=offscreen; SDL_RENDER_DRIVER picks the renderer.
#include <SDL.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/HPCWrapper.h"
#include "sov/base/BaseException.h"
#include "sov/protocol/Messages.h"
#include "tools/station-sim/TestPattern.h"
#include "tools/station-sim/VideoEncoder.h"
#include "zep/video/DecodeChain.h"
#include "zep/video/Presenter.h"

namespace {

constexpr int kFrames = 120;

std::vector<std::vector<uint8_t>> Encode(int codec) {
  station::VideoSettings s;
  s.codec = codec;
  s.width = 1920;
  s.height = 1080;
  s.fps = 60;
  s.bitrate = 20000000;
  s.threads = 2;
  station::VideoEncoder enc(s);
  std::vector<std::vector<uint8_t>> out;
  for (int i = 0; i < kFrames; ++i) {
    media::FramePtr f = enc.MakeFrame();
    station::TestPattern::Draw(f.get(), static_cast<uint64_t>(i), -1, -1);
    for (auto& c : enc.Encode(f.get(), i)) out.push_back(std::move(c));
  }
  for (auto& c : enc.Flush()) out.push_back(std::move(c));
  return out;
}

std::unique_ptr<RECTS_INFO> Record(int codec, const std::vector<uint8_t>& data, int64_t stamp) {
  auto r = std::make_unique<RECTS_INFO>();
  r->header.codec = static_cast<uint16_t>(codec);
  r->header.frameStamp = stamp;
  r->picture = data;
  return r;
}

// Plain libavcodec: the same decoder with the same options, packets straight in, frames out.
double PlainUsPerFrame(const std::vector<std::vector<uint8_t>>& clip) {
  const video::DecodePath software;
  auto dec = video::OpenVideoDecoder(0, software);
  media::FramePtr frame(av_frame_alloc());
  const int64_t t0 = HPCWrapper::NowUs();
  for (const auto& p : clip) {
    dec->Send(p.data(), p.size());
    while (dec->Receive(frame.get())) av_frame_unref(frame.get());
  }
  return static_cast<double>(HPCWrapper::NowUs() - t0) / clip.size();
}

// Ours: records through the frame queue into the decoder loop, pictures published to the triple
// buffer and taken by a reader thread, as the presenter would.
double OursUsPerFrame(const std::vector<std::vector<uint8_t>>& clip) {
  platform::Event interrupt{true};
  video::FrameQueue queue{interrupt, static_cast<int>(clip.size()) + 1};
  for (std::size_t i = 0; i < clip.size(); ++i) queue.push(Record(0, clip[i], static_cast<int64_t>(i + 1)));
  queue.push(Record(5, {}, 0));
  video::TripleBuffer buffer;
  video::ClientArea area;
  area.Set(1920, 1080);
  const video::DecodePath software;
  video::VideoDecodeChain chain([&](int c) { return video::OpenVideoDecoder(c, software); }, buffer, area);
  chain.RebindDecoder(0);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      if (platform::WaitAny({&buffer.FrameReady()}, 5) == 0) buffer.AcquireFront();
    }
  });
  const int64_t t0 = HPCWrapper::NowUs();
  try {
    video::RunDecoderLoop(queue, chain, nullptr);
  } catch (const ErrCodeException&) {  // the codec-5 record that ends the run
  }
  const double us = static_cast<double>(HPCWrapper::NowUs() - t0) / clip.size();
  done = true;
  reader.join();
  return us;
}

struct Latency {
  double p50 = 0, p99 = 0;
  std::size_t n = 0;
};

// Frames pushed at 60 per second; latency = end of first present - push time.
Latency PresentLatency(SDL_Window* window, int codec, const std::vector<std::vector<uint8_t>>& clip) {
  platform::Event interrupt{true};
  video::FrameQueue queue{interrupt, 16};
  video::TripleBuffer buffer;
  video::ClientArea area;
  std::vector<double> samples;
  video::PresenterParams p;
  p.buffer = &buffer;
  p.area = &area;
  p.onFirstPresent = [&](uint64_t stamp) {
    samples.push_back((HPCWrapper::NowUs() - static_cast<int64_t>(stamp)) / 1000.0);
  };
  video::Presenter presenter(window, std::move(p));
  const video::DecodePath software;
  std::thread decoder([&] {
    video::VideoDecodeChain chain([&](int c) { return video::OpenVideoDecoder(c, software); }, buffer, area);
    try {
      video::RunDecoderLoop(queue, chain, nullptr);
    } catch (const std::exception&) {
    }
  });
  std::atomic<bool> fed{false};
  std::thread feeder([&] {
    int64_t next = HPCWrapper::NowUs();
    for (const auto& c : clip) {
      while (HPCWrapper::NowUs() < next) std::this_thread::sleep_for(std::chrono::microseconds(200));
      next += 16667;
      queue.push(Record(codec, c, HPCWrapper::NowUs()));
    }
    queue.push(Record(5, {}, 0));
    fed = true;
  });
  const int64_t until = HPCWrapper::NowUs() + static_cast<int64_t>(clip.size()) * 16667 + 1000000;
  SDL_Event e;
  while (HPCWrapper::NowUs() < until) {
    if (SDL_WaitEventTimeout(&e, presenter.WaitBudgetMs()))
      while (SDL_PollEvent(&e)) {
      }
    presenter.Iterate();
  }
  feeder.join();
  decoder.join();
  Latency l;
  l.n = samples.size();
  if (samples.empty()) return l;
  std::sort(samples.begin(), samples.end());
  l.p50 = samples[samples.size() / 2];
  l.p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  return l;
}

long ResidentKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

// Same pipeline as PresentLatency, but the clip loops for `seconds`; RSS is sampled every minute.
int MemoryGrowth(int seconds) {
  const auto clip = Encode(0);
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    std::printf("no SDL video: %s\n", SDL_GetError());
    return 1;
  }
  SDL_Window* window = SDL_CreateWindow("bench", 0, 0, 1920, 1080, SDL_WINDOW_SHOWN);
  long atOneMinute = -1, last = -1;
  {
    platform::Event interrupt{true};
    video::FrameQueue queue{interrupt, 16};
    video::TripleBuffer buffer;
    video::ClientArea area;
    std::atomic<uint64_t> presented{0};
    video::PresenterParams p;
    p.buffer = &buffer;
    p.area = &area;
    p.onFirstPresent = [&](uint64_t) { ++presented; };
    video::Presenter presenter(window, std::move(p));
    const video::DecodePath software;
    std::thread decoder([&] {
      video::VideoDecodeChain chain([&](int c) { return video::OpenVideoDecoder(c, software); }, buffer,
                                    area);
      try {
        video::RunDecoderLoop(queue, chain, nullptr);
      } catch (const std::exception&) {
      }
    });
    const int64_t start = HPCWrapper::NowUs();
    const int64_t end = start + static_cast<int64_t>(seconds) * 1000000;
    std::thread feeder([&] {
      int64_t next = start;
      for (std::size_t i = 0; HPCWrapper::NowUs() < end; ++i) {
        while (HPCWrapper::NowUs() < next) std::this_thread::sleep_for(std::chrono::microseconds(200));
        next += 16667;
        queue.push(Record(0, clip[i % clip.size()], HPCWrapper::NowUs()));
      }
      queue.push(Record(5, {}, 0));
    });
    int nextMinute = 1;
    SDL_Event e;
    while (HPCWrapper::NowUs() < end) {
      if (SDL_WaitEventTimeout(&e, presenter.WaitBudgetMs()))
        while (SDL_PollEvent(&e)) {
        }
      presenter.Iterate();
      if (HPCWrapper::NowUs() - start >= nextMinute * 60000000LL) {
        const long kb = ResidentKb();
        if (nextMinute == 1) atOneMinute = kb;
        std::printf("minute %2d: RSS %ld kB, %llu pictures presented\n", nextMinute, kb,
                    static_cast<unsigned long long>(presented.load()));
        std::fflush(stdout);
        ++nextMinute;
      }
    }
    last = ResidentKb();
    feeder.join();
    decoder.join();
  }  // the presenter goes before its window
  std::printf("\n| measure | after 1 min | after %d s | ratio |\n|---|---|---|---|\n", seconds);
  std::printf("| (d) H.264 1080p60 resident memory, kB | %ld | %ld | %.3f |\n", atOneMinute, last,
              atOneMinute > 0 ? static_cast<double>(last) / atOneMinute : 0.0);
  std::fflush(stdout);
  SDL_DestroyWindow(window);
  SDL_Quit();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--memory")
    return MemoryGrowth(argc > 2 ? std::atoi(argv[2]) : 600);
  std::printf("encoding %d frames of 1080p60 test pattern per codec...\n", kFrames);
  const auto h264 = Encode(0);
  double plain[3], ours[3];
  for (int round = 0; round < 3; ++round) {
    plain[round] = PlainUsPerFrame(h264);
    ours[round] = OursUsPerFrame(h264);
  }
  std::sort(plain, plain + 3);
  std::sort(ours, ours + 3);
  std::printf("\n| measure | reference | ours | ratio |\n|---|---|---|---|\n");
  std::printf("| (a) H.264 1080p60 software decode, us/frame (median of 3) | %.0f | %.0f | %.3f |\n",
              plain[1], ours[1], ours[1] / plain[1]);
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    std::printf("no SDL video: %s\n", SDL_GetError());
    return 1;
  }
  SDL_Window* window = SDL_CreateWindow("bench", 0, 0, 1920, 1080, SDL_WINDOW_SHOWN);
  const char* names[] = {"H.264", "HEVC", "AV1"};
  for (int codec = 0; codec < 3; ++codec) {
    const auto clip = codec == 0 ? h264 : Encode(codec);
    const Latency l = PresentLatency(window, codec, clip);
    std::printf("| (%c) %s 1080p60 received-to-presented, ms | - | p50 %.2f / p99 %.2f (n=%zu) | - |\n",
                codec == 0 ? 'b' : 'c', names[codec], l.p50, l.p99, l.n);
  }
  SDL_DestroyWindow(window);
  SDL_Quit();
  return 0;
}
