#include "live_view.h"

#include <QByteArray>
#include <cstring>

#include "quorpane/video_widget.h"

namespace qrview {

namespace {

template <size_t N>
void CopyText(const QString& text, char (&field)[N]) {
  const QByteArray utf8 = text.toUtf8();
  // Too long for the field: left empty, never cut (the options parser refuses
  // such texts before they get here).
  if (size_t(utf8.size()) >= N) return;
  std::memcpy(field, utf8.constData(), size_t(utf8.size()));
}

}  // namespace

QString LinkStateText(int32_t state) {
  switch (state) {
    case 1:
      return QStringLiteral("Connecting...");
    case 2:
      return QStringLiteral("Connecting..");
    case 3:
      return QStringLiteral("Disconnected");
    case 4:
      return QStringLiteral("Reconnect");
    case 5:
      // The source gave up and will not try again: saying "Connecting..."
      // here would promise a picture that never comes.
      return QStringLiteral("Disconnected");
    default:
      return QString();
  }
}

QString UnsupportedVideoText(const QString& codec) {
  return QStringLiteral("Unsupported video: ") + codec;
}

void FillClientParam(const ViewerOptions& options, uint32_t window, int32_t live_view_performance,
                     QRNET_ClientParam* param) {
  std::memset(param, 0, sizeof *param);
  param->transport = options.transport;
  param->view_flag = 1;
  param->channel = options.channel;
  param->video_window = window;
  param->notify_window = window;
  param->notify_message = kNotifyMessage;
  param->stream_option = 1;
  param->live_view_performance = live_view_performance;
  CopyText(options.address, param->address);
  CopyText(options.user, param->user);
  CopyText(options.password, param->password);
}

LiveView::LiveView(quorpane::QrVideoWidget* video, QObject* parent)
    : QObject(parent), video_(video) {
  connect(video_, &quorpane::QrVideoWidget::windowMessage, this, &LiveView::OnWindowMessage);
}

LiveView::~LiveView() {
  Stop();
}

bool LiveView::Start(const ViewerOptions& options, int32_t live_view_performance) {
  Stop();
  QRNET_Startup(0, 0, nullptr, 0);
  QRNET_SetWaitTime(5, -1, 10);
  QRNET_ClientParam param;
  FillClientParam(options, video_->hostId(), live_view_performance, &param);
  link_state_ = 1;
  handle_ = QRNET_ClientStart(&param);
  if (handle_ == 0) return false;
  QRNET_ClientPlayAudio(handle_);
  return true;
}

void LiveView::Stop() {
  if (handle_ == 0) return;
  QRNET_ClientStop(handle_);
  handle_ = 0;
}

void LiveView::OnWindowMessage(uint msg, uint wparam, int lparam) {
  // Reports still queued from a stopped client are not about this view.
  if (msg != kNotifyMessage || handle_ == 0) return;
  if (wparam == kKindUnsupportedVideo) {
    char name[64] = {};
    QRNET_ClientGetVideoCodec(handle_, name, sizeof name);
    emit unsupportedVideoReported(QString::fromUtf8(name));
    return;
  }
  if (wparam != kKindLinkState) return;
  link_state_ = lparam;
  emit linkStateReported(lparam);
}

}  // namespace qrview
