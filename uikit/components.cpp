// The component wrappers, the cover window and the full-screen window.
#include "quorpane/components.h"

#include <QCursor>
#include <QDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>

#include "quornet.h"
#include "quorpane/dialog_config.h"
#include "quorpane/replay_dialog.h"
#include "quorpane/video_widget.h"
#include "quorpane/window_message.h"

namespace quorpane {

// One cover rectangle. Edge codes: 0 left, 1 right, 2 top, 3 bottom,
// 4 top-left, 5 bottom-left, 6 top-right, 7 bottom-right; -1 none. A point
// within 3 pixels of the border is on an edge (resize), else inside (move).
class CCoveryWnd : public QWidget {
 public:
  CCoveryWnd() {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
  }

  void SetId(int id) {
    id_ = id;
    update();
  }
  void SetSelected(bool selected) {
    selected_ = selected;
    update();
  }
  void SetReadOnly(bool read_only) { read_only_ = read_only; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QColor grey(127, 127, 127);
    painter.fillRect(rect(), grey);
    painter.setPen(QPen(selected_ ? QColor(255, 0, 0) : grey, 1));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    painter.setPen(QColor(22, 22, 22));
    const QFontMetrics metrics(painter.font());
    painter.drawText(5, 5 + metrics.ascent(), QString::number(id_));
  }

  void mousePressEvent(QMouseEvent* event) override {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    const QPoint p = event->position().toPoint();
    if (!dragging_) {
      dragging_ = true;
      start_ = p;
      const int code = EdgeAt(p);
      if (code < 0) {
        setCursor(Qt::PointingHandCursor);
      } else {
        resizing_ = true;
        edge_ = code;
        setCursor(EdgeCursor(code));
      }
      grabMouse();
    }
    PostWindowMessage(parentWidget(), kMsgCoverSelected, uint32_t(id_), 0);
  }

  void mouseMoveEvent(QMouseEvent* event) override {
    const QPoint p = event->position().toPoint();
    if (!dragging_ || read_only_) {
      const int code = EdgeAt(p);
      setCursor(code < 0 ? Qt::ArrowCursor : EdgeCursor(code));
      return;
    }
    QRect r = geometry();
    if (resizing_) {
      const int dl = p.x(), dr = p.x() - width(), dt = p.y(), db = p.y() - height();
      int left = r.left(), top = r.top(), right = r.left() + r.width(),
          bottom = r.top() + r.height();
      switch (edge_) {
        case 0:
          left += dl;
          break;
        case 1:
          right += dr;
          break;
        case 2:
          top += dt;
          break;
        case 3:
          bottom += db;
          break;
        case 4:
          left += dl, top += dt;
          break;
        case 5:
          left += dl, bottom += db;
          break;
        case 6:
          top += dt, right += dr;
          break;
        case 7:
          right += dr, bottom += db;
          break;
        default:
          return;
      }
      setGeometry(left, top, std::max(right - left, 0), std::max(bottom - top, 0));
    } else {
      const int dx = p.x() - start_.x(), dy = p.y() - start_.y();
      if (dx >= -1 && dx <= 1 && dy >= -1 && dy <= 1) return;
      r.translate(dx, dy);
      setGeometry(r);
    }
    update();
  }

  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() != Qt::LeftButton || !dragging_) return;
    setCursor(Qt::ArrowCursor);
    dragging_ = false;
    resizing_ = false;
    edge_ = -1;
    releaseMouse();
  }

 private:
  // Edge code of a point of the client rectangle; -1 inside the inner one.
  int EdgeAt(QPoint p) const {
    const int w = width(), h = height();
    const bool right = p.x() >= w - 3, left = p.x() < 3;
    const bool below = p.y() >= h - 3, above = p.y() < 3;
    if (right) return below ? 7 : above ? 6 : 1;
    if (left) return below ? 5 : above ? 4 : 0;
    if (below) return 3;
    if (above) return 2;
    return -1;
  }
  static Qt::CursorShape EdgeCursor(int code) {
    switch (code) {
      case 0:
      case 1:
        return Qt::SizeHorCursor;
      case 2:
      case 3:
        return Qt::SizeVerCursor;
      case 4:
      case 7:
        return Qt::SizeFDiagCursor;  // north-west / south-east
      default:
        return Qt::SizeBDiagCursor;  // north-east / south-west
    }
  }

  bool dragging_ = false;
  bool resizing_ = false;
  QPoint start_;
  int id_ = 0;
  bool selected_ = false;
  int edge_ = -1;
  bool read_only_ = true;
};

// ---- CCoverCtrl -----------------------------------------------------------

CCoverCtrl::CCoverCtrl() : object_(std::make_unique<CCoveryWnd>()) {}

CCoverCtrl::~CCoverCtrl() {
  delete window_.data();  // null when never created or already destroyed
}

int CCoverCtrl::Create(QWidget* parent, int) {
  if (parent == nullptr || !object_) return 0;
  CCoveryWnd* w = object_.release();
  w->setParent(parent);
  w->setGeometry(0, 0, 0, 0);
  w->hide();
  window_ = w;
  return 1;
}

QWidget* CCoverCtrl::GetSafeHwnd() const {
  return window_.data();
}

namespace {
template <class F>
void WithCover(const std::unique_ptr<CCoveryWnd>& object, const QPointer<CCoveryWnd>& window, F f) {
  if (object) f(*object);
  if (window) f(*window);
}
}  // namespace

void CCoverCtrl::SetID(int id) {
  WithCover(object_, window_, [id](CCoveryWnd& w) { w.SetId(id); });
}
void CCoverCtrl::Select() {
  WithCover(object_, window_, [](CCoveryWnd& w) { w.SetSelected(true); });
}
void CCoverCtrl::DeSelect() {
  WithCover(object_, window_, [](CCoveryWnd& w) { w.SetSelected(false); });
}
void CCoverCtrl::ReadOnly(int flag) {
  WithCover(object_, window_, [flag](CCoveryWnd& w) { w.SetReadOnly(flag != 0); });
}
void CCoverCtrl::ShowWindow(int command) {
  if (window_) window_->setVisible(command != kSwHide);
}
void CCoverCtrl::MoveWindow(int x, int y, int width, int height, int repaint) {
  if (!window_) return;
  window_->setGeometry(x, y, std::max(width, 0), std::max(height, 0));
  if (repaint) window_->update();
}
void CCoverCtrl::Invalidate(int) {
  if (window_) window_->update();
}

// ---- CConfigCtrl ----------------------------------------------------------

CConfigCtrl::CConfigCtrl(QWidget* parent, long language)
    : parent_(parent), dialog_(std::make_unique<CDialogConfig>(int32_t(language))) {}

CConfigCtrl::~CConfigCtrl() = default;

int CConfigCtrl::Create(QWidget* parent) {
  if (!dialog_ || parent == nullptr) return 0;
  dialog_->setParent(parent, Qt::Widget);
  dialog_->show();
  return 1;
}
void CConfigCtrl::ShowWindow(unsigned command) {
  if (dialog_) dialog_->setVisible(command != unsigned(kSwHide));
}
void CConfigCtrl::SetParam(long handle, int value) {
  if (dialog_) dialog_->SetParam(uint32_t(handle), value);
}
void CConfigCtrl::GetParam(int& value) const {
  if (dialog_) {
    int32_t v = 0;
    dialog_->GetParam(v);
    value = v;
  }
}
int CConfigCtrl::DoModal() {
  return dialog_ ? dialog_->DoModal() : -1;
}

// ---- CReplayCtrl ----------------------------------------------------------

CReplayCtrl::CReplayCtrl(QWidget*, long language)
    : dialog_(std::make_unique<CReplayDlg>(int32_t(language))) {}
CReplayCtrl::~CReplayCtrl() = default;
int CReplayCtrl::DoModal() {
  return dialog_ ? dialog_->DoModal() : -1;
}

// ---- CFullScreenDlg / CFullScreenCtrl ------------------------------------

// Top-most, screen-sized; the client draws into its video pane while it is
// open. A double click detaches the client and closes the window.
class CFullScreenDlg : public QDialog {
 public:
  explicit CFullScreenDlg(uint32_t handle) : handle_(handle) {
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    video_ = new QrVideoWidget(this);
    video_->installEventFilter(this);
    layout->addWidget(video_);
  }

  QrVideoWidget* video() const { return video_; }

 protected:
  void showEvent(QShowEvent* event) override {
    if (!event->spontaneous()) {
      if (QScreen* screen = QGuiApplication::primaryScreen()) setGeometry(screen->geometry());
      QRNET_ClientSetWnd(handle_, video_->hostId());
    }
    QDialog::showEvent(event);
  }
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == video_ && event->type() == QEvent::MouseButtonDblClick) {
      QMetaObject::invokeMethod(this, &QDialog::reject, Qt::QueuedConnection);
      QRNET_ClientSetWnd(handle_, 0);
      return true;
    }
    return QDialog::eventFilter(watched, event);
  }
  void mouseDoubleClickEvent(QMouseEvent*) override {
    QMetaObject::invokeMethod(this, &QDialog::reject, Qt::QueuedConnection);
    QRNET_ClientSetWnd(handle_, 0);
  }
  void done(int result) override {
    // Whatever closes the window, the client must not keep drawing into it.
    QRNET_ClientSetWnd(handle_, 0);
    QDialog::done(result);
  }

 private:
  uint32_t handle_;
  QrVideoWidget* video_;
};

CFullScreenCtrl::CFullScreenCtrl(QWidget*, uint32_t handle)
    : dialog_(std::make_unique<CFullScreenDlg>(handle)) {}
CFullScreenCtrl::~CFullScreenCtrl() = default;
int CFullScreenCtrl::DoModal() {
  return dialog_ ? dialog_->exec() : -1;
}
QWidget* CFullScreenCtrl::GetSafeHwnd() const {
  return dialog_.get();
}

}  // namespace quorpane
