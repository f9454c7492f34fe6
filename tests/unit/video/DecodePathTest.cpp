// The path choice on this machine's libavcodec: the embedded stream decodes, forcedx9 means
// software, and without a usable device the choice falls back to software instead of failing.
#include <gtest/gtest.h>

#include "zep/video/Codecs.h"
#include "zep/video/DecodePathChoice.h"

namespace {

TEST(DecodePath, SoftwareDecodesTheProbeStreamAndOpensEveryCodec) {
  video::DecodePath software;
  EXPECT_TRUE(video::ProvesOnProbeStream(software));
  for (int codec = 0; codec < video::kCodecCount; ++codec)
    EXPECT_NO_THROW(video::OpenVideoDecoder(codec, software)) << video::CodecName(codec);
  EXPECT_THROW(video::OpenVideoDecoder(5, software), video::DecodeError);
  EXPECT_EQ(video::OpenVideoDecoder(video::kCodecAv1, software)->Name(), "libdav1d");
}

TEST(DecodePath, ForcedSoftwareAndFallbackWithoutADevice) {
  EXPECT_FALSE(video::ChooseDecodePath(true).Hardware());
  // A device that is missing here (or present on a GPU machine) either proves itself or is
  // passed over; the session never ends up on a path that cannot decode.
  const video::DecodePath chosen = video::ChooseDecodePath(false);
  EXPECT_TRUE(video::ProvesOnProbeStream(chosen)) << chosen.Name();
  if (!chosen.Hardware()) GTEST_LOG_(INFO) << "no hardware decoder here: software fallback";
}

}  // namespace
