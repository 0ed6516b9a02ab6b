// CRenderer: draws decoded pictures of one client session into its window.
//
// Three stages, as on every platform the library runs on:
//   1. the video surface, of picture size, filled from the decoded YUV 4:2:0
//      planes (YV12 copy or our RGB converters);
//   2. the back buffer, of window size: the video surface stretched into it
//      with cairo, then the on-screen display drawn on top (motion regions,
//      regions in alarm, the local rectangle, "REC" and "ALARM");
//   3. the window: the back buffer and a source rectangle (whole, local
//      rectangle or electronic zoom) handed to the window host by reference
//      (WindowHost::PresentShared), without a copy.
//
// Fewer copies per picture: when the picture has the window's size, the
// video surface is 32-bit and there are no marks to draw, the picture is
// converted straight into the back buffer (the video surface is filled from
// it only if a refresh needs it); the on-screen display is drawn only when
// there are marks. Back buffers are a small pool: a buffer the host still
// holds is never drawn into, and when the host holds all of them the picture
// is dropped (counted), never torn.
//
// Surface decisions follow the window host's primary pixel format and
// capability flags (qrplat::SurfaceCaps):
//   - YV12 video surface (type 1) when the client record's stream option is
//     not 1, the host offers FourCC surfaces and video memory;
//   - else a plain surface in the primary's layout (types 2..5);
//   - else, when the plain surface cannot be made, the YV12 surface if the
//     host offers FourCC and video memory; otherwise creation fails.
// Back buffer: a 32-bit cairo image surface (CAIRO_FORMAT_RGB24), presented
// as 32-bit whatever the primary's format (hosts accept any format). Only the
// 32-bit video surface is stretched from directly; the YV12 surface and the
// 24-bit, 5-6-5 and 5-5-5 surfaces are widened to 32 bits into a staging
// surface first. (cairo has no 24-bit or 5-5-5 format, and its bilinear
// stretch from or into 5-6-5 is ten to twenty times slower than widening and
// stretching 32-bit pixels.)
//
// Threads: DrawPicture runs on the display thread; Refresh, SetWindow and
// Restore come from API callers. All of them serialise on the renderer lock;
// the window host's PresentShared is called under it (hosts keep the
// reference or copy, and return).
#pragma once

#include <cairo.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "media/pixel_convert.h"
#include "qrplat/window.h"

namespace quornet {

class CClientSession;
class IClock;

// Pixel types of the primary surface and the video surface.
enum SurfaceType : int32_t {
  kSurfaceOther = 0,
  kSurfaceYv12 = 1,
  kSurfaceRgb32 = 2,
  kSurfaceRgb24 = 3,
  kSurfaceRgb565 = 4,  // red mask 0xF800
  kSurfaceRgb555 = 5,  // red mask 0x7C00
};

// Motion regions and cover rectangles are given in this frame.
constexpr int32_t kReferenceWidth = 704;
constexpr int32_t kReferenceHeight = 576;
// A region in alarm stays red this long after its last motion report (ms).
constexpr int32_t kRegionAlarmHoldMs = 3000;
// Largest surface side accepted (pictures and windows).
constexpr int32_t kMaxSurfaceSide = 16384;
// Electronic zoom levels 0..38 (per cent cut from each side).
constexpr int32_t kMaxZoomLevel = 38;

// Milliseconds spent in each stage of the last DrawPicture.
struct DrawTimings {
  double convert_ms = 0;  // video surface fill
  double stretch_ms = 0;  // video surface to back buffer (with widening)
  double osd_ms = 0;      // on-screen display
  double present_ms = 0;  // hand-over to the window host
};

class CRenderer {
 public:
  // session: the session whose settings and motion state are drawn (outlives
  // the renderer); clock: ticks for the alarm hold (outlives the renderer).
  CRenderer(CClientSession* session, IClock* clock);
  virtual ~CRenderer();
  CRenderer(const CRenderer&) = delete;
  CRenderer& operator=(const CRenderer&) = delete;

  // Converts one picture into the video surface and presents it. Does
  // nothing when the window is 0, unknown or hidden. Surfaces are created on
  // first use and re-created when the window, its size or pixel format, or
  // the picture size changed. A window resize makes this present fail once
  // (the next picture re-creates the surfaces). True when presented.
  bool DrawPicture(uint32_t window, const YuvPlanes& picture);

  // Presents the last picture again with a fresh on-screen display. When the
  // window size changed, the back buffer is re-created (the video surface
  // stays) and the present is tried once more. 0 when there are no surfaces
  // yet, else 1.
  int32_t Refresh();

  // Hands a new window over; the next picture re-creates the surfaces.
  void SetWindow(uint32_t window);

  // Memory surfaces are never lost; a change of the window's pixel format
  // (the display mode) re-creates every surface here.
  void Restore();

  struct State {
    bool ready = false;
    uint32_t window = 0;
    int32_t primary_type = kSurfaceOther;
    int32_t video_type = kSurfaceOther;  // 0 while there is no video surface
    qrplat::PixelFormat back_format = qrplat::PixelFormat::Rgb32;
    qrplat::Rect dest;              // (0, 0, window width, window height)
    qrplat::Rect source;            // (0, 0, picture width, picture height)
    uint32_t creations = 0;         // surface creations that succeeded
    uint64_t dropped_presents = 0;  // pictures dropped: the host held every back buffer
    bool last_direct = false;       // the last picture went straight into a back buffer
  };
  State GetState() const;
  DrawTimings LastTimings() const;

  // Back buffers at most; when the host holds all of them a picture is
  // dropped.
  static constexpr int kBackBuffers = 3;

  // Converting straight into the back buffer (on by default). Off, every
  // picture takes the three stages; tests compare the two paths.
  void SetDirectConversion(bool enabled);

 protected:
  // Whether a plain (RGB) video surface of this type may be made. Tests
  // override it to exercise the YV12 fallback; the real renderer always can.
  virtual bool PlainSurfaceAvailable(int32_t type) const;

 private:
  enum class PresentResult { kOk, kFailed, kResized, kDropped };
  struct BackBuffer;

  struct VideoSurface {
    int32_t type = kSurfaceOther;
    int32_t width = 0, height = 0;
    cairo_surface_t* cairo = nullptr;  // type 2
    std::vector<uint8_t> bytes;        // types 1, 3, 4 and 5
    uint8_t* data = nullptr;
    ptrdiff_t pitch = 0;  // bytes per row (Y rows for YV12)
  };

  bool CreateSurfacesLocked(uint32_t window, int32_t width, int32_t height, bool with_video);
  bool CreateVideoSurfaceLocked(int32_t type, int32_t width, int32_t height);
  void ReleaseVideoLocked();
  void ReleaseBackLocked();
  std::shared_ptr<BackBuffer> CreateBackLocked() const;
  std::shared_ptr<BackBuffer> AcquireBackLocked();
  void FillVideoLocked(const YuvPlanes& picture, bool flip);
  void FillVideoFromLastBackLocked();
  // direct: the picture to convert straight into the back buffer, or null to
  // stretch the video surface.
  PresentResult PresentLocked(DrawTimings* timings, const YuvPlanes* direct, bool flip);
  bool StretchLocked(cairo_surface_t* back);
  bool HasMarksLocked() const;
  void DrawOsdLocked(cairo_t* cr, int32_t w, int32_t h);
  qrplat::Rect SourceRectLocked(int32_t w, int32_t h) const;

  CClientSession* const session_;
  IClock* const clock_;

  mutable std::mutex mutex_;
  // Everything below is guarded by mutex_.
  bool ready_ = false;
  uint32_t window_ = 0;
  int32_t picture_w_ = 0, picture_h_ = 0;
  int32_t primary_type_ = kSurfaceOther;
  qrplat::PixelFormat primary_format_ = qrplat::PixelFormat::Rgb32;
  qrplat::PixelFormat back_format_ = qrplat::PixelFormat::Rgb32;
  qrplat::Rect dest_;
  qrplat::Rect source_;
  // Window-size back buffers (at most kBackBuffers), all of the size of dest_;
  // empty while there are no surfaces.
  std::vector<std::shared_ptr<BackBuffer>> back_pool_;
  std::shared_ptr<BackBuffer> last_back_;  // the buffer presented last
  cairo_surface_t* staging_ = nullptr;     // 32-bit picture-size, for types 1, 3, 4, 5
  VideoSurface video_;
  bool video_stale_ = false;  // the last picture skipped the video surface
  bool direct_enabled_ = true;
  bool last_direct_ = false;
  uint32_t creations_ = 0;
  uint64_t dropped_presents_ = 0;
  DrawTimings timings_;
};

}  // namespace quornet
