#include <gtest/gtest.h>

#include <thread>

#include "platform/Waitable.h"
#include "zep/video/TripleBuffer.h"

namespace {

void PublishStamp(video::TripleBuffer& tb, uint64_t stamp) {
  tb.Back().stamp = stamp;
  tb.Publish();
}

TEST(TripleBuffer, ReaderGetsNewestAndLostPicturesAreCounted) {
  video::TripleBuffer tb;
  EXPECT_EQ(tb.Counter(), -2);
  PublishStamp(tb, 1);
  PublishStamp(tb, 2);
  // Two publishes before the reader wakes: one wake, the newer picture, one picture lost.
  EXPECT_EQ(platform::WaitAny({&tb.FrameReady()}, 0), 0);
  EXPECT_EQ(platform::WaitAny({&tb.FrameReady()}, 0), platform::kWaitTimeout);
  video::Picture* p = tb.AcquireFront();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->stamp, 2u);
  EXPECT_EQ(tb.Counter(), -1);
  EXPECT_EQ(tb.Drops(), 0);
  // Two more lost pictures: only the third shows in the statistic.
  for (uint64_t s = 3; s <= 6; ++s) PublishStamp(tb, s);
  EXPECT_EQ(tb.Counter(), 3);
  EXPECT_EQ(tb.Drops(), 3);
  p = tb.AcquireFront();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->stamp, 6u);
  EXPECT_EQ(tb.Drops(), 2);
}

TEST(TripleBuffer, AWakeForATakenPictureNeverShowsAnOlderOne) {
  video::TripleBuffer tb;
  PublishStamp(tb, 1);
  ASSERT_EQ(tb.AcquireFront()->stamp, 1u);
  // Nothing new: the reader must keep its picture rather than get an older record back.
  EXPECT_EQ(tb.AcquireFront(), nullptr);
  PublishStamp(tb, 2);
  video::Picture* p = tb.AcquireFront();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->stamp, 2u);
  EXPECT_EQ(tb.AcquireFront(), nullptr);
  EXPECT_EQ(tb.Counter(), -2);
}

TEST(TripleBuffer, WriterAndReaderNeverShareARecord) {
  video::TripleBuffer tb;
  constexpr uint64_t kPictures = 20000;
  std::thread writer([&] {
    for (uint64_t s = 1; s <= kPictures; ++s) {
      video::Picture& back = tb.Back();
      back.stamp = s;
      back.width = static_cast<int>(s);  // torn if the reader held this record
      back.height = static_cast<int>(s);
      tb.Publish();
    }
  });
  uint64_t last = 0, taken = 0;
  while (last < kPictures) {
    platform::WaitAny({&tb.FrameReady()}, 50);
    if (video::Picture* p = tb.AcquireFront()) {
      const uint64_t stamp = p->stamp;
      ASSERT_GT(stamp, last);
      ASSERT_EQ(p->width, static_cast<int>(stamp));
      ASSERT_EQ(p->height, static_cast<int>(stamp));
      last = stamp;
      ++taken;
    }
  }
  writer.join();
  EXPECT_EQ(tb.Counter(), static_cast<int32_t>(kPictures - taken) - 2);
}

}  // namespace
