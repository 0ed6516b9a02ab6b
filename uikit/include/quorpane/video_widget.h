// The Qt window host adapter: a widget that the network client library can
// draw into and post notifications to.
//
// The widget registers a qrplat::WindowHost in the platform window registry
// and hands out its 32-bit id (hostId()), which goes into the video and
// notification window fields of a client parameter record. The library's
// worker threads then
// - present finished pictures: 32-bit pictures handed over by reference are
//   kept (the previous one goes back to the library) and painted straight
//   from the library's buffer, scaled only when the sizes differ; other
//   pictures are copied into an image under a lock. Either way the GUI thread
//   is asked to repaint, and paintEvent() draws the newest complete picture
//   (never a half-written one);
// - post messages: each becomes a custom event on the GUI thread, delivered in
//   posting order, and is emitted as windowMessage().
//
// The host object is shared with the registry and with any worker that looked
// it up, so it can outlive the widget. The destructor unregisters the id and
// detaches the host: from then on presents are dropped and posts refused.
// Everything else on the widget is GUI-thread only.
#pragma once

#include <QEvent>
#include <QImage>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>

#include "qrplat/window.h"

namespace quorpane {

class VideoWindowHost;

// A window message as a Qt event (type WindowMessageEvent::kType). Built on
// the posting thread, delivered and destroyed on the GUI thread.
class WindowMessageEvent : public QEvent {
 public:
  static const QEvent::Type kType;
  WindowMessageEvent(uint32_t msg, uint32_t wparam, int32_t lparam)
      : QEvent(kType), msg_(msg), wparam_(wparam), lparam_(lparam) {}
  ~WindowMessageEvent() override;
  uint32_t msg() const { return msg_; }
  uint32_t wparam() const { return wparam_; }
  int32_t lparam() const { return lparam_; }

 private:
  uint32_t msg_;
  uint32_t wparam_;
  int32_t lparam_;
};

class QrVideoWidget : public QWidget {
  Q_OBJECT

 public:
  explicit QrVideoWidget(QWidget* parent = nullptr);
  ~QrVideoWidget() override;

  // The id under which the widget is registered; never 0.
  uint32_t hostId() const { return id_; }

  // A copy of the newest presented image (the source rectangle at its own
  // size, 32-bit RGB); null before the first present. Thread-safe.
  QImage lastFrame() const;
  // Presents so far. Thread-safe.
  uint64_t presentCount() const;

  // Drops the shown picture: the area is painted empty until the next
  // present (after the library closed what drew into it).
  void clearPicture();

  // A line of text drawn in white, centred over the video area; empty for
  // none.
  void setOverlayText(const QString& text);
  QString overlayText() const { return overlay_; }

  // Surface capabilities reported to the library (default: no video memory,
  // no overlay, stretching on present).
  void setSurfaceCaps(qrplat::SurfaceCaps caps);

  QSize sizeHint() const override { return QSize(704, 576); }

 signals:
  // A message posted to hostId(), on the GUI thread in posting order.
  void windowMessage(uint msg, uint wparam, int lparam);
  // New pictures were presented since the last emission (presents arriving
  // faster than the GUI thread runs are coalesced); count is presentCount().
  void framesPresented(quint64 count);

 protected:
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  // Copies size, visibility and screen position to the host, which answers
  // the library's questions from worker threads.
  void PublishGeometry();

  std::shared_ptr<VideoWindowHost> host_;
  uint32_t id_ = 0;
  QString overlay_;
};

}  // namespace quorpane
