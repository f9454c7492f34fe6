// Fuzzes the incremental stream parser: the whole input at once and the same input in
// chunks must hand over the same messages and fail (or not) alike.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sov/base/BaseException.h"
#include "sov/protocol/StreamParser.h"

namespace {

const proto::ChannelSpec* kChannels[] = {&proto::kUdpChannel,           &proto::kApiChannel,
                                         &proto::kVideoChannel,         &proto::kAudioChannel,
                                         &proto::kMousePointerChannel,  &proto::kStationApiChannel,
                                         &proto::kStationControlChannel};

struct Outcome {
  std::vector<proto::RawMessage> messages;
  bool failed = false;
};

Outcome Parse(const proto::ChannelSpec& channel, const uint8_t* data, size_t size, uint8_t chunkSeed) {
  Outcome out;
  proto::StreamParser parser(channel, [&](proto::RawMessage&& m) { out.messages.push_back(std::move(m)); });
  size_t pos = 0;
  size_t step = chunkSeed == 0 ? size : chunkSeed;
  try {
    while (pos < size) {
      size_t n = step < size - pos ? step : size - pos;
      parser.Feed(data + pos, n);
      pos += n;
      step = step % 7 + 1;  // vary the chunk sizes
    }
  } catch (const ProtocolException&) {
    out.failed = true;
  }
  return out;
}

bool Same(const proto::RawMessage& a, const proto::RawMessage& b) {
  return a.type == b.type && a.fixed == b.fixed && a.blocks == b.blocks;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const proto::ChannelSpec& channel = *kChannels[data[0] % (sizeof(kChannels) / sizeof(kChannels[0]))];
  uint8_t chunkSeed = data[1];
  data += 2;
  size -= 2;
  Outcome whole = Parse(channel, data, size, 0);
  Outcome chunked = Parse(channel, data, size, chunkSeed == 0 ? 1 : chunkSeed);
  if (whole.failed != chunked.failed || whole.messages.size() != chunked.messages.size()) std::abort();
  for (size_t i = 0; i < whole.messages.size(); ++i)
    if (!Same(whole.messages[i], chunked.messages[i])) std::abort();
  return 0;
}
