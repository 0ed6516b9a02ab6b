// CPlayPane: the thin progress strip below the replay video. The owner sets
// the length and the position in seconds; a left click posts kMsgPlayPaneSeek
// (1424) to the parent with wParam = the second under the mouse, and emits
// it as windowMessage(). The cursor is a hand while over the pane.
#pragma once

#include <QWidget>
#include <cstdint>

namespace quorpane {

class CPlayPane : public QWidget {
  Q_OBJECT

 public:
  explicit CPlayPane(QWidget* parent = nullptr);

  void setTotal(uint32_t seconds);
  uint32_t total() const { return total_; }
  void setPosition(uint32_t seconds);
  uint32_t position() const { return position_; }
  bool hovering() const { return hovering_; }

  // Right end of the progress band in widget coordinates (0: none).
  int progressWidth() const;

  QSize sizeHint() const override { return QSize(352, 10); }

 signals:
  void windowMessage(uint msg, uint wparam, int lparam);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  uint32_t total_ = 0;
  uint32_t position_ = 0;
  bool hovering_ = false;
};

}  // namespace quorpane
