// The presentation loop on SDL's offscreen driver: the render loop's busy share reaches the
// statistics table, and "Full latency" counts as ready only once the shown picture was measured.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "zep/stats/StatStorage.h"
#include "zep/stats/StatsTable.h"
#include "zep/video/Presenter.h"

namespace {

void PublishPicture(video::TripleBuffer& buffer, uint64_t stamp) {
  video::Picture& back = buffer.Back();
  av_frame_unref(back.frame.get());
  back.frame->format = AV_PIX_FMT_YUV420P;
  back.frame->width = 320;
  back.frame->height = 180;
  ASSERT_EQ(av_frame_get_buffer(back.frame.get(), 0), 0);
  back.source = {0, 0, 320, 180};
  back.width = 320;
  back.height = 180;
  back.stamp = stamp;
  buffer.Publish();
}

TEST(Presenter, RenderLoopShareAndFullLatencyReadiness) {
  setenv("SDL_VIDEODRIVER", "offscreen", 1);
  setenv("SDL_RENDER_DRIVER", "software", 1);
  // Keep SDL from backing the window with a GL renderer (Mesa through EGL), whose libraries keep
  // allocations the leak checker cannot attribute.
  setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 1);
  ASSERT_EQ(SDL_InitSubSystem(SDL_INIT_VIDEO), 0) << SDL_GetError();
  SDL_Window* window = SDL_CreateWindow("presenter", 0, 0, 320, 180, 0);
  ASSERT_NE(window, nullptr);
  {
    video::TripleBuffer buffer;
    video::ClientArea area;
    StatsTable table;
    CStatStorage storage;
    std::atomic<int64_t> offset{0};
    std::vector<bool> readyWhileDrawing;
    video::Presenter* presenter = nullptr;
    video::PresenterParams p;
    p.buffer = &buffer;
    p.area = &area;
    p.table = &table;
    p.storage = &storage;
    p.clockOffsetUs = &offset;
    p.drawOverlay = [&](SDL_Renderer*) { readyWhileDrawing.push_back(presenter->FullLatencyReady()); };
    video::Presenter shown(window, std::move(p));
    presenter = &shown;
    auto redraw = [&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(video::Presenter::kIdleRedrawMs + 5));
      shown.Iterate();
    };

    // No clock offset yet: the picture is shown but its latency cannot be measured.
    PublishPicture(buffer, 1000);
    shown.Iterate();
    redraw();
    EXPECT_FALSE(shown.FullLatencyReady());
    EXPECT_EQ(table.Value(kStatFullLatency), (StatValue{}));

    // With the offset: not ready while the new picture is drawn the first time, ready after.
    offset = 1;
    PublishPicture(buffer, 2000);
    shown.Iterate();
    redraw();
    EXPECT_EQ(readyWhileDrawing, (std::vector<bool>{false, false, false, true}));
    EXPECT_TRUE(shown.FullLatencyReady());
    EXPECT_NE(table.Value(kStatFullLatency), (StatValue{}));

    // After a second of redraws the cell holds aggregator 4's part of the busy shares: all of it.
    for (int i = 0; i < 20; ++i) redraw();
    EXPECT_GT(storage.Snapshot()[CStatStorage::kRenderLoop], 0.0);
    EXPECT_EQ(table.Value(kStatRenderLoop), (StatValue{VT_UI8, 0, 0, uint64_t{100} << 28}));
  }
  SDL_DestroyWindow(window);
  SDL_QuitSubSystem(SDL_INIT_VIDEO);
}

}  // namespace
