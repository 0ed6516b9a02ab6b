// The Qt window host adapter.
#include "quorpane/video_widget.h"

#include <QCoreApplication>
#include <QFont>
#include <QMoveEvent>
#include <QPainter>
#include <algorithm>
#include <cstring>
#include <mutex>

// Events cross from worker threads to the GUI thread through Qt's posted
// event queue, whose lock lives in Qt's own (uninstrumented) code. Under
// ThreadSanitizer the hand-over is declared explicitly: released by the
// posting thread, acquired by the GUI thread before the event is read or
// destroyed.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#define QR_HANDOVER_RELEASE(p) __tsan_release(p)
#define QR_HANDOVER_ACQUIRE(p) __tsan_acquire(p)
#else
#define QR_HANDOVER_RELEASE(p) ((void)(p))
#define QR_HANDOVER_ACQUIRE(p) ((void)(p))
#endif

namespace quorpane {

namespace {

// Asks the GUI thread to repaint with the newest picture.
class FramesReadyEvent : public QEvent {
 public:
  static inline const QEvent::Type kType = static_cast<QEvent::Type>(QEvent::registerEventType());
  FramesReadyEvent() : QEvent(kType) {}
  ~FramesReadyEvent() override { QR_HANDOVER_ACQUIRE(this); }
};

// Posts an event built on this (worker) thread to `receiver`.
void PostAcross(QObject* receiver, QEvent* event) {
  QR_HANDOVER_RELEASE(event);
  QCoreApplication::postEvent(receiver, event);
}

// Background of the video area before the first picture (a near-black grey,
// so an empty pane is told apart from a black picture).
const QColor kBackground(10, 10, 10);

// 5- and 6-bit channels widened to 8 bits by replicating the high bits, so
// that full scale maps to 255.
inline uint32_t Expand5(uint32_t v) {
  return (v << 3) | (v >> 2);
}
inline uint32_t Expand6(uint32_t v) {
  return (v << 2) | (v >> 4);
}

// Copies `count` pixels of `format` to 0xFFRRGGBB words. The alpha byte is
// forced opaque: QImage::Format_RGB32 requires it, and the library's 32-bit
// buffers leave it undefined.
void ConvertRow(const uint8_t* src, qrplat::PixelFormat format, int32_t count, uint32_t* dst) {
  switch (format) {
    case qrplat::PixelFormat::Rgb32:
      for (int32_t i = 0; i < count; ++i, src += 4) {
        uint32_t v;
        std::memcpy(&v, src, 4);  // B,G,R,X in memory: 0xXXRRGGBB on little-endian
        dst[i] = v | 0xFF000000u;
      }
      break;
    case qrplat::PixelFormat::Rgb24:
      for (int32_t i = 0; i < count; ++i, src += 3) {
        dst[i] = 0xFF000000u | (uint32_t(src[2]) << 16) | (uint32_t(src[1]) << 8) | src[0];
      }
      break;
    case qrplat::PixelFormat::Rgb565:
      for (int32_t i = 0; i < count; ++i, src += 2) {
        const uint32_t w = uint32_t(src[0]) | (uint32_t(src[1]) << 8);
        dst[i] = 0xFF000000u | (Expand5(w >> 11) << 16) | (Expand6((w >> 5) & 0x3F) << 8) |
                 Expand5(w & 0x1F);
      }
      break;
    case qrplat::PixelFormat::Rgb555:
      for (int32_t i = 0; i < count; ++i, src += 2) {
        const uint32_t w = uint32_t(src[0]) | (uint32_t(src[1]) << 8);
        dst[i] = 0xFF000000u | (Expand5((w >> 10) & 0x1F) << 16) | (Expand5((w >> 5) & 0x1F) << 8) |
                 Expand5(w & 0x1F);
      }
      break;
  }
}

}  // namespace

const QEvent::Type WindowMessageEvent::kType =
    static_cast<QEvent::Type>(QEvent::registerEventType());

WindowMessageEvent::~WindowMessageEvent() {
  QR_HANDOVER_ACQUIRE(this);
}

// The registered host. Worker threads call the WindowHost members; the widget
// (GUI thread) publishes its geometry and detaches in its destructor.
//
// Locks: present_mutex_ serialises copying presents (it guards the spare
// image that the next picture is copied into, outside mutex_); mutex_ guards
// everything the GUI thread reads, including the picture presented by
// reference. Order: present_mutex_, then mutex_. Qt's posting lock
// is taken inside mutex_ and never the other way round.
class VideoWindowHost : public qrplat::WindowHost {
 public:
  explicit VideoWindowHost(QrVideoWidget* widget) : widget_(widget) {}

  // GUI thread.
  void Detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    widget_ = nullptr;
  }
  void SetGeometry(qrplat::Size size, bool visible, qrplat::Rect screen) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_ = size;
    visible_ = visible;
    screen_ = screen;
  }
  void SetCaps(qrplat::SurfaceCaps caps) {
    std::lock_guard<std::mutex> lock(mutex_);
    caps_ = caps;
  }
  // The repaint request reached the GUI thread: the next present may post
  // another one.
  void RepaintRequestTaken() {
    std::lock_guard<std::mutex> lock(mutex_);
    repaint_requested_ = false;
  }

  // Any thread. A deep copy: an image shared between threads would be
  // synchronised only by QImage's reference count, and the buffer behind
  // frame_ is written again two presents later.
  QImage Frame() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (shared_) {
      const qrplat::Rect& r = shared_source_;
      QImage copy(r.Width(), r.Height(), QImage::Format_RGB32);
      if (copy.isNull()) return copy;
      for (int32_t y = 0; y < r.Height(); ++y) {
        ConvertRow(shared_->pixels + ptrdiff_t(r.top + y) * shared_->stride + ptrdiff_t(r.left) * 4,
                   qrplat::PixelFormat::Rgb32, r.Width(),
                   reinterpret_cast<uint32_t*>(copy.scanLine(y)));
      }
      return copy;
    }
    return frame_.copy();
  }

  // GUI thread: the picture to paint. A picture presented by reference is
  // wrapped, not copied; `keep` holds it for as long as `image` is used.
  struct View {
    std::shared_ptr<const qrplat::SharedImage> keep;
    QImage image;
  };
  View Current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    View v;
    if (shared_) {
      const qrplat::Rect& r = shared_source_;
      v.keep = shared_;
      v.image = QImage(shared_->pixels + ptrdiff_t(r.top) * shared_->stride + ptrdiff_t(r.left) * 4,
                       r.Width(), r.Height(), shared_->stride, QImage::Format_RGB32);
    } else {
      v.image = frame_.copy();
    }
    return v;
  }
  uint64_t Presents() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return presents_;
  }
  void ClearFrame() {
    std::lock_guard<std::mutex> lock(mutex_);
    frame_ = QImage();
  }

  qrplat::Size ClientSize() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return size_;
  }
  bool IsVisible() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return visible_ && widget_ != nullptr;
  }
  qrplat::Rect ScreenRect() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return screen_;
  }
  qrplat::PixelFormat PrimaryFormat() const override { return qrplat::PixelFormat::Rgb32; }
  qrplat::SurfaceCaps Caps() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return caps_;
  }

  bool PostMessage(uint32_t msg, uint32_t wparam, int32_t lparam) override {
    // Posting under mutex_ keeps the widget alive for the call: the widget
    // detaches under the same lock before it is destroyed, and Qt discards
    // events still queued for a destroyed object.
    std::lock_guard<std::mutex> lock(mutex_);
    if (widget_ == nullptr) return false;
    PostAcross(widget_, new WindowMessageEvent(msg, wparam, lparam));
    return true;
  }

  void Present(const uint8_t* pixels, int32_t width, int32_t height, int32_t stride,
               qrplat::PixelFormat format, const qrplat::Rect& source) override {
    const int32_t left = std::max(source.left, 0);
    const int32_t top = std::max(source.top, 0);
    const int32_t right = std::min(source.right, width);
    const int32_t bottom = std::min(source.bottom, height);
    if (pixels == nullptr || right <= left || bottom <= top) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (widget_ == nullptr) return;
    }

    std::lock_guard<std::mutex> present_lock(present_mutex_);
    const int32_t w = right - left, h = bottom - top;
    // The spare is the picture before the newest one; nobody else holds it.
    if (spare_.width() != w || spare_.height() != h) {
      spare_ = QImage(w, h, QImage::Format_RGB32);
      if (spare_.isNull()) return;  // out of memory: drop the picture
    }
    const int bpp = qrplat::BytesPerPixel(format);
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* row = pixels + ptrdiff_t(top + y) * stride + ptrdiff_t(left) * bpp;
      ConvertRow(row, format, w, reinterpret_cast<uint32_t*>(spare_.scanLine(y)));
    }

    std::lock_guard<std::mutex> lock(mutex_);
    if (widget_ == nullptr) return;  // detached while copying
    frame_.swap(spare_);
    shared_.reset();
    PresentedLocked();
  }

  // 32-bit pictures are painted from the renderer's buffer: the host keeps
  // the newest one and gives the one before back.
  void PresentShared(std::shared_ptr<const qrplat::SharedImage> image,
                     const qrplat::Rect& source) override {
    if (!image || image->pixels == nullptr || image->format != qrplat::PixelFormat::Rgb32) {
      if (image) WindowHost::PresentShared(std::move(image), source);
      return;
    }
    const qrplat::Rect clipped{std::max(source.left, 0), std::max(source.top, 0),
                               std::min(source.right, image->width),
                               std::min(source.bottom, image->height)};
    if (clipped.right <= clipped.left || clipped.bottom <= clipped.top) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (widget_ == nullptr) return;
    shared_ = std::move(image);
    shared_source_ = clipped;
    PresentedLocked();
  }

 private:
  void PresentedLocked() {
    ++presents_;
    if (!repaint_requested_) {
      // One request in flight at a time: a GUI thread that falls behind
      // paints the newest picture once instead of a backlog.
      repaint_requested_ = true;
      PostAcross(widget_, new FramesReadyEvent);
    }
  }

  mutable std::mutex mutex_;
  QrVideoWidget* widget_;                         // guarded by mutex_; null once detached
  qrplat::Size size_;                             // guarded by mutex_
  bool visible_ = false;                          // guarded by mutex_
  qrplat::Rect screen_;                           // guarded by mutex_
  qrplat::SurfaceCaps caps_{false, true, false};  // guarded by mutex_
  QImage frame_;                                  // guarded by mutex_: the newest copied picture
  // guarded by mutex_: the newest picture presented by reference (then
  // frame_ is stale), and the part of it to show.
  std::shared_ptr<const qrplat::SharedImage> shared_;
  qrplat::Rect shared_source_;
  uint64_t presents_ = 0;           // guarded by mutex_
  bool repaint_requested_ = false;  // guarded by mutex_

  std::mutex present_mutex_;
  QImage spare_;  // guarded by present_mutex_: the next picture is copied here
};

QrVideoWidget::QrVideoWidget(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  host_ = std::make_shared<VideoWindowHost>(this);
  PublishGeometry();
  id_ = qrplat::RegisterWindow(host_);
}

QrVideoWidget::~QrVideoWidget() {
  qrplat::UnregisterWindow(id_);
  host_->Detach();
}

QImage QrVideoWidget::lastFrame() const {
  return host_->Frame();
}

uint64_t QrVideoWidget::presentCount() const {
  return host_->Presents();
}

void QrVideoWidget::clearPicture() {
  host_->ClearFrame();
  update();
}

void QrVideoWidget::setOverlayText(const QString& text) {
  if (text == overlay_) return;
  overlay_ = text;
  update();
}

void QrVideoWidget::setSurfaceCaps(qrplat::SurfaceCaps caps) {
  host_->SetCaps(caps);
}

void QrVideoWidget::PublishGeometry() {
  if (!host_) return;
  const QPoint origin = mapToGlobal(QPoint(0, 0));
  const qrplat::Rect screen{origin.x(), origin.y(), origin.x() + width(), origin.y() + height()};
  host_->SetGeometry({width(), height()}, isVisible(), screen);
}

bool QrVideoWidget::event(QEvent* event) {
  QR_HANDOVER_ACQUIRE(event);
  if (event->type() == WindowMessageEvent::kType) {
    auto* m = static_cast<WindowMessageEvent*>(event);
    emit windowMessage(m->msg(), m->wparam(), m->lparam());
    return true;
  }
  if (event->type() == FramesReadyEvent::kType) {
    host_->RepaintRequestTaken();
    update();
    emit framesPresented(host_->Presents());
    return true;
  }
  return QWidget::event(event);
}

void QrVideoWidget::paintEvent(QPaintEvent*) {
  const VideoWindowHost::View view = host_->Current();
  const QImage& frame = view.image;
  QPainter painter(this);
  if (frame.isNull()) {
    painter.fillRect(rect(), kBackground);
  } else if (frame.size() == size()) {
    painter.drawImage(0, 0, frame);
  } else {
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(rect(), frame);
  }
  if (!overlay_.isEmpty()) {
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(20);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, overlay_);
  }
}

void QrVideoWidget::resizeEvent(QResizeEvent* event) {
  PublishGeometry();
  QWidget::resizeEvent(event);
}

void QrVideoWidget::moveEvent(QMoveEvent* event) {
  PublishGeometry();
  QWidget::moveEvent(event);
}

bool QrVideoWidget::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window() && (event->type() == QEvent::Move || event->type() == QEvent::Resize)) {
    PublishGeometry();
  }
  return QWidget::eventFilter(watched, event);
}

void QrVideoWidget::showEvent(QShowEvent* event) {
  // The screen position also changes when the top-level window moves.
  if (window() != this) window()->installEventFilter(this);
  PublishGeometry();
  QWidget::showEvent(event);
}

void QrVideoWidget::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  PublishGeometry();
}

}  // namespace quorpane
