// The hover button and its tooltip.
#include "quorpane/hover_button.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

namespace quorpane {

void CToopTipHelp::setText(const QString& text) {
  if (!has_tool_) {
    has_tool_ = true;
    tool_rect_ = owner_->rect();
  }
  text_ = text;
  active_ = true;
}

bool CToopTipHelp::relayEvent(QEvent* event) {
  if (event->type() != QEvent::ToolTip) return false;
  auto* help = static_cast<QHelpEvent*>(event);
  if (!active_ || !has_tool_ || text_.isEmpty() || !owner_->rect().contains(help->pos())) {
    QToolTip::hideText();
    event->ignore();
    return true;
  }
  QToolTip::showText(help->globalPos(), text_, owner_, owner_->rect());
  return true;
}

CHoverButton::CHoverButton(QWidget* parent) : QAbstractButton(parent), tooltip_(this) {
  setMouseTracking(true);
  // The button paints every pixel itself from the cached background.
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void CHoverButton::setTooltipText(const QString& text) {
  tooltip_.setText(text);
}

void CHoverButton::setButtonIcon(const QIcon& icon) {
  icon_ = icon;
  image_list_ = false;
  update();
}

void CHoverButton::setImageList(const std::array<QPixmap, 4>& images) {
  images_ = images;
  image_list_ = true;
  update();
}

void CHoverButton::setToggled(bool on) {
  toggled_ = on;
  update();
}

int CHoverButton::currentImageIndex() const {
  if (isDown() || toggled_) return 2;
  if (!isEnabled()) return 3;
  if (hovering_) return 1;
  return 0;
}

void CHoverButton::resetBackground() {
  background_ = QPixmap();
  update();
}

QSize CHoverButton::sizeHint() const {
  if (image_list_ && !images_[0].isNull()) return images_[0].deviceIndependentSize().toSize();
  return QSize(36, 36);
}

void CHoverButton::CacheBackground() {
  background_ = QPixmap(size() * devicePixelRatioF());
  background_.setDevicePixelRatio(devicePixelRatioF());
  background_.fill(palette().color(QPalette::Window));
  QWidget* parent = parentWidget();
  if (parent == nullptr) return;
  // Only the parent's own drawing: its children (this button among them) are
  // left out, which also keeps this from painting itself recursively.
  caching_ = true;
  parent->render(&background_, QPoint(), QRegion(geometry()), QWidget::DrawWindowBackground);
  caching_ = false;
}

void CHoverButton::paintEvent(QPaintEvent*) {
  if (caching_) return;
  if (background_.isNull()) CacheBackground();
  QPainter p(this);
  p.drawPixmap(0, 0, background_);
  const bool sunk = isDown() || toggled_;
  if (image_list_) {
    const QPixmap& image = images_[size_t(currentImageIndex())];
    if (!image.isNull()) {
      const QSize s = image.deviceIndependentSize().toSize();
      p.drawPixmap((width() - s.width()) / 2, (height() - s.height()) / 2, image);
    }
    return;
  }
  const int offset = sunk ? 1 : 0;
  const QRect icon_rect((width() - 32) / 2 + offset, (height() - 32) / 2 + offset, 32, 32);
  if (!icon_.isNull()) {
    icon_.paint(&p, icon_rect, Qt::AlignCenter, isEnabled() ? QIcon::Normal : QIcon::Disabled);
  }
  // Frame with a hollow brush.
  p.setBrush(Qt::NoBrush);
  p.setPen(palette().color(hovering_ || sunk ? QPalette::Dark : QPalette::Mid));
  p.drawRect(rect().adjusted(0, 0, -1, -1));
}

bool CHoverButton::event(QEvent* event) {
  // Mouse traffic goes to the tooltip first.
  if (tooltip_.relayEvent(event)) return true;
  return QAbstractButton::event(event);
}

void CHoverButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && toggle_mode_ && isEnabled()) toggled_ = !toggled_;
  QAbstractButton::mousePressEvent(event);
}

void CHoverButton::mouseMoveEvent(QMouseEvent* event) {
  if (!hovering_) {
    hovering_ = true;
    tooltip_.activate(true);
    update();
  }
  QAbstractButton::mouseMoveEvent(event);
}

void CHoverButton::leaveEvent(QEvent* event) {
  hovering_ = false;
  tooltip_.activate(false);
  update();
  QAbstractButton::leaveEvent(event);
}

void CHoverButton::resizeEvent(QResizeEvent* event) {
  background_ = QPixmap();
  QAbstractButton::resizeEvent(event);
}

void CHoverButton::moveEvent(QMoveEvent* event) {
  background_ = QPixmap();
  QAbstractButton::moveEvent(event);
}

}  // namespace quorpane
