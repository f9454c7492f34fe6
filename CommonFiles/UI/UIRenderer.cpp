#include "CommonFiles/UI/UIRenderer.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "CommonFiles/UI/UIComponent.h"

namespace VektaUI {

const UIStyle& DefaultStyle() {
  static const UIStyle style;
  return style;
}

const UIStyle& DefaultLargeStyle() {
  static const UIStyle style = [] {
    UIStyle s;
    s.fontSize = 28.0f;
    return s;
  }();
  return style;
}

CUIBitmap::CUIBitmap(int width, int height)
    : surface_(
          cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width > 0 ? width : 1, height > 0 ? height : 1)),
      width_(width > 0 ? width : 1),
      height_(height > 0 ? height : 1) {}

CUIBitmap::CUIBitmap(CairoSurfacePtr surface)
    : surface_(std::move(surface)),
      width_(cairo_image_surface_get_width(surface_.get())),
      height_(cairo_image_surface_get_height(surface_.get())) {}

namespace {
struct PngReader {
  const unsigned char* data;
  std::size_t size;
  std::size_t at = 0;
};
cairo_status_t ReadPng(void* closure, unsigned char* out, unsigned int length) {
  auto* r = static_cast<PngReader*>(closure);
  if (r->size - r->at < length) return CAIRO_STATUS_READ_ERROR;
  std::memcpy(out, r->data + r->at, length);
  r->at += length;
  return CAIRO_STATUS_SUCCESS;
}
}  // namespace

std::unique_ptr<CUIBitmap> CUIBitmap::FromPng(const unsigned char* data, std::size_t size) {
  PngReader reader{data, size};
  CairoSurfacePtr s(cairo_image_surface_create_from_png_stream(ReadPng, &reader));
  if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS) {
    auto empty = std::make_unique<CUIBitmap>(1, 1);
    empty->valid_ = false;
    return empty;
  }
  return std::unique_ptr<CUIBitmap>(new CUIBitmap(std::move(s)));
}

const uint32_t* CUIBitmap::Pixels() const {
  cairo_surface_flush(surface_.get());
  return reinterpret_cast<const uint32_t*>(cairo_image_surface_get_data(surface_.get()));
}

int CUIBitmap::StridePixels() const {
  return cairo_image_surface_get_stride(surface_.get()) / 4;
}

void CUIBitmap::Clear() {
  cairo_surface_flush(surface_.get());
  std::memset(cairo_image_surface_get_data(surface_.get()), 0,
              static_cast<std::size_t>(cairo_image_surface_get_stride(surface_.get())) * height_);
  cairo_surface_mark_dirty(surface_.get());
}

CCairoRenderer::CCairoRenderer(CUIBitmap& target, int originX, int originY, const IUIStringTable* strings)
    : cr_(cairo_create(target.Surface())), strings_(strings) {
  cairo_translate(cr_.get(), -originX, -originY);
  layout_ = pango_cairo_create_layout(cr_.get());
}

CCairoRenderer::~CCairoRenderer() {
  if (layout_) g_object_unref(layout_);
}

void CCairoRenderer::SetColour(uint32_t rgb, double opacity) {
  cairo_set_source_rgba(cr_.get(), ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0,
                        (rgb & 0xFF) / 255.0, opacity);
}

void CCairoRenderer::FillRect(const UIRect& r, uint32_t rgb, double opacity) {
  SetColour(rgb, opacity);
  cairo_rectangle(cr_.get(), r.x, r.y, r.w, r.h);
  cairo_fill(cr_.get());
}

void CCairoRenderer::FrameRect(const UIRect& r, uint32_t rgb, double lineWidth) {
  SetColour(rgb, 1.0);
  cairo_set_line_width(cr_.get(), lineWidth);
  const double inset = lineWidth / 2;
  cairo_rectangle(cr_.get(), r.x + inset, r.y + inset, r.w - lineWidth, r.h - lineWidth);
  cairo_stroke(cr_.get());
}

void CCairoRenderer::DrawText(const UIRect& r, const std::string& text, const UIStyle& style, uint32_t rgb,
                              TextAlign align) {
  if (text.empty()) return;
  pango_layout_set_width(layout_, r.w * PANGO_SCALE);
  pango_layout_set_wrap(layout_, PANGO_WRAP_WORD_CHAR);
  pango_layout_set_alignment(layout_, align == TextAlign::kCentre  ? PANGO_ALIGN_CENTER
                                      : align == TextAlign::kRight ? PANGO_ALIGN_RIGHT
                                                                   : PANGO_ALIGN_LEFT);
  pango_layout_set_text(layout_, text.c_str(), static_cast<int>(text.size()));
  // Sizes are the em height in window pixels, as the overlay's unit is the window's pixel. A text
  // that wraps beyond its box (a Russian title, a long city) gets smaller, down to 60 %, rather
  // than lose its last line at the box's edge; one line taller than its box keeps its size.
  int textW = 0, textH = 0;
  for (double size = style.fontSize;; size *= 0.9) {
    PangoFontDescription* font = pango_font_description_new();
    pango_font_description_set_family(font, style.fontFamily.c_str());
    pango_font_description_set_absolute_size(font, size * PANGO_SCALE);
    pango_font_description_set_weight(font, static_cast<PangoWeight>(style.fontWeight));
    pango_layout_set_font_description(layout_, font);
    pango_font_description_free(font);
    pango_layout_get_pixel_size(layout_, &textW, &textH);
    if (textH <= r.h || pango_layout_get_line_count(layout_) <= 1 || size * 0.9 < style.fontSize * 0.6) break;
  }
  // Centred text is centred both ways (labels of buttons and switches); the rest starts at the top.
  const int y = align == TextAlign::kCentre ? r.y + (r.h - textH) / 2 : r.y;
  cairo_save(cr_.get());
  cairo_rectangle(cr_.get(), r.x, std::min(r.y, y), r.w, std::max(r.h, textH));
  cairo_clip(cr_.get());
  SetColour(rgb, 1.0);
  cairo_move_to(cr_.get(), r.x, y);
  pango_cairo_show_layout(cr_.get(), layout_);
  cairo_restore(cr_.get());
}

void CCairoRenderer::DrawBitmap(const CUIBitmap& bitmap, const UIRect& r, double angleDegrees) {
  cairo_save(cr_.get());
  cairo_translate(cr_.get(), r.x + r.w / 2.0, r.y + r.h / 2.0);
  if (angleDegrees != 0) cairo_rotate(cr_.get(), angleDegrees * M_PI / 180.0);
  cairo_scale(cr_.get(), static_cast<double>(r.w) / bitmap.Width(),
              static_cast<double>(r.h) / bitmap.Height());
  cairo_set_source_surface(cr_.get(), bitmap.Surface(), -bitmap.Width() / 2.0, -bitmap.Height() / 2.0);
  cairo_paint(cr_.get());
  cairo_restore(cr_.get());
}

std::string CCairoRenderer::Resolve(const UILabel& label) const {
  if (label.stringId == 0 || !strings_) return label.text;
  return strings_->Text(label.stringId);
}

std::unique_ptr<IUIViewRenderer> CCairoRenderer::ForBitmap(CUIBitmap& target, int originX, int originY) {
  return std::make_unique<CCairoRenderer>(target, originX, originY, strings_);
}

void CHitMap::Resize(int width, int height) {
  width_ = width > 0 ? width : 0;
  height_ = height > 0 ? height : 0;
  ids_.assign(static_cast<std::size_t>(width_) * height_, 0);
  hash_ = 0;
}

void CHitMap::Begin(bool paint) {
  paint_ = paint;
  hash_ = 1469598103934665603ULL;
  if (paint) std::fill(ids_.begin(), ids_.end(), 0u);
}

void CHitMap::Fill(IUIVisualComponent& component, const UIRect& r) {
  if (component.GetIdentifier() == 0) {
    component.SetIdentifier(nextId_++);
  }
  const uint32_t id = component.GetIdentifier();
  components_[id] = &component;
  for (int v : {static_cast<int>(id), r.x, r.y, r.w, r.h})
    hash_ = (hash_ ^ static_cast<uint32_t>(v)) * 1099511628211ULL;
  if (!paint_) return;
  const int x0 = std::max(0, r.x), y0 = std::max(0, r.y);
  const int x1 = std::min(width_, r.Right()), y1 = std::min(height_, r.Bottom());
  for (int y = y0; y < y1; ++y)
    std::fill_n(&ids_[static_cast<std::size_t>(y) * width_ + x0], std::max(0, x1 - x0), id);
}

IUIVisualComponent* CHitMap::At(int x, int y) const {
  if (x < 0 || y < 0 || x >= width_ || y >= height_) return nullptr;
  const uint32_t id = ids_[static_cast<std::size_t>(y) * width_ + x];
  if (id == 0) return nullptr;
  auto it = components_.find(id);
  return it == components_.end() ? nullptr : it->second;
}

}  // namespace VektaUI
