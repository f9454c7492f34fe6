#pragma once
// Draws decoded pictures with SDL's renderer: YUV planes go into a streaming texture (NV12 or
// IYUV) and the GPU converts and scales them while drawing one quad; other pixel formats are
// converted to IYUV with swscale first.
#include <SDL.h>

#include <memory>
#include <string>

#include "zep/media/AvHandles.h"
#include "zep/video/Rectangles.h"
#include "zep/video/TripleBuffer.h"

namespace video {

struct SdlRendererDeleter {
  void operator()(SDL_Renderer* r) const { SDL_DestroyRenderer(r); }
};
struct SdlTextureDeleter {
  void operator()(SDL_Texture* t) const { SDL_DestroyTexture(t); }
};
using SdlRendererPtr = std::unique_ptr<SDL_Renderer, SdlRendererDeleter>;
using SdlTexturePtr = std::unique_ptr<SDL_Texture, SdlTextureDeleter>;

class VideoFrameRenderer {
 public:
  // Creates the renderer for the window (on the calling thread, which must be the window's
  // thread). Throws std::runtime_error when SDL has no renderer for it.
  explicit VideoFrameRenderer(SDL_Window* window);

  SDL_Renderer* Handle() const { return renderer_.get(); }
  void SetVSync(bool on);
  // The drawable size in pixels; 0x0 before it is known.
  void OutputSize(int& width, int& height) const;

  // Copies the picture's planes into the texture; the picture's frame may be reused afterwards.
  void Upload(const Picture& picture);
  bool HasPicture() const { return texture_ != nullptr; }
  // Clears the back buffer and draws the uploaded picture as a centred quad; returns its scale.
  QuadScale DrawFrame(bool preserveAspect);
  void Present() { SDL_RenderPresent(renderer_.get()); }
  // Writes what was drawn since the last present to a binary PPM file.
  bool DumpPpm(const std::string& path) const;

 private:
  void EnsureTexture(Uint32 format, int width, int height);

  SDL_Window* window_;
  SdlRendererPtr renderer_;
  SdlTexturePtr texture_;
  Uint32 textureFormat_ = 0;
  int textureWidth_ = 0;
  int textureHeight_ = 0;
  VideoRect source_;
  int pictureWidth_ = 0;
  int pictureHeight_ = 0;
  bool vsync_ = false;
  media::SwsContextPtr sws_;
  media::FramePtr converted_;
};

}  // namespace video
