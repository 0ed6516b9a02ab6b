// The main window of qr-view: the live picture filling the window, the link
// state over it while not connected (and a video codec the library cannot
// decode while connected), full screen on double click.
#pragma once

#include <QWidget>

#include "live_view.h"

namespace quorpane {
class QrVideoWidget;
}

namespace qrview {

class ViewerWindow : public QWidget {
  Q_OBJECT

 public:
  explicit ViewerWindow(QWidget* parent = nullptr);
  ~ViewerWindow() override;  // stops the view before the video widget goes

  quorpane::QrVideoWidget* video() const { return video_; }
  LiveView& live() { return live_; }

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void ShowLinkState(int state);

  quorpane::QrVideoWidget* video_;  // child
  LiveView live_;
  QString unsupported_text_;  // "Unsupported video: NAME" once reported
};

}  // namespace qrview
