#pragma once
// The X server's current pointer image (XFixes), kept apart from the tests: Xlib's macros clash
// with GoogleTest's names.
#include <cstdint>
#include <string>
#include <vector>

struct PointerImage {
  int width = 0, height = 0, hotX = 0, hotY = 0;
  std::vector<uint32_t> argb;  // 0xAARRGGBB
};

class XPointerReader {
 public:
  explicit XPointerReader(const std::string& display);
  ~XPointerReader();
  bool Ok() const { return display_ != nullptr; }
  PointerImage Current();

 private:
  void* display_ = nullptr;
};
