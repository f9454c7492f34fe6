#pragma once
// The window's drawable size as the window thread last saw it, read by the decoder thread to
// size (or drop) pictures. One atomic word, so the two halves never tear.
#include <atomic>
#include <cstdint>

namespace video {

class ClientArea {
 public:
  void Set(int width, int height) {
    packed_.store((static_cast<uint64_t>(static_cast<uint32_t>(width)) << 32) | static_cast<uint32_t>(height),
                  std::memory_order_relaxed);
  }
  int Width() const { return static_cast<int32_t>(packed_.load(std::memory_order_relaxed) >> 32); }
  int Height() const { return static_cast<int32_t>(packed_.load(std::memory_order_relaxed) & 0xffffffffu); }
  void Get(int& width, int& height) const {
    const uint64_t v = packed_.load(std::memory_order_relaxed);
    width = static_cast<int32_t>(v >> 32);
    height = static_cast<int32_t>(v & 0xffffffffu);
  }

 private:
  std::atomic<uint64_t> packed_{0};
};

}  // namespace video
