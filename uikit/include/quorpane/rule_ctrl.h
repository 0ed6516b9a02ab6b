// CRuleCtrl: a tick ruler with a marker that the user drags from tick to tick
// (the live-view performance scale of the configuration dialog).
//
// The ruler never moves its marker by itself: a click or drag near tick i
// (within half a tick step, and i not the current position) posts message
// kMsgRulerTick (2025) with wParam = i to the parent and emits it as
// windowMessage(); the owner answers with setPosition(i).
#pragma once

#include <QRect>
#include <QString>
#include <QWidget>
#include <cstdint>

namespace quorpane {

class CRuleCtrl : public QWidget {
  Q_OBJECT

 public:
  explicit CRuleCtrl(QWidget* parent = nullptr);

  // Tick values minimum..maximum (defaults 0..10); the span is their
  // difference, and tick indexes run 0..span.
  void setRange(int minimum, int maximum);
  int minimum() const { return minimum_; }
  int maximum() const { return maximum_; }
  int span() const { return maximum_ > minimum_ ? maximum_ - minimum_ : 0; }

  // Tick index of the marker; repaints.
  void setPosition(int tick);
  int position() const { return position_; }

  // 1 (default): every second tick is long and labelled tick / 2; 0: every
  // tick long and labelled with its index.
  void setHalfTickLabels(bool on);
  // 0 (default): "%d" of the label value; 1: speed labels, centred on 1
  // ("1/4", "1/2", "1", "2", "4").
  void setLabelStyle(int style);
  // Tenths of a point (default 100).
  void setFontSize(int tenths);

  // Geometry, in widget coordinates.
  int tickStep() const;
  int tickOrigin() const;
  int tickX(int tick) const;
  QRect markerRect() const;
  // The label under tick `tick`, empty for a short (unlabelled) tick.
  QString labelText(int tick) const;

  QSize sizeHint() const override { return QSize(360, 56); }

 signals:
  void windowMessage(uint msg, uint wparam, int lparam);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  void TrackMouse(int x);
  bool IsLongTick(int tick) const;

  int minimum_ = 0;
  int maximum_ = 10;
  int position_ = 0;
  int marker_width_ = 16;
  bool half_tick_labels_ = true;
  int label_style_ = 0;
  int font_size_ = 100;
  int marker_height_ = 8;
  bool capturing_ = false;
};

}  // namespace quorpane
