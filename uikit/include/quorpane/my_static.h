// CMyStatic: the replay video area. A window host the library draws into
// (QrVideoWidget) that also accepts files dropped onto it: the first dropped
// local file is handed on through fileDropped() (the replay dialog opens it).
#pragma once

#include <QString>

#include "quorpane/video_widget.h"

namespace quorpane {

class CMyStatic : public QrVideoWidget {
  Q_OBJECT

 public:
  explicit CMyStatic(QWidget* parent = nullptr);

 signals:
  void fileDropped(const QString& path);
  void doubleClicked();

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
};

}  // namespace quorpane
