#include "viewer_window.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QVBoxLayout>

#include "quorpane/video_widget.h"

namespace qrview {

ViewerWindow::ViewerWindow(QWidget* parent)
    : QWidget(parent), video_(new quorpane::QrVideoWidget(this)), live_(video_) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(video_);
  connect(&live_, &LiveView::linkStateReported, this, &ViewerWindow::ShowLinkState);
  connect(&live_, &LiveView::unsupportedVideoReported, this, [this](const QString& codec) {
    unsupported_text_ = UnsupportedVideoText(codec);
    if (live_.linkState() == 0 || live_.linkState() == 1) video_->setOverlayText(unsupported_text_);
  });
  ShowLinkState(live_.linkState());
}

ViewerWindow::~ViewerWindow() {
  live_.Stop();
}

void ViewerWindow::ShowLinkState(int state) {
  // Reports above 5 (refused credentials, channel-server failures) leave the
  // text as it is.
  if (state < 0 || state > 5) return;
  // While the stream runs, a video we cannot decode stays named.
  if (state == 0 && !unsupported_text_.isEmpty()) {
    video_->setOverlayText(unsupported_text_);
    return;
  }
  video_->setOverlayText(LinkStateText(state));
}

void ViewerWindow::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) {
    QWidget::mouseDoubleClickEvent(event);
    return;
  }
  setWindowState(windowState() ^ Qt::WindowFullScreen);
}

void ViewerWindow::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && isFullScreen()) {
    setWindowState(windowState() & ~Qt::WindowFullScreen);
    return;
  }
  QWidget::keyPressEvent(event);
}

void ViewerWindow::closeEvent(QCloseEvent* event) {
  // The library must stop drawing before the window goes away.
  live_.Stop();
  QWidget::closeEvent(event);
}

}  // namespace qrview
