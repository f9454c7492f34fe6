#pragma once
// What components draw with, and the cairo + pango implementation. Components always draw in
// absolute window coordinates; a renderer into a cache bitmap shifts them by the cache's origin.
#include <cairo.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "CommonFiles/UI/UIStrings.h"
#include "CommonFiles/UI/UITypes.h"

typedef struct _PangoLayout PangoLayout;

namespace VektaUI {

struct CairoSurfaceDeleter {
  void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
struct CairoDeleter {
  void operator()(cairo_t* c) const { cairo_destroy(c); }
};
using CairoSurfacePtr = std::unique_ptr<cairo_surface_t, CairoSurfaceDeleter>;
using CairoPtr = std::unique_ptr<cairo_t, CairoDeleter>;

// A premultiplied ARGB image: a cache, or a PNG decoded from embedded bytes.
class CUIBitmap {
 public:
  CUIBitmap(int width, int height);
  // Decodes PNG bytes; an undecodable image becomes a 1x1 transparent bitmap (and Valid() false).
  static std::unique_ptr<CUIBitmap> FromPng(const unsigned char* data, std::size_t size);

  int Width() const { return width_; }
  int Height() const { return height_; }
  bool Valid() const { return valid_; }
  cairo_surface_t* Surface() const { return surface_.get(); }
  const uint32_t* Pixels() const;
  int StridePixels() const;
  void Clear();

 private:
  explicit CUIBitmap(CairoSurfacePtr surface);
  CairoSurfacePtr surface_;
  int width_ = 0;
  int height_ = 0;
  bool valid_ = true;
};

class IUIViewRenderer {
 public:
  virtual ~IUIViewRenderer() = default;
  virtual void FillRect(const UIRect& r, uint32_t rgb, double opacity) = 0;
  virtual void FrameRect(const UIRect& r, uint32_t rgb, double lineWidth) = 0;
  virtual void DrawText(const UIRect& r, const std::string& text, const UIStyle& style, uint32_t rgb,
                        TextAlign align) = 0;
  // Scaled into `r`, turned by `angleDegrees` about the rectangle's centre.
  virtual void DrawBitmap(const CUIBitmap& bitmap, const UIRect& r, double angleDegrees = 0) = 0;
  virtual std::string Resolve(const UILabel& label) const = 0;
  // A renderer drawing into `target`, whose top-left pixel is window position (originX, originY).
  virtual std::unique_ptr<IUIViewRenderer> ForBitmap(CUIBitmap& target, int originX, int originY) = 0;
};

class CCairoRenderer : public IUIViewRenderer {
 public:
  CCairoRenderer(CUIBitmap& target, int originX, int originY, const IUIStringTable* strings);
  ~CCairoRenderer() override;

  void FillRect(const UIRect& r, uint32_t rgb, double opacity) override;
  void FrameRect(const UIRect& r, uint32_t rgb, double lineWidth) override;
  void DrawText(const UIRect& r, const std::string& text, const UIStyle& style, uint32_t rgb,
                TextAlign align) override;
  void DrawBitmap(const CUIBitmap& bitmap, const UIRect& r, double angleDegrees) override;
  std::string Resolve(const UILabel& label) const override;
  std::unique_ptr<IUIViewRenderer> ForBitmap(CUIBitmap& target, int originX, int originY) override;

 private:
  void SetColour(uint32_t rgb, double opacity);
  CairoPtr cr_;
  PangoLayout* layout_ = nullptr;  // owned; reused for every text
  const IUIStringTable* strings_;
};

class IUIVisualComponent;

// The off-screen identifier map for hit testing: every visible component fills its rectangle
// with its identifier, in drawing order, so the value under the pointer names the topmost one.
// Identifiers are handed out on a component's first use and stay its own.
class CHitMap {
 public:
  void Resize(int width, int height);
  // Starts a pass: a hashing pass only fingerprints the rectangles; a painting pass fills them.
  void Begin(bool paint);
  void Fill(IUIVisualComponent& component, const UIRect& absolute);
  uint64_t Fingerprint() const { return hash_; }
  // Valid after a painting pass: a removed component is no longer painted, so never returned.
  IUIVisualComponent* At(int x, int y) const;

 private:
  int width_ = 0;
  int height_ = 0;
  bool paint_ = false;
  uint64_t hash_ = 0;
  uint32_t nextId_ = 1;
  std::vector<uint32_t> ids_;
  std::unordered_map<uint32_t, IUIVisualComponent*> components_;
};

}  // namespace VektaUI
