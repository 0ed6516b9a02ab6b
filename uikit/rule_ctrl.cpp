// The tick ruler.
#include "quorpane/rule_ctrl.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <algorithm>
#include <cstdlib>

#include "quorpane/window_message.h"

namespace quorpane {

namespace {

const QColor kGrey(127, 127, 127);
const QColor kWhite(255, 255, 255);

}  // namespace

CRuleCtrl::CRuleCtrl(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void CRuleCtrl::setRange(int minimum, int maximum) {
  minimum_ = minimum;
  maximum_ = maximum;
  update();
}

void CRuleCtrl::setPosition(int tick) {
  position_ = tick;
  update();
}

void CRuleCtrl::setHalfTickLabels(bool on) {
  half_tick_labels_ = on;
  update();
}

void CRuleCtrl::setLabelStyle(int style) {
  label_style_ = style;
  update();
}

void CRuleCtrl::setFontSize(int tenths) {
  font_size_ = tenths;
  update();
}

// step = (width - marker width) / span in whole pixels; a ruler without span
// or narrower than its marker has all its ticks at the origin.
int CRuleCtrl::tickStep() const {
  const int s = span();
  if (s == 0) return 0;
  const int room = width() - marker_width_;
  return room > 0 ? room / s : 0;
}

int CRuleCtrl::tickOrigin() const {
  return (width() - tickStep() * span()) / 2;
}

int CRuleCtrl::tickX(int tick) const {
  return tickOrigin() + tick * tickStep();
}

QRect CRuleCtrl::markerRect() const {
  const int left = position_ * tickStep() + tickOrigin() - marker_width_ / 2;
  const int right = position_ * tickStep() + marker_width_ / 2 + tickOrigin();
  const int top = height() / 2 + 2;
  return QRect(QPoint(left, top), QPoint(right - 1, top + marker_height_ - 1));
}

bool CRuleCtrl::IsLongTick(int tick) const {
  return !half_tick_labels_ || tick % 2 == 0;
}

QString CRuleCtrl::labelText(int tick) const {
  if (tick < 0 || tick > span() || !IsLongTick(tick)) return QString();
  const int v = half_tick_labels_ ? tick / 2 : tick;
  if (label_style_ != 1) return QString::number(v);
  const int n = span() / 2;
  // Powers of two beyond 2^30 do not fit; such rulers are not meaningful.
  const int e = std::min(std::abs(v - n), 30);
  if (v == n) return QStringLiteral("1");
  if (v < n) return QStringLiteral("1/%1").arg(1 << e);
  return QString::number(1 << e);
}

void CRuleCtrl::paintEvent(QPaintEvent*) {
  // Drawn into a memory picture and copied in one transfer.
  QPixmap buffer(size() * devicePixelRatioF());
  buffer.setDevicePixelRatio(devicePixelRatioF());
  {
    QPainter p(&buffer);
    const int h = height();
    p.fillRect(rect(), palette().color(QPalette::Button));

    const int step = tickStep();
    const int origin = tickOrigin();
    const int s = span();

    // Sunken track: grey above and left, white below and right.
    const int track_top = h / 2 + 2;
    const int track_left = origin - 1;
    const int track_right = origin + step * s + 1;
    p.setPen(kGrey);
    p.drawLine(track_left, track_top, track_right, track_top);
    p.drawLine(track_left, track_top, track_left, track_top + marker_height_ - 1);
    p.setPen(kWhite);
    p.drawLine(track_left, track_top + marker_height_ - 1, track_right,
               track_top + marker_height_ - 1);
    p.drawLine(track_right, track_top, track_right, track_top + marker_height_ - 1);

    QFont font = this->font();
    font.setPointSizeF(font_size_ / 10.0);
    p.setFont(font);
    p.setPen(kGrey);
    const int long_top = h / 4;
    const int short_top = 3 * h / 8;
    const int tick_bottom = h - h / 2;
    for (int i = 0; i <= s; ++i) {
      const int x = origin + i * step;
      p.drawLine(x, IsLongTick(i) ? long_top : short_top, x, tick_bottom);
      const QString label = labelText(i);
      if (!label.isEmpty()) {
        // Centred on its tick, moved inwards where it would be cut at an end.
        const int text_width = p.fontMetrics().horizontalAdvance(label) + 2;
        QRect box(x - text_width / 2, 0, text_width, long_top);
        if (box.left() < 0) box.moveLeft(0);
        if (box.right() >= width()) box.moveRight(width() - 1);
        p.drawText(box, Qt::AlignHCenter | Qt::AlignBottom, label);
      }
    }

    // The marker: widens by two pixels per line, pointing up at its tick.
    const QRect m = markerRect();
    const int left = m.left();
    const int right = m.right() + 1;
    p.setPen(palette().color(QPalette::WindowText));
    for (int k = 0; k < marker_height_; ++k) {
      const int x0 = (right - left - 2 * k - 1) / 2 + left;
      const int x1 = (right + 2 * k - left + 1) / 2 + left;
      p.drawLine(x0, m.top() + k, x1 - 1, m.top() + k);
    }
  }
  QPainter(this).drawPixmap(0, 0, buffer);
}

void CRuleCtrl::TrackMouse(int x) {
  const int step = tickStep();
  for (int i = 0; i <= span(); ++i) {
    if (std::abs(x - tickX(i)) <= step / 2 && i != position_) {
      PostWindowMessage(parentWidget(), kMsgRulerTick, uint32_t(i), 0);
      emit windowMessage(kMsgRulerTick, uint(i), 0);
    }
  }
}

void CRuleCtrl::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  capturing_ = true;  // Qt grabs the mouse for the pressed widget
  TrackMouse(event->position().toPoint().x());
}

void CRuleCtrl::mouseMoveEvent(QMouseEvent* event) {
  if (capturing_) TrackMouse(event->position().toPoint().x());
}

void CRuleCtrl::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) capturing_ = false;
}

}  // namespace quorpane
