#include "zep/video/VideoFrameRenderer.h"

#include <cstdio>
#include <stdexcept>
#include <vector>

#include "sov/base/Log.h"

namespace video {
namespace {

// The station's pictures carry BT.601 or BT.709 in limited or full range; SDL's conversion mode
// is process-wide, and this renderer is its only user.
void ChooseConversion(const AVFrame* f) {
  SDL_YUV_CONVERSION_MODE mode = SDL_YUV_CONVERSION_BT601;
  if (f->color_range == AVCOL_RANGE_JPEG)
    mode = SDL_YUV_CONVERSION_JPEG;
  else if (f->colorspace == AVCOL_SPC_BT709)
    mode = SDL_YUV_CONVERSION_BT709;
  if (SDL_GetYUVConversionMode() != mode) SDL_SetYUVConversionMode(mode);
}

}  // namespace

VideoFrameRenderer::VideoFrameRenderer(SDL_Window* window)
    : window_(window), renderer_(SDL_CreateRenderer(window, -1, 0)), converted_(av_frame_alloc()) {
  if (!renderer_) throw std::runtime_error(std::string("SDL_CreateRenderer: ") + SDL_GetError());
  if (!converted_) throw std::bad_alloc();
  SDL_RendererInfo info{};
  SDL_GetRendererInfo(renderer_.get(), &info);
  LOGI << "Video renderer " << info.name;
  SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
}

void VideoFrameRenderer::SetVSync(bool on) {
  if (on == vsync_) return;
  vsync_ = on;
  if (SDL_RenderSetVSync(renderer_.get(), on ? 1 : 0) != 0)
    LOGD << "SDL_RenderSetVSync(" << on << "): " << SDL_GetError();
}

void VideoFrameRenderer::OutputSize(int& width, int& height) const {
  if (SDL_GetRendererOutputSize(renderer_.get(), &width, &height) != 0) width = height = 0;
}

void VideoFrameRenderer::EnsureTexture(Uint32 format, int width, int height) {
  if (texture_ && format == textureFormat_ && width == textureWidth_ && height == textureHeight_) return;
  texture_.reset(SDL_CreateTexture(renderer_.get(), format, SDL_TEXTUREACCESS_STREAMING, width, height));
  if (!texture_) throw std::runtime_error(std::string("SDL_CreateTexture: ") + SDL_GetError());
  textureFormat_ = format;
  textureWidth_ = width;
  textureHeight_ = height;
}

void VideoFrameRenderer::Upload(const Picture& picture) {
  const AVFrame* f = picture.frame.get();
  if (f == nullptr || f->width <= 0 || f->height <= 0) return;
  ChooseConversion(f);
  source_ = picture.source;
  pictureWidth_ = picture.width;
  pictureHeight_ = picture.height;
  int rc = 0;
  switch (f->format) {
    case AV_PIX_FMT_NV12:
      EnsureTexture(SDL_PIXELFORMAT_NV12, f->width, f->height);
      rc = SDL_UpdateNVTexture(texture_.get(), nullptr, f->data[0], f->linesize[0], f->data[1],
                               f->linesize[1]);
      break;
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
      EnsureTexture(SDL_PIXELFORMAT_IYUV, f->width, f->height);
      rc = SDL_UpdateYUVTexture(texture_.get(), nullptr, f->data[0], f->linesize[0], f->data[1],
                                f->linesize[1], f->data[2], f->linesize[2]);
      break;
    default: {
      // 10-bit, 4:4:4 and the like: one conversion on the CPU into planes SDL can take.
      sws_.reset(sws_getCachedContext(sws_.release(), f->width, f->height,
                                      static_cast<AVPixelFormat>(f->format), f->width, f->height,
                                      AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
      if (!sws_) throw std::runtime_error("sws_getCachedContext failed");
      if (converted_->width != f->width || converted_->height != f->height) {
        av_frame_unref(converted_.get());
        converted_->format = AV_PIX_FMT_YUV420P;
        converted_->width = f->width;
        converted_->height = f->height;
        if (av_frame_get_buffer(converted_.get(), 0) < 0) throw std::bad_alloc();
      }
      sws_scale(sws_.get(), f->data, f->linesize, 0, f->height, converted_->data, converted_->linesize);
      EnsureTexture(SDL_PIXELFORMAT_IYUV, f->width, f->height);
      rc = SDL_UpdateYUVTexture(texture_.get(), nullptr, converted_->data[0], converted_->linesize[0],
                                converted_->data[1], converted_->linesize[1], converted_->data[2],
                                converted_->linesize[2]);
      break;
    }
  }
  if (rc != 0) throw std::runtime_error(std::string("texture upload: ") + SDL_GetError());
}

QuadScale VideoFrameRenderer::DrawFrame(bool preserveAspect) {
  int backW = 0, backH = 0;
  OutputSize(backW, backH);
  SDL_SetRenderDrawColor(renderer_.get(), 0, 0, 0, 255);
  SDL_RenderClear(renderer_.get());
  if (!texture_) return {};
  const QuadScale scale = ComputeQuadScale(pictureWidth_, pictureHeight_, backW, backH, preserveAspect);
  const VideoRect quad = CentredQuad(scale, backW, backH);
  const SDL_Rect src{source_.left, source_.top, source_.Width(), source_.Height()};
  const SDL_Rect dst{quad.left, quad.top, quad.Width(), quad.Height()};
  if (SDL_RenderCopy(renderer_.get(), texture_.get(), &src, &dst) != 0)
    throw std::runtime_error(std::string("SDL_RenderCopy: ") + SDL_GetError());
  return scale;
}

bool VideoFrameRenderer::DumpPpm(const std::string& path) const {
  int w = 0, h = 0;
  OutputSize(w, h);
  if (w <= 0 || h <= 0) return false;
  std::vector<uint8_t> rgb(static_cast<std::size_t>(w) * h * 3);
  if (SDL_RenderReadPixels(renderer_.get(), nullptr, SDL_PIXELFORMAT_RGB24, rgb.data(), w * 3) != 0) {
    LOGW << "SDL_RenderReadPixels: " << SDL_GetError();
    return false;
  }
  const std::string partial = path + ".part";
  FILE* out = std::fopen(partial.c_str(), "wb");
  if (out == nullptr) return false;
  std::fprintf(out, "P6\n%d %d\n255\n", w, h);
  const bool ok = std::fwrite(rgb.data(), 1, rgb.size(), out) == rgb.size();
  return std::fclose(out) == 0 && ok && std::rename(partial.c_str(), path.c_str()) == 0;
}

}  // namespace video
