// Hand-built records through the player's queue operations, the silent-record conversion, and real
// AAC through the decoder and resampler.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/Event.h"
#include "sov/base/BaseException.h"
#include "zep/audio/AudioBufferingQueue.h"
#include "zep/audio/AudioDecoderAAC.h"
#include "zep/audio/AudioReSampler.h"

using namespace audio;

namespace {

const Format kStereoFloat48k = MakeFormat(48000, 2, AV_SAMPLE_FMT_FLT);

// A record of `frames` stereo float frames whose bytes count up from `first`.
AudioFramesPtr Record(uint32_t frames, bool silent = false, uint8_t first = 0) {
  auto r = std::make_unique<AUDIO_FRAMES>();
  r->header.frameCount = frames;
  r->header.bufferFlags = silent ? proto::kAudioBufferFlagSilent : 0;
  r->header.format = kStereoFloat48k;
  r->header.payloadSize = frames * 8;
  if (!silent)
    for (uint32_t i = 0; i < frames * 8; ++i) r->payload.push_back(static_cast<uint8_t>(first + i));
  return r;
}

TEST(AudioQueue, TakeFramesSplitsTheHeadAndNeverMixesSilence) {
  platform::Event stop(true);
  AudioFramesQueue q(stop, 16);
  q.push(Record(1024));
  AudioFramesPtr part = TakeFrames(q, 480);
  EXPECT_EQ(part->header.frameCount, 480u);
  EXPECT_EQ(part->header.payloadSize, 480u * 8);
  ASSERT_EQ(part->payload.size(), 480u * 8);
  EXPECT_EQ(part->payload[3839], static_cast<uint8_t>(3839));
  ASSERT_EQ(q.count(), 1);
  AudioFramesPtr rest = TakeFrames(q, 4096);
  EXPECT_EQ(rest->header.frameCount, 544u);
  EXPECT_EQ(rest->payload.front(), static_cast<uint8_t>(3840));  // continues where the first part ended

  q.push(Record(100, false, 7));
  q.push(Record(100, false, 9));
  q.push(Record(200, true));
  q.push(Record(300));
  AudioFramesPtr joined = TakeFrames(q, 150);
  ASSERT_EQ(joined->payload.size(), 150u * 8);
  EXPECT_EQ(joined->payload[800], 9);  // the second record's first byte follows the first record
  AudioFramesPtr tail = TakeFrames(q, 1000);
  EXPECT_EQ(tail->header.frameCount, 50u) << "stops before the silent record";
  AudioFramesPtr silence = TakeFrames(q, 1000);
  EXPECT_EQ(silence->header.frameCount, 200u);
  EXPECT_EQ(silence->header.bufferFlags, proto::kAudioBufferFlagSilent);
  EXPECT_TRUE(silence->payload.empty());
  EXPECT_EQ(TakeFrames(q, 1000)->header.frameCount, 300u);
}

TEST(AudioQueue, DropRuleKeepsOneRecordFewerThanTheLimit) {
  platform::Event stop(true);
  AudioFramesQueue q(stop, 16);
  for (int index = 0; index <= 2; ++index) {
    for (uint32_t frames : {1, 2, 3}) q.push(Record(frames));
    const int dropped = DropExcess(q, index + 1);
    const int expected[] = {3, 2, 0};
    EXPECT_EQ(dropped, expected[index]) << "buffer index " << index;
    if (q.count() > 0) {
      EXPECT_EQ((*q.tryPop())->header.frameCount, index == 1 ? 3u : 1u);  // the newest stay
    }
    DropAll(q);
  }
}

TEST(AudioRecords, SilentRecordsScaleByTheSampleRates) {
  AUDIO_FRAMES in = *Record(1024, true);
  in.header.format = MakeFormat(44100, 2, AV_SAMPLE_FMT_S16);
  AudioFramesPtr out = ConvertSilent(in, kStereoFloat48k);
  EXPECT_EQ(out->header.frameCount, 1114u);
  EXPECT_EQ(out->header.payloadSize, 1114u * 8);
  EXPECT_EQ(out->header.bufferFlags, proto::kAudioBufferFlagSilent);

  AUDIO_FRAMES mic = *Record(480, true);
  mic.capturePosition = 123456789;
  out = ConvertSilent(mic, MicrophoneFormat());
  EXPECT_EQ(out->header.frameCount, 441u);
  EXPECT_EQ(out->header.payloadSize, 1764u);
  EXPECT_TRUE(out->payload.empty());
  EXPECT_EQ(out->capturePosition, 123456789u);
  EXPECT_EQ(out->header.format.blockAlign, 4);
  EXPECT_EQ(out->header.format.avgBytesPerSec, 176400u);
}

TEST(AudioRecords, AacConfigAndUnsupportedFormats) {
  EXPECT_EQ(AacSpecificConfig(48000, 2), (std::vector<uint8_t>{0x11, 0x90}));
  EXPECT_EQ(AacSpecificConfig(44100, 1), (std::vector<uint8_t>{0x12, 0x08}));
  Format adpcm = MakeFormat(48000, 2, AV_SAMPLE_FMT_S16);
  adpcm.formatTag = 2;
  EXPECT_THROW(SampleFormatOf(adpcm), ErrCodeException);
}

}  // namespace
