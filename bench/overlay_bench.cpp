// The overlay's cost per presented frame at 1080p with the statistics table open and nothing
// changed (the tree is cached, so a frame is a check and a copy of the table's rectangle), beside
// the same presentation without the overlay. Run headless with SDL_VIDEODRIVER=offscreen (set
// here unless given); SDL_RENDER_DRIVER picks the renderer (software by default).
#include <SDL.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <vector>

#include "sov/settings/RunTimeSettings.h"
#include "zep/overlay/ScreenOverlay.h"
#include "zep/overlay/SdlOverlayLayer.h"
#include "zep/stats/StatsTable.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080;

struct Screen {
  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* picture = nullptr;

  Screen() {
    setenv("SDL_VIDEODRIVER", "offscreen", 0);
    setenv("SDL_RENDER_DRIVER", "software", 0);
    setenv("XDG_CONFIG_HOME", "/tmp/zep-overlay-bench", 0);
    // Without batching each copy is done when called, so the overlay's share is measured where it happens.
    SDL_SetHint(SDL_HINT_RENDER_BATCHING, "0");
    SDL_Init(SDL_INIT_VIDEO);
    window = SDL_CreateWindow("bench", 0, 0, kWidth, kHeight, 0);
    renderer = SDL_CreateRenderer(window, -1, 0);
    picture =
        SDL_CreateTexture(renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING, kWidth, kHeight);
    std::vector<uint32_t> pixels(static_cast<std::size_t>(kWidth) * kHeight);
    for (std::size_t i = 0; i < pixels.size(); ++i)
      pixels[i] = 0xFF000000u | static_cast<uint32_t>(i * 2654435761u >> 8);
    SDL_UpdateTexture(picture, nullptr, pixels.data(), kWidth * 4);
  }
  // What the presenter does for every frame without an overlay: the picture, then present.
  void Picture() {
    SDL_RenderClear(renderer);
    SDL_RenderCopy(renderer, picture, nullptr, nullptr);
  }
};

Screen& TheScreen() {
  static Screen screen;
  return screen;
}

void BM_PresentWithoutOverlay(benchmark::State& state) {
  Screen& s = TheScreen();
  for (auto _ : state) {
    s.Picture();
    SDL_RenderPresent(s.renderer);
  }
}
BENCHMARK(BM_PresentWithoutOverlay)->Unit(benchmark::kMillisecond);

void BM_PresentWithStatisticsOverlay(benchmark::State& state) {
  Screen& s = TheScreen();
  StatsTable table;
  SetStandardLabels(table);
  CRunTimeSettings settings;
  int64_t now = 1000;  // frozen: the table's once-a-second refresh is not part of an unchanged frame
  overlay::ScreenOverlay o({}, &table, settings, overlay::Language::kEnglish, [&] { return now; });
  SetStatsCsvEnabled(true);  // the table shows (one process-wide switch; this function runs more than once)
  overlay::SdlOverlayLayer layer;
  for (int i = 0; i < 3; ++i) {  // the first frames draw and upload; then it is cached
    o.Update();
    layer.Draw(s.renderer, o.Host());
  }
  const uint64_t redraws = layer.Redraws();
  int64_t overlayNs = 0;
  for (auto _ : state) {
    s.Picture();
    const uint64_t t0 = SDL_GetPerformanceCounter();
    o.Update();
    layer.Draw(s.renderer, o.Host());
    overlayNs +=
        static_cast<int64_t>((SDL_GetPerformanceCounter() - t0) * 1e9 / SDL_GetPerformanceFrequency());
    SDL_RenderPresent(s.renderer);
  }
  state.counters["overlay_ms_per_frame"] =
      static_cast<double>(overlayNs) / 1e6 / static_cast<double>(state.iterations());
  state.counters["redraws_while_unchanged"] = static_cast<double>(layer.Redraws() - redraws);
}
BENCHMARK(BM_PresentWithStatisticsOverlay)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
