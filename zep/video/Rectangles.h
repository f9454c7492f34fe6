#pragma once
// Where a decoded picture is cut and how large it is shown. Pure functions, so the rules can be
// checked against numbers without a decoder or a window.
namespace video {

// The largest picture handed to the presenter; bigger pictures are cut to their top-left part.
constexpr int kMaxPictureWidth = 1920;
constexpr int kMaxPictureHeight = 1080;

struct VideoRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool Empty() const { return Width() <= 0 || Height() <= 0; }
  bool operator==(const VideoRect&) const = default;
};

// The part of a decoded picture to show: at most 1920x1080 from the top-left corner, less the
// rows and columns that hardware decoders pad common sizes to (1088 -> 1080, 1376 -> 1366, ...).
VideoRect SourceRect(int decodedWidth, int decodedHeight);

// The picture's size on screen, anchored top-left: the client area capped at 1920x1080 and, with
// aspect preservation, shrunk along one side to the source's aspect. Empty when the client area
// is (a minimised window): the picture is then dropped.
VideoRect DestinationRect(const VideoRect& source, int clientWidth, int clientHeight, bool preserveAspect);

// The share of the back buffer the picture's quad covers on each axis (1 = the full axis).
struct QuadScale {
  float x = 1.0f;
  float y = 1.0f;
};
QuadScale ComputeQuadScale(int pictureWidth, int pictureHeight, int backWidth, int backHeight,
                           bool preserveAspect);

// The quad of a scale, centred in the back buffer, in pixels.
VideoRect CentredQuad(const QuadScale& scale, int backWidth, int backHeight);

}  // namespace video
