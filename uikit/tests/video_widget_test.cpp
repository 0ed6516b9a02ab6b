// The Qt window host adapter: registration and geometry, message delivery
// from worker threads, presenting from worker threads while the GUI thread
// paints, and a host that outlives its widget.
#include "quorpane/video_widget.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <QPixmap>
#include <atomic>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "qt_test_util.h"

namespace quorpane {
namespace {

using testing::App;
using testing::PumpUntil;

// A 32-bit B,G,R,X picture filled with one colour, X left at 0 as the
// library's buffers may leave it.
struct Picture {
  int32_t width, height, stride;
  std::vector<uint8_t> bytes;
  Picture(int32_t w, int32_t h, uint32_t rgb) : width(w), height(h), stride(w * 4 + 16) {
    bytes.assign(size_t(stride) * size_t(h), 0);
    Fill(rgb);
  }
  void Fill(uint32_t rgb) {
    for (int32_t y = 0; y < height; ++y) {
      for (int32_t x = 0; x < width; ++x) {
        uint8_t* p = &bytes[size_t(y) * size_t(stride) + size_t(x) * 4];
        p[0] = uint8_t(rgb);
        p[1] = uint8_t(rgb >> 8);
        p[2] = uint8_t(rgb >> 16);
        p[3] = 0;
      }
    }
  }
  void Present(qrplat::WindowHost& host, const qrplat::Rect& source) const {
    host.Present(bytes.data(), width, height, stride, qrplat::PixelFormat::Rgb32, source);
  }
  void Present(qrplat::WindowHost& host) const { Present(host, {0, 0, width, height}); }
};

// True when every pixel of the image has the colour of its first pixel.
bool Uniform(const QImage& image) {
  const QImage img = image.convertToFormat(QImage::Format_RGB32);
  const QRgb first = img.pixel(0, 0);
  for (int y = 0; y < img.height(); ++y) {
    const QRgb* row = reinterpret_cast<const QRgb*>(img.constScanLine(y));
    for (int x = 0; x < img.width(); ++x) {
      if (row[x] != first) return false;
    }
  }
  return true;
}

TEST(VideoWidget, RegistersAndReportsGeometry) {
  App();
  uint32_t id = 0;
  std::shared_ptr<qrplat::WindowHost> held;
  {
    QrVideoWidget widget;
    id = widget.hostId();
    ASSERT_NE(id, 0u);
    held = qrplat::FindWindow(id);
    ASSERT_TRUE(held);
    EXPECT_FALSE(held->IsVisible());
    EXPECT_EQ(held->PrimaryFormat(), qrplat::PixelFormat::Rgb32);
    EXPECT_FALSE(held->Caps().fourcc);

    widget.resize(320, 200);
    widget.show();
    ASSERT_TRUE(PumpUntil([&] { return held->IsVisible(); }));
    EXPECT_EQ(held->ClientSize(), (qrplat::Size{320, 200}));
    EXPECT_EQ(held->ScreenRect().Width(), 320);
    EXPECT_EQ(held->ScreenRect().Height(), 200);

    widget.resize(640, 360);
    EXPECT_EQ(held->ClientSize(), (qrplat::Size{640, 360}));
    widget.hide();
    EXPECT_FALSE(held->IsVisible());

    // A second widget gets its own id.
    QrVideoWidget other;
    EXPECT_NE(other.hostId(), id);
  }
  // Gone from the registry; the held host refuses messages and drops frames.
  EXPECT_FALSE(qrplat::FindWindow(id));
  EXPECT_FALSE(qrplat::PostMessageTo(id, 1124, 1, 0));
  EXPECT_FALSE(held->PostMessage(1124, 1, 0));
  EXPECT_FALSE(held->IsVisible());
  Picture(16, 16, 0x123456).Present(*held);
  QCoreApplication::sendPostedEvents();
}

TEST(VideoWidget, MessagesFromManyThreadsArriveInOrderPerSender) {
  App();
  QrVideoWidget widget;
  const uint32_t id = widget.hostId();
  constexpr int kThreads = 8;
  constexpr int kPerThread = 2000;

  std::map<uint32_t, std::vector<int32_t>> received;  // sender -> values
  std::vector<uint32_t> numbers;
  QObject::connect(&widget, &QrVideoWidget::windowMessage, &widget,
                   [&](uint msg, uint wparam, int lparam) {
                     numbers.push_back(msg);
                     received[wparam].push_back(lparam);
                   });

  std::atomic<int> refused{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        // Half through the registry, half on the host as a worker holding it.
        const bool ok = (i % 2 == 0)
                            ? qrplat::PostMessageTo(id, 1124 + t % 2, uint32_t(t), i)
                            : qrplat::FindWindow(id)->PostMessage(1124 + t % 2, uint32_t(t), i);
        if (!ok) ++refused;
      }
    });
  }
  // The GUI thread keeps dispatching while the senders run.
  ASSERT_TRUE(PumpUntil([&] { return numbers.size() == size_t(kThreads * kPerThread); }));
  for (auto& s : senders) s.join();
  QCoreApplication::processEvents();

  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(numbers.size(), size_t(kThreads * kPerThread));
  ASSERT_EQ(received.size(), size_t(kThreads));
  for (const auto& [sender, values] : received) {
    ASSERT_EQ(values.size(), size_t(kPerThread)) << "sender " << sender;
    for (int i = 0; i < kPerThread; ++i) {
      ASSERT_EQ(values[size_t(i)], i) << "sender " << sender;
    }
  }
}

TEST(VideoWidget, PresentCopiesTheSourceRectangleAndConvertsFormats) {
  App();
  QrVideoWidget widget;
  auto host = qrplat::FindWindow(widget.hostId());
  widget.resize(100, 80);
  widget.show();

  // 32-bit: only the source rectangle, clipped to the picture, opaque.
  Picture pic(64, 48, 0x000000);
  for (int32_t y = 10; y < 20; ++y) {
    uint8_t* p = &pic.bytes[size_t(y) * size_t(pic.stride) + 30 * 4];
    p[0] = 0x33;  // B
    p[1] = 0x22;  // G
    p[2] = 0x11;  // R
  }
  pic.Present(*host, {30, 10, 200, 20});
  QImage frame = widget.lastFrame();
  ASSERT_EQ(frame.size(), QSize(34, 10));
  EXPECT_EQ(frame.pixel(0, 0), qRgb(0x11, 0x22, 0x33));
  EXPECT_EQ(frame.pixel(1, 9), qRgb(0, 0, 0));
  EXPECT_EQ(qAlpha(frame.pixel(1, 9)), 255);

  // Empty and inverted rectangles and null pixels are ignored.
  const uint64_t before = widget.presentCount();
  pic.Present(*host, {10, 10, 10, 20});
  pic.Present(*host, {70, 0, 80, 10});
  host->Present(nullptr, 64, 48, pic.stride, qrplat::PixelFormat::Rgb32, {0, 0, 64, 48});
  EXPECT_EQ(widget.presentCount(), before);

  // 16-bit 5-6-5 and 5-5-5, and 24-bit B,G,R.
  const uint16_t w565[2] = {0xF800, 0x07E0};  // red, green
  host->Present(reinterpret_cast<const uint8_t*>(w565), 2, 1, 4, qrplat::PixelFormat::Rgb565,
                {0, 0, 2, 1});
  frame = widget.lastFrame();
  EXPECT_EQ(frame.pixel(0, 0), qRgb(255, 0, 0));
  EXPECT_EQ(frame.pixel(1, 0), qRgb(0, 255, 0));
  const uint16_t w555[1] = {0x001F};  // blue
  host->Present(reinterpret_cast<const uint8_t*>(w555), 1, 1, 2, qrplat::PixelFormat::Rgb555,
                {0, 0, 1, 1});
  EXPECT_EQ(widget.lastFrame().pixel(0, 0), qRgb(0, 0, 255));
  const uint8_t bgr[3] = {1, 2, 3};
  host->Present(bgr, 1, 1, 3, qrplat::PixelFormat::Rgb24, {0, 0, 1, 1});
  EXPECT_EQ(widget.lastFrame().pixel(0, 0), qRgb(3, 2, 1));

  // The newest picture is painted scaled to the widget, with the overlay on
  // top of it.
  Picture(10, 10, 0x0000FF).Present(*host);
  EXPECT_EQ(widget.presentCount(), before + 4);
  QImage shot = widget.grab().toImage();
  ASSERT_EQ(shot.size(), QSize(100, 80));
  EXPECT_TRUE(Uniform(shot));
  EXPECT_EQ(QColor(shot.pixel(50, 40)), QColor(0, 0, 255));
  widget.setOverlayText("Connecting...");
  shot = widget.grab().toImage();
  EXPECT_FALSE(Uniform(shot));
  EXPECT_EQ(QColor(shot.pixel(2, 2)), QColor(0, 0, 255));
}

// A picture shared by reference, with a flag that tells whether the host
// still holds it.
struct SharedPicture {
  Picture picture;
  std::shared_ptr<std::atomic<bool>> held = std::make_shared<std::atomic<bool>>(false);
  // Opaque, as the library's renderer writes its buffers.
  SharedPicture(int32_t w, int32_t h, uint32_t rgb) : picture(w, h, rgb) { Opaque(); }
  void Opaque() {
    for (size_t i = 3; i < picture.bytes.size(); i += 4) picture.bytes[i] = 0xFF;
  }
  void Present(qrplat::WindowHost& host, const qrplat::Rect& source) {
    auto image = std::make_shared<qrplat::SharedImage>();
    image->pixels = picture.bytes.data();
    image->width = picture.width;
    image->height = picture.height;
    image->stride = picture.stride;
    held->store(true);
    host.PresentShared(
        std::shared_ptr<const qrplat::SharedImage>(
            image.get(), [image, flag = held](const qrplat::SharedImage*) { flag->store(false); }),
        source);
  }
};

TEST(VideoWidget, SharedPicturesArePaintedFromTheBufferAndGivenBack) {
  App();
  QrVideoWidget widget;
  auto host = qrplat::FindWindow(widget.hostId());
  widget.resize(64, 48);
  widget.show();

  SharedPicture first(64, 48, 0x112233), second(64, 48, 0x0000FF);
  first.Present(*host, {0, 0, 64, 48});
  EXPECT_TRUE(first.held->load());  // kept while it is the picture shown
  QImage shot = widget.grab().toImage();
  EXPECT_TRUE(Uniform(shot));
  EXPECT_EQ(QColor(shot.pixel(10, 10)), QColor(0x11, 0x22, 0x33));
  // Painted from the buffer itself: what is in it now is what shows.
  first.picture.Fill(0x445566);
  first.Opaque();
  shot = widget.grab().toImage();
  EXPECT_EQ(QColor(shot.pixel(10, 10)), QColor(0x44, 0x55, 0x66));
  EXPECT_EQ(widget.lastFrame().pixel(0, 0), qRgb(0x44, 0x55, 0x66));

  // The next picture (a source rectangle, scaled up) takes its place and the
  // first one goes back.
  second.picture.Fill(0x000000);
  second.Opaque();
  for (int32_t y = 0; y < 24; ++y)
    for (int32_t x = 32; x < 64; ++x)
      second.picture.bytes[size_t(y) * second.picture.stride + x * 4] = 0xFF;
  second.Present(*host, {32, 0, 64, 24});
  EXPECT_FALSE(first.held->load());
  EXPECT_TRUE(second.held->load());
  shot = widget.grab().toImage();
  ASSERT_EQ(shot.size(), QSize(64, 48));
  EXPECT_TRUE(Uniform(shot));
  EXPECT_EQ(QColor(shot.pixel(60, 40)), QColor(0, 0, 255));
  EXPECT_EQ(widget.lastFrame().size(), QSize(32, 24));

  // A copied present replaces the shared one and gives it back too.
  Picture(8, 8, 0x00FF00).Present(*host);
  EXPECT_FALSE(second.held->load());
  EXPECT_EQ(widget.lastFrame().pixel(0, 0), qRgb(0, 255, 0));

  // Clearing the picture gives a shared one back and empties the area.
  first.Present(*host, {0, 0, 64, 48});
  EXPECT_TRUE(first.held->load());
  widget.clearPicture();
  EXPECT_FALSE(first.held->load());
  EXPECT_TRUE(widget.lastFrame().isNull());
}

TEST(VideoWidget, PaintsWholePicturesWhileAWorkerPresents) {
  App();
  QrVideoWidget widget;
  widget.resize(160, 120);
  widget.show();
  QImage empty = widget.grab().toImage();
  EXPECT_EQ(QColor(empty.pixel(5, 5)), QColor(10, 10, 10));

  uint64_t signalled = 0;
  QObject::connect(&widget, &QrVideoWidget::framesPresented, &widget,
                   [&](quint64 count) { signalled = count; });

  constexpr int kFrames = 400;
  std::atomic<bool> done{false};
  std::thread worker([&, host = qrplat::FindWindow(widget.hostId())] {
    Picture pic(160, 120, 0);
    for (int i = 1; i <= kFrames; ++i) {
      // A colour per picture, so a mix of two pictures shows as non-uniform.
      pic.Fill(uint32_t(i * 0x010307) & 0xFFFFFF);
      pic.Present(*host);
    }
    done = true;
  });
  int grabs = 0;
  while (!done.load() || grabs < 5) {
    const QImage shot = widget.grab().toImage();
    ASSERT_TRUE(Uniform(shot)) << "torn picture at grab " << grabs;
    const QImage frame = widget.lastFrame();
    if (!frame.isNull()) {
      ASSERT_TRUE(Uniform(frame));
    }
    QCoreApplication::processEvents();
    ++grabs;
  }
  worker.join();
  ASSERT_TRUE(PumpUntil([&] { return signalled == kFrames; }));
  EXPECT_EQ(widget.presentCount(), uint64_t(kFrames));
  EXPECT_EQ(widget.lastFrame().pixel(0, 0), 0xFF000000u | ((kFrames * 0x010307u) & 0xFFFFFF));
}

TEST(VideoWidget, LateWorkersAfterTheWidgetIsGoneAreHarmless) {
  App();
  auto widget = std::make_unique<QrVideoWidget>();
  widget->resize(64, 64);
  widget->show();
  const uint32_t id = widget->hostId();

  std::atomic<bool> stop{false};
  std::atomic<int> presents{0}, posts{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 3; ++t) {
    workers.emplace_back([&, t] {
      // Like the library's display thread: look the window up per picture,
      // keep the reference for the call.
      Picture pic(64, 64, 0x808080);
      while (!stop.load()) {
        if (auto host = qrplat::FindWindow(id)) {
          pic.Present(*host);
          ++presents;
        }
        if (qrplat::PostMessageTo(id, 1124, uint32_t(t), 0)) ++posts;
      }
    });
  }
  ASSERT_TRUE(PumpUntil([&] { return presents.load() > 50 && posts.load() > 50; }));
  widget.reset();  // unregisters while the workers run
  // Messages still queued for the destroyed widget are discarded by Qt.
  QCoreApplication::processEvents();
  stop = true;
  for (auto& w : workers) w.join();
  QCoreApplication::processEvents();
  EXPECT_FALSE(qrplat::FindWindow(id));
}

}  // namespace
}  // namespace quorpane
