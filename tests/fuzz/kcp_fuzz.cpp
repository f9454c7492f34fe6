// libFuzzer target for KCP input: the fuzzer's bytes are a script of datagrams, clock steps, sends
// and deliveries run against one control block with the client's settings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "sov/kcp/KcpProtocol.h"

namespace {

constexpr uint32_t kConv = 0x01020304;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::size_t outBytes = 0;
  kcp::KcpProtocol k(kConv, [&](std::span<const kcp::Datagram> batch) {
    if (batch.empty() || batch.size() > kcp::kMaxBatch) abort();
    for (auto d : batch) {
      if (d.size() < kcp::kOverhead || d.size() > k.Mtu()) abort();
      outBytes += d.size();
    }
  });
  k.SetNoDelay(2, 2, 1, 1);
  k.SetMinRto(10);
  uint32_t now = 0;
  std::size_t pos = 0;
  while (pos < size) {
    uint8_t op = data[pos++];
    switch (op % 5) {
      case 0: {  // one datagram: u16 length, then that many bytes (or the rest)
        if (pos + 2 > size) return 0;
        std::size_t len = data[pos] | data[pos + 1] << 8;
        pos += 2;
        if (len > size - pos) len = size - pos;
        std::vector<uint8_t> d(data + pos, data + pos + len);
        pos += len;
        // With bit 3 set, every segment header found gets our conversation, so that the fuzzer
        // reaches past the conversation check without guessing it.
        if (op & 8) {
          for (std::size_t off = 0; off + kcp::kOverhead <= d.size();) {
            d[off] = 0x04, d[off + 1] = 0x03, d[off + 2] = 0x02, d[off + 3] = 0x01;
            std::size_t segLen = d[off + 20] | d[off + 21] << 8 | d[off + 22] << 16 |
                                 static_cast<std::size_t>(d[off + 23]) << 24;
            if (segLen > d.size()) break;
            off += kcp::kOverhead + segLen;
          }
        }
        k.Input(d.data(), d.size());
        break;
      }
      case 1:
        now += op >> 3;
        k.Update(now);
        break;
      case 2: {
        std::size_t total = 0;
        while (k.Deliver([&](const uint8_t*, std::size_t n) { total += n; })) {
        }
        if (k.ReceiveQueueCount() > k.RcvWnd()) abort();
        break;
      }
      case 3: {
        std::size_t len = static_cast<std::size_t>(op >> 3) * 997;
        static uint8_t zeros[32 * 997];
        k.Send(zeros, len);
        break;
      }
      case 4:
        now += 1000u * (op >> 3);
        k.Update(now);
        break;
    }
  }
  return 0;
}
