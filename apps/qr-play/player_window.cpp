#include "player_window.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QVBoxLayout>

#include "quornet.h"
#include "quorpane/video_widget.h"

namespace qrplay {

namespace {

constexpr int32_t kSeekStepS = 5;

QString Clock(int32_t s) {
  return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

QString SpeedText(int32_t exponent) {
  if (exponent >= 0) return QStringLiteral("%1x").arg(1 << exponent);
  return QStringLiteral("1/%1x").arg(1 << -exponent);
}

}  // namespace

PlayerWindow::PlayerWindow(QWidget* parent)
    : QWidget(parent), video_(new quorpane::QrVideoWidget(this)), status_(new QLabel(this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(video_, 1);
  layout->addWidget(status_);
  status_->setContentsMargins(6, 2, 6, 2);
  setFocusPolicy(Qt::StrongFocus);
  connect(&status_timer_, &QTimer::timeout, this, &PlayerWindow::UpdateStatus);
  status_timer_.start(250);
}

PlayerWindow::~PlayerWindow() {
  Close();
}

bool PlayerWindow::Open(const QString& path, int32_t start_s) {
  Close();
  QRNET_Startup(0, 0, nullptr, 0);
  const QByteArray utf8 = path.toUtf8();
  handle_ = QRNET_OpenFile(utf8.constData(), video_->hostId(), start_s);
  paused_ = stepping_ = audio_ = false;
  UpdateStatus();
  return handle_ != 0;
}

void PlayerWindow::Close() {
  if (handle_ == 0) return;
  QRNET_CloseFile(handle_);
  handle_ = 0;
}

QString PlayerWindow::StatusText() const {
  if (handle_ == 0) return QStringLiteral("no file");
  QString state = stepping_ ? QStringLiteral("single step")
                  : paused_ ? QStringLiteral("paused")
                            : QStringLiteral("playing");
  return QStringLiteral("%1 / %2   %3   %4   audio %5")
      .arg(Clock(QRNET_ReplayCurTime(handle_)), Clock(QRNET_ReplayTotalTime(handle_)),
           SpeedText(QRNET_GetSpeed(handle_)), state,
           audio_ ? QStringLiteral("on") : QStringLiteral("off"));
}

void PlayerWindow::UpdateStatus() {
  status_->setText(StatusText());
}

void PlayerWindow::TogglePause() {
  if (handle_ == 0) return;
  if (stepping_) {
    QRNET_ReplayStepByStep(handle_, 0, 0);  // back to the state before stepping
    stepping_ = false;
  } else if (paused_) {
    QRNET_ReplayContinue(handle_);
    paused_ = false;
  } else {
    QRNET_ReplayPause(handle_);
    paused_ = true;
  }
  UpdateStatus();
}

void PlayerWindow::Step() {
  if (handle_ == 0) return;
  QRNET_ReplayStepByStep(handle_, 1, stepping_ ? 1 : 0);
  stepping_ = true;
  UpdateStatus();
}

void PlayerWindow::SeekBy(int32_t seconds) {
  if (handle_ == 0) return;
  QRNET_ReplaySeek(handle_, std::max(0, QRNET_ReplayCurTime(handle_) + seconds));
  UpdateStatus();
}

void PlayerWindow::Faster() {
  if (handle_ != 0) QRNET_SpeedFast(handle_);
  UpdateStatus();
}

void PlayerWindow::Slower() {
  if (handle_ != 0) QRNET_SpeedSlow(handle_);
  UpdateStatus();
}

void PlayerWindow::ToggleAudio() {
  if (handle_ == 0) return;
  audio_ = !audio_;
  audio_ ? QRNET_ClientPlayAudio(handle_) : QRNET_ClientStopAudio(handle_);
  UpdateStatus();
}

void PlayerWindow::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Space:
      TogglePause();
      break;
    case Qt::Key_S:
      Step();
      break;
    case Qt::Key_Left:
      SeekBy(-kSeekStepS);
      break;
    case Qt::Key_Right:
      SeekBy(kSeekStepS);
      break;
    case Qt::Key_Up:
    case Qt::Key_Plus:
    case Qt::Key_Equal:
      Faster();
      break;
    case Qt::Key_Down:
    case Qt::Key_Minus:
      Slower();
      break;
    case Qt::Key_N:
      if (handle_ != 0) QRNET_SpeedNormal(handle_);
      UpdateStatus();
      break;
    case Qt::Key_A:
      ToggleAudio();
      break;
    case Qt::Key_F:
      setWindowState(windowState() ^ Qt::WindowFullScreen);
      break;
    case Qt::Key_Q:
    case Qt::Key_Escape:
      close();
      break;
    default:
      QWidget::keyPressEvent(event);
  }
}

void PlayerWindow::closeEvent(QCloseEvent* event) {
  // The library must stop drawing before the window goes away.
  Close();
  QWidget::closeEvent(event);
}

}  // namespace qrplay
