// The main window of qr-view: the viewer control filling the window (it
// draws the link state over the picture while not connected), a toolbar for
// recording, snapshots, the configuration dialog and the replay dialog, full
// screen on double click.
#pragma once

#include <QWidget>
#include <memory>

#include "live_view.h"

class QAction;
class QLabel;
class QToolBar;

namespace quorpane {
class QrVideoWidget;
}

namespace quorvex {
class CQuorvexCtrl;
}

namespace qrview {

class ViewerWindow : public QWidget {
  Q_OBJECT

 public:
  explicit ViewerWindow(QWidget* parent = nullptr);
  ~ViewerWindow() override;  // stops the view before the control goes

  // The control, also as the video widget it is.
  quorvex::CQuorvexCtrl* control() const { return control_; }
  quorpane::QrVideoWidget* video() const;
  LiveView& live() { return *live_; }

  // The toolbar is left out in the counting run, whose screenshots are the
  // picture alone.
  void setToolBarVisible(bool visible);
  QToolBar* toolBar() const { return tools_; }

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void OnRecord(bool on);
  void OnSnapshot();

  QToolBar* tools_;                 // child
  QAction* record_;                 // owned by tools_
  QLabel* status_;                  // owned by tools_
  quorvex::CQuorvexCtrl* control_;  // child
  std::unique_ptr<LiveView> live_;
};

}  // namespace qrview
