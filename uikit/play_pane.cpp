// The progress strip.
#include "quorpane/play_pane.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <algorithm>

#include "quorpane/window_message.h"

namespace quorpane {

namespace {

const QColor kBackground(122, 122, 122);
const QColor kTrack(22, 22, 22);
const QColor kProgress(13, 121, 210);

}  // namespace

CPlayPane::CPlayPane(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMouseTracking(true);
}

void CPlayPane::setTotal(uint32_t seconds) {
  total_ = seconds;
  update();
}

void CPlayPane::setPosition(uint32_t seconds) {
  position_ = seconds;
  update();
}

int CPlayPane::progressWidth() const {
  if (total_ == 0) return 0;
  // 64-bit: width x position overflows 32 bits for long files.
  const int64_t w = int64_t(width()) * int64_t(position_) / int64_t(total_);
  return int(std::min<int64_t>(w, width()));
}

void CPlayPane::paintEvent(QPaintEvent*) {
  QPixmap buffer(size() * devicePixelRatioF());
  buffer.setDevicePixelRatio(devicePixelRatioF());
  {
    QPainter p(&buffer);
    p.fillRect(rect(), kBackground);
    const int band_height = height() - 6;
    if (band_height > 0) {
      p.fillRect(QRect(0, 3, width(), band_height), kTrack);
      const int progress = progressWidth();
      if (progress > 0) p.fillRect(QRect(0, 3, progress, band_height), kProgress);
    }
  }
  QPainter(this).drawPixmap(0, 0, buffer);
}

void CPlayPane::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || width() <= 0) return;
  const double x = event->position().x();
  const double second = double(total_) * x / double(width());
  const uint32_t wparam = second > 0 ? uint32_t(second) : 0;
  PostWindowMessage(parentWidget(), kMsgPlayPaneSeek, wparam, 0);
  emit windowMessage(kMsgPlayPaneSeek, wparam, 0);
}

void CPlayPane::mouseMoveEvent(QMouseEvent*) {
  if (hovering_) return;
  hovering_ = true;
  setCursor(Qt::PointingHandCursor);
}

void CPlayPane::leaveEvent(QEvent*) {
  hovering_ = false;
  setCursor(Qt::ArrowCursor);
}

}  // namespace quorpane
