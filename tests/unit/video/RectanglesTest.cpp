#include <gtest/gtest.h>

#include "zep/video/Rectangles.h"

namespace {

using video::VideoRect;

TEST(Rectangles, SourceLosesDecoderPaddingAndIsCutTo1080p) {
  struct Case {
    int w, h, expectW, expectH;
  } cases[] = {{1920, 1088, 1920, 1080}, {1376, 768, 1366, 768}, {1280, 736, 1280, 720},
               {1600, 912, 1600, 900},   {1600, 904, 1600, 900}, {2560, 1440, 1920, 1080},
               {1280, 720, 1280, 720},   {640, 480, 640, 480}};
  for (const Case& c : cases) {
    const VideoRect r = video::SourceRect(c.w, c.h);
    EXPECT_EQ(r, (VideoRect{0, 0, c.expectW, c.expectH})) << c.w << "x" << c.h;
  }
}

TEST(Rectangles, DestinationKeepsAspectAnchoredTopLeft) {
  struct Case {
    int sw, sh, cw, ch;
    bool aspect;
    int expectW, expectH;
  } cases[] = {{1920, 1080, 1000, 1000, true, 1000, 562},   {1280, 1024, 1920, 1080, true, 1350, 1080},
               {1920, 1080, 1000, 1000, false, 1000, 1000}, {1920, 1080, 2560, 1600, false, 1920, 1080},
               {1920, 1080, 2560, 1600, true, 1920, 1080},  {1280, 720, 1280, 720, true, 1280, 720}};
  for (const Case& c : cases) {
    const VideoRect r = video::DestinationRect(VideoRect{0, 0, c.sw, c.sh}, c.cw, c.ch, c.aspect);
    EXPECT_EQ(r, (VideoRect{0, 0, c.expectW, c.expectH}))
        << c.sw << "x" << c.sh << " in " << c.cw << "x" << c.ch;
  }
}

TEST(Rectangles, EmptyClientAreaDropsThePicture) {
  EXPECT_TRUE(video::DestinationRect(VideoRect{0, 0, 1920, 1080}, 0, 0, true).Empty());
  EXPECT_TRUE(video::DestinationRect(VideoRect{0, 0, 1920, 1080}, 800, 0, false).Empty());
  EXPECT_TRUE(video::DestinationRect(VideoRect{0, 0, 1920, 1080}, -5, 600, false).Empty());
}

TEST(Rectangles, QuadScaleLetterboxesAndCentres) {
  video::QuadScale s = video::ComputeQuadScale(1280, 1024, 1920, 1080, true);
  EXPECT_NEAR(s.x, 0.7031, 1e-4);
  EXPECT_FLOAT_EQ(s.y, 1.0f);
  s = video::ComputeQuadScale(1920, 1080, 1000, 1000, true);
  EXPECT_FLOAT_EQ(s.x, 1.0f);
  EXPECT_NEAR(s.y, 0.5625, 1e-4);
  EXPECT_EQ(video::CentredQuad(s, 1000, 1000), (VideoRect{0, 218, 1000, 781}));
  s = video::ComputeQuadScale(1280, 1024, 1920, 1080, false);
  EXPECT_EQ(video::CentredQuad(s, 1920, 1080), (VideoRect{0, 0, 1920, 1080}));
  // No back buffer size yet: the full quad.
  s = video::ComputeQuadScale(1280, 1024, 0, 0, true);
  EXPECT_FLOAT_EQ(s.x, 1.0f);
  EXPECT_FLOAT_EQ(s.y, 1.0f);
}

}  // namespace
