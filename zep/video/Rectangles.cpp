#include "zep/video/Rectangles.h"

#include <algorithm>
#include <cmath>

namespace video {
namespace {

// Decoders hand out pictures in whole macroblocks; these heights and widths are padded forms of
// common screen sizes and lose the padding again.
int UnpadWidth(int w) {
  return w == 1376 ? 1366 : w;
}

int UnpadHeight(int h) {
  switch (h) {
    case 904:
    case 912:
      return 900;
    case 736:
      return 720;
    case 1088:
      return 1080;
    default:
      return h;
  }
}

}  // namespace

VideoRect SourceRect(int decodedWidth, int decodedHeight) {
  VideoRect r;
  r.right = UnpadWidth(std::clamp(decodedWidth, 0, kMaxPictureWidth));
  r.bottom = UnpadHeight(std::clamp(decodedHeight, 0, kMaxPictureHeight));
  return r;
}

VideoRect DestinationRect(const VideoRect& source, int clientWidth, int clientHeight, bool preserveAspect) {
  if (clientWidth <= 0 || clientHeight <= 0) return {};
  VideoRect r;
  r.right = std::min(kMaxPictureWidth, clientWidth);
  r.bottom = std::min(kMaxPictureHeight, clientHeight);
  if (!preserveAspect || source.Empty()) return r;
  const int sw = source.Width(), sh = source.Height();
  const float sourceAspect = static_cast<float>(sw) / static_cast<float>(sh);
  const float destAspect = static_cast<float>(r.right) / static_cast<float>(r.bottom);
  if (sourceAspect > destAspect) {
    const int h = sh * r.right / sw;
    if (h <= r.bottom) r.bottom = h;
  } else {
    const int w = sw * r.bottom / sh;
    if (w <= r.right) r.right = w;
  }
  return r;
}

QuadScale ComputeQuadScale(int pictureWidth, int pictureHeight, int backWidth, int backHeight,
                           bool preserveAspect) {
  QuadScale s;
  if (!preserveAspect || backWidth <= 0 || backHeight <= 0 || pictureWidth <= 0 || pictureHeight <= 0)
    return s;
  const float windowAspect = static_cast<float>(backWidth) / static_cast<float>(backHeight);
  const float pictureAspect = static_cast<float>(pictureWidth) / static_cast<float>(pictureHeight);
  if (windowAspect > pictureAspect)
    s.x = pictureAspect / windowAspect;
  else
    s.y = windowAspect / pictureAspect;
  return s;
}

VideoRect CentredQuad(const QuadScale& scale, int backWidth, int backHeight) {
  const int w = static_cast<int>(std::lround(backWidth * scale.x));
  const int h = static_cast<int>(std::lround(backHeight * scale.y));
  VideoRect r;
  r.left = (backWidth - w) / 2;
  r.top = (backHeight - h) / 2;
  r.right = r.left + w;
  r.bottom = r.top + h;
  return r;
}

}  // namespace video
