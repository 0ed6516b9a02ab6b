#include "media/renderer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "control/session_fields.h"
#include "media/display_seams.h"
#include "media/media_clock.h"
#include "session/client_session.h"

namespace quornet {
namespace {

using qrplat::PixelFormat;
using qrplat::Rect;

double MsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

int32_t TypeOfFormat(PixelFormat format) {
  switch (format) {
    case PixelFormat::Rgb32:
      return kSurfaceRgb32;
    case PixelFormat::Rgb24:
      return kSurfaceRgb24;
    case PixelFormat::Rgb565:
      return kSurfaceRgb565;
    case PixelFormat::Rgb555:
      return kSurfaceRgb555;
  }
  return kSurfaceOther;
}

// The on-screen font: Liberation Sans Bold (metric-compatible with the face
// the marks were designed for) with a cell height (ascent + descent) of 20
// pixels, the meaning of a font height of 20 on the original platform.
struct OsdFont {
  double size = 20;
  double ascent = 16;
};

const OsdFont& GetOsdFont() {
  static const OsdFont font = [] {
    OsdFont f;
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    cairo_t* cr = cairo_create(s);
    cairo_select_font_face(cr, "Liberation Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 20);
    cairo_font_extents_t e;
    cairo_font_extents(cr, &e);
    const double cell = e.ascent + e.descent;
    if (cairo_status(cr) == CAIRO_STATUS_SUCCESS && cell > 1) {
      f.size = 20.0 * 20.0 / cell;
      f.ascent = e.ascent * 20.0 / cell;
    }
    cairo_destroy(cr);
    cairo_surface_destroy(s);
    return f;
  }();
  return font;
}

void SelectOsdFont(cairo_t* cr) {
  cairo_select_font_face(cr, "Liberation Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
  cairo_set_font_size(cr, GetOsdFont().size);
}

// A one-pixel frame just inside (l, t, r, b), right and bottom exclusive;
// nothing for an empty rectangle.
void FrameRect(cairo_t* cr, int32_t l, int32_t t, int32_t r, int32_t b) {
  if (r <= l || b <= t) return;
  cairo_rectangle(cr, l, t, r - l, 1);
  cairo_rectangle(cr, l, b - 1, r - l, 1);
  cairo_rectangle(cr, l, t, 1, b - t);
  cairo_rectangle(cr, r - 1, t, 1, b - t);
  cairo_fill(cr);
}

// Text with its top-left corner at (x, y). Opaque: on a white cell, as text
// is drawn on a fresh device context.
void TextAt(cairo_t* cr, double x, double y, const char* text, bool opaque, double r, double g,
            double b) {
  const OsdFont& font = GetOsdFont();
  if (opaque) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, text, &e);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, x, y, std::ceil(e.x_advance), 20);
    cairo_fill(cr);
  }
  cairo_set_source_rgb(cr, r, g, b);
  cairo_move_to(cr, x, y + font.ascent);
  cairo_show_text(cr, text);
  cairo_new_path(cr);
}

// A reference-frame coordinate scaled to the window, truncated; bounded so
// that hostile region values stay in cairo's fixed-point range.
int32_t Scale(int32_t v, int32_t size, int32_t reference) {
  double d = static_cast<double>(v) * size / reference;
  d = std::clamp(d, -1.0 * kMaxSurfaceSide, 2.0 * kMaxSurfaceSide);
  return static_cast<int32_t>(d);
}

// 24-bit B,G,R, 5-6-5 and 5-5-5 rows widened to 32-bit B,G,R,255 (opaque, as
// the converters write 32-bit pixels, so hosts may paint the buffer as it is).
void WidenRows(const uint8_t* src, ptrdiff_t src_pitch, int32_t type, int32_t w, int32_t h,
               uint8_t* dst, ptrdiff_t dst_pitch) {
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* s = src + y * src_pitch;
    uint32_t* d = reinterpret_cast<uint32_t*>(dst + y * dst_pitch);
    if (type == kSurfaceRgb24) {
      for (int32_t x = 0; x < w; ++x, s += 3) {
        d[x] = uint32_t(s[0]) | uint32_t(s[1]) << 8 | uint32_t(s[2]) << 16 | 0xFF000000u;
      }
    } else if (type == kSurfaceRgb565) {
      for (int32_t x = 0; x < w; ++x, s += 2) {
        const uint32_t v = uint32_t(s[0]) | uint32_t(s[1]) << 8;
        const uint32_t r = v >> 11, g = (v >> 5) & 63, b = v & 31;
        d[x] = (b << 3 | b >> 2) | (g << 2 | g >> 4) << 8 | (r << 3 | r >> 2) << 16 | 0xFF000000u;
      }
    } else {
      for (int32_t x = 0; x < w; ++x, s += 2) {
        const uint32_t v = uint32_t(s[0]) | uint32_t(s[1]) << 8;
        const uint32_t r = (v >> 10) & 31, g = (v >> 5) & 31, b = v & 31;
        d[x] = (b << 3 | b >> 2) | (g << 3 | g >> 2) << 8 | (r << 3 | r >> 2) << 16 | 0xFF000000u;
      }
    }
  }
}

}  // namespace

// A back buffer and the picture description handed to hosts. `leased` is set
// while a host holds a reference (see Lease below); the release is a store
// with release order, so the host's last read of the pixels happens before
// the renderer's next write.
struct CRenderer::BackBuffer {
  cairo_surface_t* surface = nullptr;
  qrplat::SharedImage image;
  std::atomic<bool> leased{false};

  BackBuffer() = default;
  BackBuffer(const BackBuffer&) = delete;
  BackBuffer& operator=(const BackBuffer&) = delete;
  ~BackBuffer() {
    if (surface != nullptr) cairo_surface_destroy(surface);
  }
};

namespace {

// The reference a host gets: it keeps the buffer alive (also past the
// renderer's own pool) and frees it for drawing when the last copy goes.
template <class Buffer>
std::shared_ptr<const qrplat::SharedImage> Lease(const std::shared_ptr<Buffer>& buffer) {
  buffer->leased.store(true, std::memory_order_relaxed);
  return std::shared_ptr<const qrplat::SharedImage>(
      &buffer->image, [keep = buffer](const qrplat::SharedImage*) {
        keep->leased.store(false, std::memory_order_release);
      });
}

}  // namespace

CRenderer::CRenderer(CClientSession* session, IClock* clock) : session_(session), clock_(clock) {}

CRenderer::~CRenderer() {
  std::lock_guard<std::mutex> lock(mutex_);
  ReleaseVideoLocked();
  ReleaseBackLocked();
}

bool CRenderer::PlainSurfaceAvailable(int32_t) const {
  return true;
}

void CRenderer::ReleaseVideoLocked() {
  if (video_.cairo != nullptr) cairo_surface_destroy(video_.cairo);
  video_ = VideoSurface{};
  video_stale_ = false;
  if (staging_ != nullptr) cairo_surface_destroy(staging_);
  staging_ = nullptr;
}

void CRenderer::ReleaseBackLocked() {
  // Buffers a host still holds live on in their leases.
  back_pool_.clear();
  last_back_.reset();
}

std::shared_ptr<CRenderer::BackBuffer> CRenderer::CreateBackLocked() const {
  auto b = std::make_shared<BackBuffer>();
  b->surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, dest_.Width(), dest_.Height());
  if (cairo_surface_status(b->surface) != CAIRO_STATUS_SUCCESS) return nullptr;
  b->image.pixels = cairo_image_surface_get_data(b->surface);
  b->image.width = dest_.Width();
  b->image.height = dest_.Height();
  b->image.stride = cairo_image_surface_get_stride(b->surface);
  b->image.format = back_format_;
  return b;
}

std::shared_ptr<CRenderer::BackBuffer> CRenderer::AcquireBackLocked() {
  for (const auto& b : back_pool_) {
    if (!b->leased.load(std::memory_order_acquire)) return b;
  }
  if (back_pool_.size() >= size_t(kBackBuffers)) return nullptr;
  auto b = CreateBackLocked();
  if (b) back_pool_.push_back(b);
  return b;
}

bool CRenderer::CreateVideoSurfaceLocked(int32_t type, int32_t w, int32_t h) {
  VideoSurface v;
  v.type = type;
  v.width = w;
  v.height = h;
  if (type == kSurfaceRgb32) {
    v.cairo = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    if (cairo_surface_status(v.cairo) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(v.cairo);
      return false;
    }
    v.data = cairo_image_surface_get_data(v.cairo);
    v.pitch = cairo_image_surface_get_stride(v.cairo);
  } else {
    size_t total;
    if (type == kSurfaceYv12) {
      // Even pitch with room for the (w + 1) / 2 chroma samples of odd widths.
      v.pitch = (w + 1 + 15) & ~15;
      const size_t chroma_rows = size_t(h + 1) / 2;
      total = size_t(v.pitch) * size_t(h) + 2 * size_t(v.pitch / 2) * chroma_rows;
    } else {
      v.pitch = (ptrdiff_t(w) * BytesPerPixel(static_cast<PixelLayout>(type)) + 3) & ~ptrdiff_t(3);
      total = size_t(v.pitch) * size_t(h);
    }
    try {
      v.bytes.assign(total, 0);
    } catch (const std::bad_alloc&) {
      return false;
    }
    v.data = v.bytes.data();
    // Widened to 32 bits before the stretch.
    staging_ = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    if (cairo_surface_status(staging_) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(staging_);
      staging_ = nullptr;
      return false;
    }
  }
  video_ = std::move(v);
  return true;
}

bool CRenderer::CreateSurfacesLocked(uint32_t window, int32_t width, int32_t height,
                                     bool with_video) {
  ready_ = false;
  if (with_video) ReleaseVideoLocked();
  ReleaseBackLocked();
  window_ = window;
  picture_w_ = width;
  picture_h_ = height;
  source_ = Rect{0, 0, width, height};

  std::shared_ptr<qrplat::WindowHost> host = qrplat::FindWindow(window);
  if (!host) return false;
  const qrplat::Size size = host->ClientSize();
  dest_ = Rect{0, 0, size.width, size.height};
  if (size.width <= 0 || size.height <= 0 || size.width > kMaxSurfaceSide ||
      size.height > kMaxSurfaceSide) {
    return false;
  }
  const qrplat::SurfaceCaps caps = host->Caps();
  primary_format_ = host->PrimaryFormat();
  primary_type_ = TypeOfFormat(primary_format_);

  back_format_ = PixelFormat::Rgb32;
  auto first_back = CreateBackLocked();
  if (!first_back) return false;
  back_pool_.push_back(std::move(first_back));
  if (!with_video) {
    ready_ = video_.type != kSurfaceOther;
    ++creations_;
    return true;
  }
  if (width <= 0 || height <= 0 || width > kMaxSurfaceSide || height > kMaxSurfaceSide) {
    return false;
  }

  // The back buffer "lies in video memory" when the host offers video memory.
  const bool yv12_possible = caps.fourcc && caps.video_memory;
  bool made = false;
  if (session_->param().stream_option != 1 && yv12_possible) {
    made = CreateVideoSurfaceLocked(kSurfaceYv12, width, height);
  }
  if (!made) {
    made = primary_type_ != kSurfaceOther && PlainSurfaceAvailable(primary_type_) &&
           CreateVideoSurfaceLocked(primary_type_, width, height);
    // The plain surface could not be made: YV12 when the host has it.
    if (!made && yv12_possible) made = CreateVideoSurfaceLocked(kSurfaceYv12, width, height);
  }
  if (!made) return false;
  ready_ = true;
  ++creations_;
  return true;
}

void CRenderer::FillVideoLocked(const YuvPlanes& p, bool flip) {
  VideoSurface& v = video_;
  if (v.type == kSurfaceYv12) {
    // Y plane at the pitch, then V, then U, each at half the pitch and half
    // the height (rounded up for odd sizes).
    const int32_t cw = (p.width + 1) / 2, ch = (p.height + 1) / 2;
    const ptrdiff_t cpitch = v.pitch / 2;
    uint8_t* y_dst = v.data;
    uint8_t* v_dst = y_dst + v.pitch * p.height;
    uint8_t* u_dst = v_dst + cpitch * ch;
    for (int32_t row = 0; row < p.height; ++row) {
      const int32_t src_row = flip ? p.height - 1 - row : row;
      std::memcpy(y_dst + row * v.pitch, p.y + src_row * p.y_stride, size_t(p.width));
    }
    for (int32_t row = 0; row < ch; ++row) {
      const int32_t src_row = flip ? ch - 1 - row : row;
      std::memcpy(v_dst + row * cpitch, p.v + src_row * p.uv_stride, size_t(cw));
      std::memcpy(u_dst + row * cpitch, p.u + src_row * p.uv_stride, size_t(cw));
    }
    return;
  }
  if (v.cairo != nullptr) cairo_surface_flush(v.cairo);
  ConvertYuv420(p, v.data, v.pitch, static_cast<PixelLayout>(v.type), flip);
  if (v.cairo != nullptr) cairo_surface_mark_dirty(v.cairo);
}

// After pictures went straight into back buffers, the last one (drawn
// without marks) is the picture the video surface would hold.
void CRenderer::FillVideoFromLastBackLocked() {
  if (!video_stale_) return;
  video_stale_ = false;
  if (!last_back_ || video_.cairo == nullptr || video_.width != last_back_->image.width ||
      video_.height != last_back_->image.height) {
    return;
  }
  cairo_surface_flush(video_.cairo);
  const qrplat::SharedImage& from = last_back_->image;
  for (int32_t row = 0; row < from.height; ++row) {
    std::memcpy(video_.data + row * video_.pitch, from.pixels + ptrdiff_t(row) * from.stride,
                size_t(from.width) * 4);
  }
  cairo_surface_mark_dirty(video_.cairo);
}

bool CRenderer::StretchLocked(cairo_surface_t* back) {
  cairo_surface_t* src = video_.cairo;
  if (src == nullptr) {
    if (staging_ == nullptr) return false;
    cairo_surface_flush(staging_);
    uint8_t* dst = cairo_image_surface_get_data(staging_);
    const ptrdiff_t dst_pitch = cairo_image_surface_get_stride(staging_);
    if (video_.type == kSurfaceYv12) {
      const int32_t ch = (video_.height + 1) / 2;
      YuvPlanes p;
      p.y = video_.data;
      p.v = video_.data + video_.pitch * video_.height;
      p.u = p.v + (video_.pitch / 2) * ch;
      p.y_stride = video_.pitch;
      p.uv_stride = video_.pitch / 2;
      p.width = video_.width;
      p.height = video_.height;
      if (!ConvertYuv420(p, dst, dst_pitch, PixelLayout::kRgb32, false)) return false;
    } else {
      WidenRows(video_.data, video_.pitch, video_.type, video_.width, video_.height, dst,
                dst_pitch);
    }
    cairo_surface_mark_dirty(staging_);
    src = staging_;
  }
  const int32_t w = dest_.Width(), h = dest_.Height();
  if (w == source_.Width() && h == source_.Height() &&
      cairo_image_surface_get_format(src) == cairo_image_surface_get_format(back)) {
    // Window and picture have the same size: a row copy, not a cairo paint
    // (which costs several times as much even with an identity transform).
    cairo_surface_flush(back);
    const uint8_t* from = cairo_image_surface_get_data(src);
    uint8_t* to = cairo_image_surface_get_data(back);
    const ptrdiff_t from_pitch = cairo_image_surface_get_stride(src);
    const ptrdiff_t to_pitch = cairo_image_surface_get_stride(back);
    const size_t row_bytes = size_t(w) * 4;
    for (int32_t row = 0; row < h; ++row) {
      std::memcpy(to + row * to_pitch, from + row * from_pitch, row_bytes);
    }
    cairo_surface_mark_dirty(back);
    return true;
  }
  cairo_t* cr = cairo_create(back);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  if (w != source_.Width() || h != source_.Height()) {
    cairo_scale(cr, double(w) / source_.Width(), double(h) / source_.Height());
  }
  cairo_set_source_surface(cr, src, 0, 0);
  cairo_pattern_t* pattern = cairo_get_source(cr);
  cairo_pattern_set_filter(pattern, CAIRO_FILTER_BILINEAR);
  cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
  cairo_paint(cr);
  const bool ok = cairo_status(cr) == CAIRO_STATUS_SUCCESS;
  cairo_destroy(cr);
  return ok;
}

bool CRenderer::HasMarksLocked() const {
  if (session_ == nullptr) return false;
  if (session_->local_rect[2].load() > 0 && session_->local_rect[3].load() > 0) return true;
  if (SessionIsRecording(*session_) || SessionAlarmOutOn(*session_)) return true;
  const int32_t mode = session_->md_region_mode.load();
  if ((mode & 3) == 0) return false;
  const MotionState state = ReadMotionState(*session_);
  if ((mode & 2) && state.mask != 0) return true;
  if (mode & 1) {
    for (const MotionRect& r : state.record.rect) {
      if (r.left != 0 || r.top != 0 || r.right != 0 || r.bottom != 0) return true;
    }
  }
  return false;
}

void CRenderer::DrawOsdLocked(cairo_t* cr, int32_t w, int32_t h) {
  if (session_ == nullptr || w <= 0 || h <= 0) return;
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
  SelectOsdFont(cr);
  const int32_t mode = session_->md_region_mode.load();
  if (mode & 3) {
    const MotionState state = ReadMotionState(*session_);
    char text[16];
    for (int i = 0; i < 16; ++i) {
      const MotionRect& r = state.record.rect[i];
      if (r.left == 0 && r.top == 0 && r.right == 0 && r.bottom == 0) continue;
      const int32_t l = Scale(r.left, w, kReferenceWidth), t = Scale(r.top, h, kReferenceHeight);
      const int32_t rr = Scale(r.right, w, kReferenceWidth);
      const int32_t b = Scale(r.bottom, h, kReferenceHeight);
      std::snprintf(text, sizeof(text), "%d", i);
      if (mode & 1) {
        TextAt(cr, l + 5, t + 5, text, true, 0, 0, 0);
        cairo_set_source_rgb(cr, 1, 1, 1);
        FrameRect(cr, l, t, rr, b);
      }
      const uint32_t bit = 1u << i;
      if ((mode & 2) && (state.mask & bit)) {
        const int32_t age = static_cast<int32_t>(clock_->NowMs() - state.tick[i]);
        if (age >= kRegionAlarmHoldMs || age <= -kRegionAlarmHoldMs) {
          ClearMotionAlarmBit(*session_, i, state.tick[i]);
          continue;
        }
        TextAt(cr, l + 5, t + 5, text, true, 0, 0, 0);
        cairo_set_source_rgb(cr, 1, 0, 0);
        FrameRect(cr, l, t, rr, b);
      }
    }
  }
  const int32_t lx = session_->local_rect[0].load(), ly = session_->local_rect[1].load();
  const int32_t lw = session_->local_rect[2].load(), lh = session_->local_rect[3].load();
  if (lw > 0 && lh > 0) {
    cairo_set_source_rgb(cr, 0, 1, 0);
    FrameRect(
        cr, std::clamp(lx, -kMaxSurfaceSide, 2 * kMaxSurfaceSide),
        std::clamp(ly, -kMaxSurfaceSide, 2 * kMaxSurfaceSide),
        std::clamp(int64_t(lx) + lw, int64_t(-kMaxSurfaceSide), int64_t(2 * kMaxSurfaceSide)),
        std::clamp(int64_t(ly) + lh, int64_t(-kMaxSurfaceSide), int64_t(2 * kMaxSurfaceSide)));
  }
  if (SessionIsRecording(*session_)) TextAt(cr, w - 35, 0, "REC", false, 1, 0, 0);
  if (SessionAlarmOutOn(*session_)) TextAt(cr, w - 95, 0, "ALARM", false, 1, 0, 0);
}

Rect CRenderer::SourceRectLocked(int32_t w, int32_t h) const {
  const Rect whole{0, 0, w, h};
  const int32_t lx = session_->local_rect[0].load(), ly = session_->local_rect[1].load();
  const int32_t lw = session_->local_rect[2].load(), lh = session_->local_rect[3].load();
  if (session_->show_local_rect.load() != 0 && lw > 0 && lh > 0) {
    // The inside of the green frame, clipped to the back buffer.
    const int64_t l = std::max<int64_t>(int64_t(lx) + 1, 0);
    const int64_t t = std::max<int64_t>(int64_t(ly) + 1, 0);
    const int64_t r = std::min<int64_t>(int64_t(lx) + lw - 1, w);
    const int64_t b = std::min<int64_t>(int64_t(ly) + lh - 1, h);
    if (r > l && b > t) {
      return Rect{int32_t(l), int32_t(t), int32_t(r), int32_t(b)};
    }
    return whole;
  }
  if (session_->ezoom_active.load() != 0) {
    const int64_t z = std::clamp(session_->ezoom_level.load(), 0, kMaxZoomLevel);
    const int32_t dx = int32_t(int64_t(w) * z / 100), dy = int32_t(int64_t(h) * z / 100);
    return Rect{dx, dy, w - dx, h - dy};
  }
  return whole;
}

CRenderer::PresentResult CRenderer::PresentLocked(DrawTimings* timings, const YuvPlanes* direct,
                                                  bool flip) {
  std::shared_ptr<qrplat::WindowHost> host = qrplat::FindWindow(window_);
  if (!host || back_pool_.empty() || video_.type == kSurfaceOther) return PresentResult::kFailed;
  const qrplat::Size size = host->ClientSize();
  if (size.width != dest_.Width() || size.height != dest_.Height()) {
    ready_ = false;
    return PresentResult::kResized;
  }
  const std::shared_ptr<BackBuffer> back = AcquireBackLocked();
  if (!back) {
    ++dropped_presents_;
    return PresentResult::kDropped;
  }
  auto t0 = std::chrono::steady_clock::now();
  if (direct != nullptr) {
    cairo_surface_flush(back->surface);
    if (!ConvertYuv420(*direct, cairo_image_surface_get_data(back->surface),
                       cairo_image_surface_get_stride(back->surface), PixelLayout::kRgb32, flip)) {
      return PresentResult::kFailed;
    }
    cairo_surface_mark_dirty(back->surface);
    video_stale_ = true;
    if (timings != nullptr) timings->convert_ms = MsSince(t0);
  } else {
    FillVideoFromLastBackLocked();
    if (!StretchLocked(back->surface)) return PresentResult::kFailed;
    if (timings != nullptr) timings->stretch_ms = MsSince(t0);
  }

  t0 = std::chrono::steady_clock::now();
  const int32_t w = dest_.Width(), h = dest_.Height();
  if (HasMarksLocked()) {
    cairo_t* cr = cairo_create(back->surface);
    DrawOsdLocked(cr, w, h);
    cairo_destroy(cr);
  }
  cairo_surface_flush(back->surface);
  if (timings != nullptr) timings->osd_ms = MsSince(t0);

  t0 = std::chrono::steady_clock::now();
  last_back_ = back;
  host->PresentShared(Lease(back), SourceRectLocked(w, h));
  if (timings != nullptr) timings->present_ms = MsSince(t0);
  return PresentResult::kOk;
}

bool CRenderer::DrawPicture(uint32_t window, const YuvPlanes& picture) {
  if (window == 0 || picture.y == nullptr || picture.u == nullptr || picture.v == nullptr) {
    return false;
  }
  std::shared_ptr<qrplat::WindowHost> host = qrplat::FindWindow(window);
  if (!host || !host->IsVisible()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (ready_ && host->PrimaryFormat() != primary_format_) ready_ = false;  // display mode change
  if (!ready_ || window != window_ || picture.width != picture_w_ || picture.height != picture_h_ ||
      video_.type == kSurfaceOther) {
    if (!CreateSurfacesLocked(window, picture.width, picture.height, true)) return false;
  }
  DrawTimings t;
  const bool flip = session_->vertical_flip.load() != 0;
  // Straight into the back buffer when nothing needs the picture at its own
  // size: no stretch, no marks over it.
  const bool direct = direct_enabled_ && video_.type == kSurfaceRgb32 &&
                      dest_.Width() == picture.width && dest_.Height() == picture.height &&
                      !HasMarksLocked();
  if (!direct) {
    auto t0 = std::chrono::steady_clock::now();
    FillVideoLocked(picture, flip);
    video_stale_ = false;
    t.convert_ms = MsSince(t0);
  }
  const bool ok = PresentLocked(&t, direct ? &picture : nullptr, flip) == PresentResult::kOk;
  last_direct_ = direct && ok;
  timings_ = t;
  return ok;
}

int32_t CRenderer::Refresh() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (back_pool_.empty() || video_.type == kSurfaceOther) return 0;
  // A resize re-creates the back buffers: bring the video surface up to date
  // from the last one first.
  FillVideoFromLastBackLocked();
  if (PresentLocked(nullptr, nullptr, false) == PresentResult::kResized &&
      CreateSurfacesLocked(window_, picture_w_, picture_h_, false)) {
    PresentLocked(nullptr, nullptr, false);
  }
  return 1;
}

void CRenderer::SetDirectConversion(bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  direct_enabled_ = enabled;
}

void CRenderer::SetWindow(uint32_t window) {
  std::lock_guard<std::mutex> lock(mutex_);
  window_ = window;
  ready_ = false;
}

void CRenderer::Restore() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<qrplat::WindowHost> host = qrplat::FindWindow(window_);
  if (host && video_.type != kSurfaceOther && host->PrimaryFormat() != primary_format_) {
    CreateSurfacesLocked(window_, picture_w_, picture_h_, true);
  }
}

CRenderer::State CRenderer::GetState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  State s;
  s.ready = ready_;
  s.window = window_;
  s.primary_type = primary_type_;
  s.video_type = video_.type;
  s.back_format = back_format_;
  s.dest = dest_;
  s.source = source_;
  s.creations = creations_;
  s.dropped_presents = dropped_presents_;
  s.last_direct = last_direct_;
  return s;
}

DrawTimings CRenderer::LastTimings() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timings_;
}

}  // namespace quornet
