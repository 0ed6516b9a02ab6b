// The replay video area.
#include "quorpane/my_static.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

namespace quorpane {

namespace {

// The first local file among the dropped names; empty when there is none.
QString FirstLocalFile(const QMimeData* data) {
  if (data == nullptr || !data->hasUrls()) return QString();
  const QList<QUrl> urls = data->urls();
  if (urls.isEmpty() || !urls.front().isLocalFile()) return QString();
  return urls.front().toLocalFile();
}

}  // namespace

CMyStatic::CMyStatic(QWidget* parent) : QrVideoWidget(parent) {
  setAcceptDrops(true);
}

void CMyStatic::dragEnterEvent(QDragEnterEvent* event) {
  if (!FirstLocalFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void CMyStatic::dragMoveEvent(QDragMoveEvent* event) {
  if (!FirstLocalFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void CMyStatic::dropEvent(QDropEvent* event) {
  const QString path = FirstLocalFile(event->mimeData());
  if (path.isEmpty()) return;
  event->acceptProposedAction();
  emit fileDropped(path);
}

void CMyStatic::mouseDoubleClickEvent(QMouseEvent* event) {
  emit doubleClicked();
  QrVideoWidget::mouseDoubleClickEvent(event);
}

}  // namespace quorpane
