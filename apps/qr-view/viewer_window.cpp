#include "viewer_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QToolBar>
#include <QVBoxLayout>

#include "quorvex/quorvex.h"
#include "quorvex/quorvex_ctrl.h"

namespace qrview {

ViewerWindow::ViewerWindow(QWidget* parent)
    : QWidget(parent),
      tools_(new QToolBar(this)),
      control_(quorvex::CreateControl(quorvex::kProgIdControl, this)),
      live_(std::make_unique<LiveView>(control_)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(tools_);
  layout->addWidget(control_, 1);

  record_ = tools_->addAction(tr("Record"));
  record_->setCheckable(true);
  connect(record_, &QAction::toggled, this, &ViewerWindow::OnRecord);
  tools_->addAction(tr("Snapshot"), this, &ViewerWindow::OnSnapshot);
  tools_->addSeparator();
  tools_->addAction(tr("Settings..."), this, [this] { live_->ConfigDialog(); });
  tools_->addAction(tr("Replay..."), this, [this] { live_->ReplayDialog(); });
  tools_->addSeparator();
  status_ = new QLabel(tools_);
  tools_->addWidget(status_);
}

ViewerWindow::~ViewerWindow() {
  live_->Stop();
  live_.reset();  // unadvised before the control goes with the children
}

quorpane::QrVideoWidget* ViewerWindow::video() const {
  return control_;
}

void ViewerWindow::setToolBarVisible(bool visible) {
  tools_->setVisible(visible);
}

void ViewerWindow::OnRecord(bool on) {
  if (!on) {
    live_->StopRecord();
    status_->setText(tr("recording stopped"));
    return;
  }
  if (live_->StartRecord()) {
    status_->setText(tr("recording"));
  } else {
    status_->setText(tr("cannot record"));
    const QSignalBlocker block(record_);
    record_->setChecked(false);
  }
}

void ViewerWindow::OnSnapshot() {
  status_->setText(live_->Snapshot() ? tr("snapshot saved") : tr("no snapshot"));
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
  live_->Stop();
  QWidget::closeEvent(event);
}

}  // namespace qrview
