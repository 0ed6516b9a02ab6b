// The renderer against memory windows: surface choices from the host's pixel
// format and capability flags, conversion and stretch results, the
// on-screen display pixels, the presented source rectangles and surface
// re-creation on window changes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "control/session_fields.h"
#include "display_test_util.h"
#include "media/display_seams.h"
#include "media/renderer.h"
#include "qrplat/memory_window.h"
#include "quornet.h"
#include "session/client_session.h"

namespace quornet {
namespace {

using qrplat::PixelFormat;
using qrplat::Rect;
using test::FakeClock;

constexpr uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kWhite = 0xFFFFFF;

// A 4:2:0 picture with its own planes.
struct Picture {
  Picture(int w, int h, uint8_t y, uint8_t u, uint8_t v)
      : width(w),
        height(h),
        ys(size_t(w) * h, y),
        us(size_t((w + 1) / 2) * ((h + 1) / 2), u),
        vs(us.size(), v) {}
  YuvPlanes Planes() const {
    YuvPlanes p;
    p.y = ys.data();
    p.u = us.data();
    p.v = vs.data();
    p.y_stride = width;
    p.uv_stride = (width + 1) / 2;
    p.width = width;
    p.height = height;
    return p;
  }
  int width, height;
  std::vector<uint8_t> ys, us, vs;
};

uint32_t Reference(uint8_t y, uint8_t u, uint8_t v) {
  Picture p(2, 2, y, u, v);
  uint32_t out[4];
  EXPECT_TRUE(
      ConvertYuv420(p.Planes(), reinterpret_cast<uint8_t*>(out), 8, PixelLayout::kRgb32, false));
  return out[0] & 0xFFFFFF;
}

// Luma 235 with neutral chroma: 0xFEFEFE through the converters.
uint32_t PictureWhite() {
  return Reference(235, 128, 128);
}

bool Near(uint32_t a, uint32_t b, int tolerance) {
  for (int shift = 0; shift < 24; shift += 8) {
    if (std::abs(int((a >> shift) & 255) - int((b >> shift) & 255)) > tolerance) return false;
  }
  return true;
}

class NoPlainSurfaceRenderer : public CRenderer {
 public:
  using CRenderer::CRenderer;

 protected:
  bool PlainSurfaceAvailable(int32_t) const override { return false; }
};

class RendererTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = std::make_shared<qrplat::MemoryWindowHost>(352, 288);
    window_ = qrplat::RegisterWindow(host_);
    Init(1);
  }
  void TearDown() override {
    renderer_.reset();
    qrplat::UnregisterWindow(window_);
  }
  void Init(uint8_t stream_option) {
    QRNET_ClientParam p{};
    p.view_flag = 1;
    p.video_window = window_;
    p.stream_option = stream_option;
    session_.InitLive(p);
    renderer_ = std::make_unique<CRenderer>(&session_, &clock_);
  }
  bool Draw(const Picture& p) { return renderer_->DrawPicture(window_, p.Planes()); }
  bool DrawBlack() { return Draw(black_); }
  // Whether any pixel of the last image in [x0, x1) x [y0, y1) has `colour`.
  bool Any(uint32_t colour, int x0 = 0, int y0 = 0, int x1 = -1, int y1 = -1) {
    qrplat::Image img = host_->LastImage();
    if (x1 < 0) x1 = img.width;
    if (y1 < 0) y1 = img.height;
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x)
        if (img.At(x, y) == colour) return true;
    return false;
  }

  FakeClock clock_;
  std::shared_ptr<qrplat::MemoryWindowHost> host_;
  uint32_t window_ = 0;
  CClientSession session_;
  std::unique_ptr<CRenderer> renderer_;
  Picture black_{176, 144, 16, 128, 128};
};

TEST_F(RendererTest, VideoSurfaceTypeFollowsHostFormatCapsAndStreamOption) {
  struct Case {
    PixelFormat format;
    qrplat::SurfaceCaps caps;
    uint8_t stream_option;
    int32_t video_type;
    PixelFormat presented;
  };
  const qrplat::SurfaceCaps all{true, true, true}, no_fourcc{true, true, false},
      no_vram{false, true, true};
  const Case cases[] = {
      {PixelFormat::Rgb32, all, 1, kSurfaceRgb32, PixelFormat::Rgb32},
      {PixelFormat::Rgb24, all, 1, kSurfaceRgb24, PixelFormat::Rgb32},
      {PixelFormat::Rgb565, all, 1, kSurfaceRgb565, PixelFormat::Rgb32},
      {PixelFormat::Rgb555, all, 1, kSurfaceRgb555, PixelFormat::Rgb32},
      {PixelFormat::Rgb32, all, 0, kSurfaceYv12, PixelFormat::Rgb32},
      {PixelFormat::Rgb565, all, 0, kSurfaceYv12, PixelFormat::Rgb32},
      {PixelFormat::Rgb24, no_fourcc, 0, kSurfaceRgb24, PixelFormat::Rgb32},
      {PixelFormat::Rgb555, no_vram, 0, kSurfaceRgb555, PixelFormat::Rgb32},
  };
  const Picture red(100, 60, 81, 90, 240);
  const uint32_t expect = Reference(81, 90, 240);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "format " << int(c.format) << " option " << int(c.stream_option) << " fourcc "
                 << c.caps.fourcc << " vram " << c.caps.video_memory);
    host_->SetPrimaryFormat(c.format);
    host_->SetCaps(c.caps);
    Init(c.stream_option);
    ASSERT_TRUE(Draw(red));
    const CRenderer::State s = renderer_->GetState();
    EXPECT_EQ(s.video_type, c.video_type);
    EXPECT_EQ(s.primary_type, int32_t(c.format) + 2);
    EXPECT_EQ(host_->LastFormat(), c.presented);
    const int tolerance = c.video_type == kSurfaceRgb555 || c.video_type == kSurfaceRgb565 ? 8 : 1;
    EXPECT_TRUE(Near(host_->LastImage().At(176, 144), expect, tolerance))
        << std::hex << host_->LastImage().At(176, 144) << " vs " << expect;
  }
}

TEST_F(RendererTest, PlainSurfaceFailureFallsBackToYv12OnlyWithFourccAndVideoMemory) {
  renderer_ = std::make_unique<NoPlainSurfaceRenderer>(&session_, &clock_);
  ASSERT_TRUE(DrawBlack());
  EXPECT_EQ(renderer_->GetState().video_type, kSurfaceYv12);

  host_->SetCaps({false, true, true});
  renderer_ = std::make_unique<NoPlainSurfaceRenderer>(&session_, &clock_);
  const uint64_t presents = host_->PresentCount();
  EXPECT_FALSE(DrawBlack());
  EXPECT_EQ(host_->PresentCount(), presents);
  EXPECT_EQ(renderer_->GetState().video_type, kSurfaceOther);
  EXPECT_EQ(renderer_->Refresh(), 0);
}

TEST_F(RendererTest, VerticalFlipTakesRowsBottomUpOnEveryPath) {
  Picture split(64, 48, 235, 128, 128);
  std::fill(split.ys.begin() + split.ys.size() / 2, split.ys.end(), 16);  // bottom half black
  for (uint8_t option : {1, 0}) {                                         // RGB surface, then YV12
    Init(option);
    session_.vertical_flip.store(0);
    ASSERT_TRUE(Draw(split));
    EXPECT_EQ(host_->LastImage().At(100, 10), PictureWhite());
    EXPECT_NE(host_->LastImage().At(100, 278), PictureWhite());
    session_.vertical_flip.store(1);
    ASSERT_TRUE(Draw(split));
    EXPECT_NE(host_->LastImage().At(100, 10), PictureWhite());
    EXPECT_EQ(host_->LastImage().At(100, 278), PictureWhite());
  }
}

TEST_F(RendererTest, StretchesOddSizedPicturesToTheWindow) {
  const Picture odd(175, 143, 235, 128, 128);
  ASSERT_TRUE(Draw(odd));
  const qrplat::Image img = host_->LastImage();
  EXPECT_EQ(img.width, 352);
  EXPECT_EQ(img.height, 288);
  EXPECT_EQ(img.At(0, 0), PictureWhite());
  EXPECT_EQ(img.At(351, 287), PictureWhite());
  EXPECT_EQ(renderer_->GetState().source, (Rect{0, 0, 175, 143}));
}

TEST_F(RendererTest, PictureOfTheWindowSizeIsCopiedPixelForPixel) {
  // Left half white, right half black, one picture row per window row.
  Picture half(352, 288, 235, 128, 128);
  for (int y = 0; y < 288; ++y) std::fill_n(half.ys.begin() + y * 352 + 176, 176, 16);
  for (uint8_t option : {1, 0}) {  // RGB surface, then YV12 through the staging surface
    Init(option);
    ASSERT_TRUE(Draw(half));
    const qrplat::Image img = host_->LastImage();
    ASSERT_EQ(img.width, 352);
    EXPECT_EQ(img.At(175, 0), PictureWhite());
    EXPECT_NE(img.At(176, 0), PictureWhite());
    EXPECT_EQ(img.At(175, 287), PictureWhite());
    EXPECT_NE(img.At(351, 287), PictureWhite());
  }
}

TEST_F(RendererTest, MotionRegionsAreFramedAtTheirScaledRectangles) {
  MotionRegionRecord record{};
  record.rect[0] = {100, 100, 300, 200};  // window: (50, 50) - (150, 100)
  StoreMotionRegions(session_, record);
  session_.md_region_mode.store(1);
  ASSERT_TRUE(DrawBlack());
  const qrplat::Image img = host_->LastImage();
  EXPECT_EQ(img.At(100, 50), kWhite);  // top edge
  EXPECT_EQ(img.At(100, 99), kWhite);  // bottom edge
  EXPECT_EQ(img.At(50, 90), kWhite);   // left edge
  EXPECT_EQ(img.At(149, 90), kWhite);  // right edge
  EXPECT_NE(img.At(100, 49), kWhite);  // outside
  EXPECT_NE(img.At(150, 90), kWhite);
  EXPECT_NE(img.At(120, 90), kWhite);          // inside
  EXPECT_TRUE(Any(0x000000, 55, 55, 75, 75));  // the index "0" on its white cell
  EXPECT_TRUE(Any(kWhite, 55, 55, 75, 75));

  // Mode 0 draws no regions.
  session_.md_region_mode.store(0);
  ASSERT_TRUE(DrawBlack());
  EXPECT_FALSE(Any(kWhite));
}

TEST_F(RendererTest, RegionInAlarmIsRedForThreeSecondsAfterItsReport) {
  MotionRect rects[16] = {};
  rects[3] = {400, 300, 600, 500};  // window: (200, 150) - (300, 250)
  const uint32_t t = 50000;
  StoreMotionReport(session_, 1u << 3, rects, t);
  session_.md_region_mode.store(2);

  clock_.Set(t + 2999);
  ASSERT_TRUE(DrawBlack());
  EXPECT_EQ(host_->LastImage().At(250, 249), kRed);
  EXPECT_EQ(host_->LastImage().At(200, 200), kRed);

  clock_.Set(t + 3000);
  ASSERT_TRUE(DrawBlack());
  EXPECT_FALSE(Any(kRed));
  // Cleared: it stays off even if the clock were read as early again.
  clock_.Set(t + 10);
  ASSERT_TRUE(DrawBlack());
  EXPECT_FALSE(Any(kRed));

  // A newer report lights it again.
  StoreMotionReport(session_, 1u << 3, rects, t + 5000);
  clock_.Set(t + 5100);
  ASSERT_TRUE(DrawBlack());
  EXPECT_EQ(host_->LastImage().At(250, 249), kRed);

  // With all regions shown too, an expired region is framed white.
  session_.md_region_mode.store(3);
  clock_.Set(t + 9000);
  ASSERT_TRUE(DrawBlack());
  EXPECT_FALSE(Any(kRed));
  EXPECT_EQ(host_->LastImage().At(250, 249), kWhite);
}

TEST_F(RendererTest, HostileRegionValuesAreDrawnSafely) {
  MotionRegionRecord record{};
  record.rect[1] = {INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX};
  record.rect[2] = {600, 500, 100, 100};  // inverted: nothing
  StoreMotionRegions(session_, record);
  session_.md_region_mode.store(3);
  EXPECT_TRUE(DrawBlack());
}

TEST_F(RendererTest, LocalRectangleFrameAndSourceRectangle) {
  auto set_local = [&](int x, int y, int w, int h) {
    session_.local_rect[0].store(x);
    session_.local_rect[1].store(y);
    session_.local_rect[2].store(w);
    session_.local_rect[3].store(h);
  };
  set_local(100, 50, 0, 80);  // zero width: no frame, no local zoom
  session_.show_local_rect.store(1);
  ASSERT_TRUE(DrawBlack());
  EXPECT_FALSE(Any(kGreen));
  EXPECT_EQ(host_->LastSource(), (Rect{0, 0, 352, 288}));

  set_local(20, 30, 60, 40);
  session_.show_local_rect.store(0);
  ASSERT_TRUE(DrawBlack());
  qrplat::Image img = host_->LastImage();
  EXPECT_EQ(img.At(20, 30), kGreen);
  EXPECT_EQ(img.At(79, 69), kGreen);
  EXPECT_NE(img.At(80, 70), kGreen);
  EXPECT_EQ(host_->LastSource(), (Rect{0, 0, 352, 288}));

  session_.show_local_rect.store(1);
  ASSERT_TRUE(DrawBlack());
  EXPECT_EQ(host_->LastSource(), (Rect{21, 31, 79, 69}));
  // Inside the green frame only.
  EXPECT_FALSE(Any(kGreen));

  // Partly outside the window: clipped to the back buffer.
  set_local(300, 250, 100, 100);
  ASSERT_TRUE(DrawBlack());
  EXPECT_EQ(host_->LastSource(), (Rect{301, 251, 352, 288}));

  // The local rectangle wins over the electronic zoom.
  session_.ezoom_active.store(1);
  session_.ezoom_level.store(10);
  ASSERT_TRUE(DrawBlack());
  EXPECT_EQ(host_->LastSource(), (Rect{301, 251, 352, 288}));
}

TEST_F(RendererTest, ElectronicZoomCutsLevelPercentFromEachSide) {
  session_.ezoom_active.store(1);
  session_.ezoom_level.store(10);
  ASSERT_TRUE(DrawBlack());
  EXPECT_EQ(host_->LastSource(), (Rect{35, 28, 317, 260}));
  session_.ezoom_level.store(38);
  ASSERT_TRUE(DrawBlack());
  EXPECT_EQ(host_->LastSource(), (Rect{133, 109, 219, 179}));
  session_.ezoom_active.store(0);
  ASSERT_TRUE(DrawBlack());
  EXPECT_EQ(host_->LastSource(), (Rect{0, 0, 352, 288}));
}

TEST_F(RendererTest, RecordingAndAlarmOutputMarks) {
  ASSERT_TRUE(DrawBlack());
  EXPECT_FALSE(Any(kRed));
  SessionFlagProbe old_rec = RegisterRecordingProbe([](const CClientSession&) { return true; });
  ASSERT_TRUE(DrawBlack());
  EXPECT_TRUE(Any(kRed, 352 - 35, 0, 352, 20));  // "REC"
  EXPECT_FALSE(Any(kRed, 352 - 95, 0, 352 - 40, 20));
  SessionFlagProbe old_alarm = RegisterAlarmOutProbe([](const CClientSession&) { return true; });
  ASSERT_TRUE(DrawBlack());
  EXPECT_TRUE(Any(kRed, 352 - 95, 0, 352 - 40, 20));  // "ALARM"
  EXPECT_FALSE(Any(kRed, 0, 25, 352, 288));
  RegisterRecordingProbe(old_rec);
  RegisterAlarmOutProbe(old_alarm);
}

TEST_F(RendererTest, ResizeFailsOnePresentThenRecreatesAtTheNewSize) {
  ASSERT_TRUE(DrawBlack());
  const uint32_t creations = renderer_->GetState().creations;
  const uint64_t presents = host_->PresentCount();

  host_->SetClientSize(400, 300);
  EXPECT_FALSE(DrawBlack());
  EXPECT_EQ(host_->PresentCount(), presents);
  EXPECT_FALSE(renderer_->GetState().ready);

  ASSERT_TRUE(DrawBlack());
  EXPECT_EQ(renderer_->GetState().creations, creations + 1);
  EXPECT_EQ(renderer_->GetState().dest, (Rect{0, 0, 400, 300}));
  EXPECT_EQ(host_->LastImage().width, 400);
}

TEST_F(RendererTest, RefreshPresentsAgainAndFollowsAResize) {
  EXPECT_EQ(renderer_->Refresh(), 0);  // no surfaces yet
  ASSERT_TRUE(Draw(Picture(176, 144, 235, 128, 128)));
  const uint64_t presents = host_->PresentCount();
  EXPECT_EQ(renderer_->Refresh(), 1);
  EXPECT_EQ(host_->PresentCount(), presents + 1);
  EXPECT_EQ(host_->LastImage().At(10, 10), PictureWhite());

  // The video surface stays: the last picture reappears at the new size.
  host_->SetClientSize(200, 100);
  EXPECT_EQ(renderer_->Refresh(), 1);
  EXPECT_EQ(host_->PresentCount(), presents + 2);
  EXPECT_EQ(host_->LastImage().width, 200);
  EXPECT_EQ(host_->LastImage().At(199, 99), PictureWhite());
}

TEST_F(RendererTest, HiddenUnknownOrNewWindow) {
  host_->SetVisible(false);
  EXPECT_FALSE(DrawBlack());
  EXPECT_EQ(host_->PresentCount(), 0u);
  host_->SetVisible(true);
  EXPECT_FALSE(renderer_->DrawPicture(0, black_.Planes()));
  EXPECT_FALSE(renderer_->DrawPicture(0xFFFFFF, black_.Planes()));
  ASSERT_TRUE(DrawBlack());

  auto other = std::make_shared<qrplat::MemoryWindowHost>(64, 64, PixelFormat::Rgb565);
  const uint32_t other_id = qrplat::RegisterWindow(other);
  renderer_->SetWindow(other_id);
  EXPECT_FALSE(renderer_->GetState().ready);
  ASSERT_TRUE(renderer_->DrawPicture(other_id, black_.Planes()));
  EXPECT_EQ(other->PresentCount(), 1u);
  EXPECT_EQ(other->LastFormat(), PixelFormat::Rgb32);  // the back buffer is always 32-bit
  EXPECT_EQ(renderer_->GetState().video_type, kSurfaceRgb565);

  // A pixel-format change of the window (display mode) re-creates everything.
  other->SetPrimaryFormat(PixelFormat::Rgb32);
  ASSERT_TRUE(renderer_->DrawPicture(other_id, black_.Planes()));
  EXPECT_EQ(renderer_->GetState().video_type, kSurfaceRgb32);
  EXPECT_EQ(other->LastFormat(), PixelFormat::Rgb32);
  qrplat::UnregisterWindow(other_id);
}

// A window host that paints from the renderer's buffers instead of copying
// them, and keeps up to `hold` of them: each one with a copy of its pixels
// taken when it arrived, to check later that nobody wrote them meanwhile.
class HoldingHost : public qrplat::MemoryWindowHost {
 public:
  HoldingHost(int32_t w, int32_t h, size_t hold) : MemoryWindowHost(w, h), hold_(hold) {}

  void PresentShared(std::shared_ptr<const qrplat::SharedImage> image,
                     const Rect& source) override {
    Held h;
    h.image = image;
    const size_t row = size_t(image->width) * 4;
    for (int32_t y = 0; y < image->height; ++y) {
      const uint8_t* p = image->pixels + ptrdiff_t(y) * image->stride;
      h.copy.insert(h.copy.end(), p, p + row);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      held_.push_back(std::move(h));
      if (held_.size() > hold_) held_.erase(held_.begin());
    }
    // The last picture stays readable through the memory host.
    Present(image->pixels, image->width, image->height, image->stride, image->format, source);
  }
  // Buffers held whose pixels changed after they were presented.
  int Overwritten() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const Held& h : held_) {
      const size_t row = size_t(h.image->width) * 4;
      for (int32_t y = 0; y < h.image->height; ++y) {
        if (std::memcmp(h.image->pixels + ptrdiff_t(y) * h.image->stride, h.copy.data() + y * row,
                        row) != 0) {
          ++n;
          break;
        }
      }
    }
    return n;
  }
  size_t HeldCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_.size();
  }
  void SetHold(size_t hold) {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = hold;
    while (held_.size() > hold_) held_.erase(held_.begin());
  }

 private:
  struct Held {
    std::shared_ptr<const qrplat::SharedImage> image;
    std::vector<uint8_t> copy;
  };
  mutable std::mutex mutex_;
  size_t hold_;
  std::vector<HoldingHost::Held> held_;
};

class SharedPresentTest : public ::testing::Test {
 protected:
  void Start(int32_t w, int32_t h, size_t hold) {
    host_ = std::make_shared<HoldingHost>(w, h, hold);
    window_ = qrplat::RegisterWindow(host_);
    QRNET_ClientParam p{};
    p.view_flag = 1;
    p.video_window = window_;
    p.stream_option = 1;
    session_.InitLive(p);
    renderer_ = std::make_unique<CRenderer>(&session_, &clock_);
  }
  void TearDown() override {
    renderer_.reset();
    if (window_ != 0) qrplat::UnregisterWindow(window_);
  }
  // Pictures that differ from each other everywhere.
  static Picture Numbered(int w, int h, int n) {
    return Picture(w, h, uint8_t(16 + (n * 37) % 200), uint8_t(64 + n % 128), 128);
  }

  FakeClock clock_;
  std::shared_ptr<HoldingHost> host_;
  uint32_t window_ = 0;
  CClientSession session_;
  std::unique_ptr<CRenderer> renderer_;
};

TEST_F(SharedPresentTest, BuffersTheHostHoldsAreNeverDrawnInto) {
  // Same size (straight conversion) and scaled (three stages), with marks
  // switched on half-way.
  for (const auto& size : {std::pair{176, 144}, std::pair{352, 288}}) {
    Start(size.first, size.second, CRenderer::kBackBuffers - 1);
    for (int n = 0; n < 40; ++n) {
      if (n == 20) session_.local_rect[2] = 50, session_.local_rect[3] = 40;
      ASSERT_TRUE(renderer_->DrawPicture(window_, Numbered(176, 144, n).Planes())) << n;
      ASSERT_EQ(host_->Overwritten(), 0) << "picture " << n;
    }
    EXPECT_EQ(host_->HeldCount(), size_t(CRenderer::kBackBuffers - 1));
    EXPECT_EQ(renderer_->GetState().dropped_presents, 0u);
    session_.local_rect[2] = 0;
    session_.local_rect[3] = 0;
    TearDown();
    window_ = 0;
  }
}

TEST_F(SharedPresentTest, HostHoldingEveryBufferMakesPicturesDropNotTear) {
  Start(176, 144, 100);
  for (int n = 0; n < CRenderer::kBackBuffers; ++n) {
    ASSERT_TRUE(renderer_->DrawPicture(window_, Numbered(176, 144, n).Planes()));
  }
  for (int n = 0; n < 5; ++n) {
    EXPECT_FALSE(renderer_->DrawPicture(window_, Numbered(176, 144, 10 + n).Planes()));
  }
  EXPECT_EQ(renderer_->GetState().dropped_presents, 5u);
  EXPECT_EQ(host_->Overwritten(), 0);
  EXPECT_EQ(renderer_->Refresh(), 1);  // nothing to draw into: dropped as well
  EXPECT_EQ(host_->Overwritten(), 0);
  // The host lets go: pictures flow again.
  host_->SetHold(1);
  EXPECT_TRUE(renderer_->DrawPicture(window_, Numbered(176, 144, 20).Planes()));
  EXPECT_EQ(host_->LastImage().At(5, 5), Reference(uint8_t(16 + (20 * 37) % 200), 64 + 20, 128));
}

TEST_F(SharedPresentTest, StraightConversionGivesTheThreeStagesPictureAndRefreshKeepsIt) {
  Start(176, 144, 1);
  Picture p(176, 144, 16, 128, 128);
  for (size_t i = 0; i < p.ys.size(); ++i) p.ys[i] = uint8_t(16 + (i * 7 + i / 176) % 220);
  for (size_t i = 0; i < p.us.size(); ++i) p.us[i] = uint8_t(40 + (i * 13) % 180);
  for (size_t i = 0; i < p.vs.size(); ++i) p.vs[i] = uint8_t(30 + (i * 5) % 200);
  for (int flip = 0; flip < 2; ++flip) {
    session_.vertical_flip = flip;
    renderer_->SetDirectConversion(false);
    ASSERT_TRUE(renderer_->DrawPicture(window_, p.Planes()));
    EXPECT_FALSE(renderer_->GetState().last_direct);
    const qrplat::Image staged = host_->LastImage();
    renderer_->SetDirectConversion(true);
    ASSERT_TRUE(renderer_->DrawPicture(window_, p.Planes()));
    EXPECT_TRUE(renderer_->GetState().last_direct);
    const qrplat::Image direct = host_->LastImage();
    EXPECT_TRUE(staged.pixels == direct.pixels) << "flip " << flip;
    // A refresh after straight conversion (with a mark now, so it takes the
    // three stages from the video surface) shows the same picture.
    session_.local_rect[2] = 20;
    session_.local_rect[3] = 20;
    ASSERT_EQ(renderer_->Refresh(), 1);
    const qrplat::Image refreshed = host_->LastImage();
    EXPECT_EQ(refreshed.At(100, 100), direct.At(100, 100));
    EXPECT_EQ(refreshed.At(170, 140), direct.At(170, 140));
    EXPECT_EQ(refreshed.At(0, 0), kGreen);  // the local rectangle's frame
    session_.local_rect[2] = 0;
    session_.local_rect[3] = 0;
  }
}

TEST_F(SharedPresentTest, WindowResizesWhilePicturesArePresented) {
  Start(176, 144, 2);
  std::atomic<bool> stop{false};
  std::thread resizer([&] {
    for (int i = 0; !stop; ++i) {
      host_->SetClientSize(100 + (i % 7) * 40, 80 + (i % 5) * 30);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  int presented = 0;
  for (int n = 0; n < 300; ++n) {
    presented += renderer_->DrawPicture(window_, Numbered(176, 144, n).Planes());
    if (n % 10 == 0) renderer_->Refresh();
    ASSERT_EQ(host_->Overwritten(), 0);
  }
  stop = true;
  resizer.join();
  EXPECT_GT(presented, 0);
  host_->SetClientSize(176, 144);
  renderer_->DrawPicture(window_, Numbered(176, 144, 1).Planes());
  ASSERT_TRUE(renderer_->DrawPicture(window_, Numbered(176, 144, 1).Planes()));
  EXPECT_EQ(host_->LastImage().width, 176);
}

}  // namespace
}  // namespace quornet
