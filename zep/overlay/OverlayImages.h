#pragma once
// The overlay's PNG images and the window's icon, drawn and embedded at build time (images/MakeImages.cpp).
#include <cstddef>

namespace overlay {

struct EmbeddedImage {
  int id;
  const unsigned char* data;
  std::size_t size;
};

extern const EmbeddedImage kEmbeddedImages[];
extern const int kEmbeddedImageCount;

enum ImageId : int {
  kImageLogo = 131,
  kImageSpinner = 133,
  kImageFullscreen = 134,
  kImageSettings = 135,
  kImageMicrophone = 137,
  kImageTick = 138,
  kImageWindowIcon = 509,
};

}  // namespace overlay
