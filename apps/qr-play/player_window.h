// The window of qr-play: the picture of one record file filling the window,
// a status line (position, length, speed, state) and the keyboard controls.
#pragma once

#include <QLabel>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdint>

namespace quorpane {
class QrVideoWidget;
}

namespace qrplay {

// Keys: Space pause/continue, S single step (the first press enters single
// step, Space leaves it), Left/Right seek 5 s, Up/Down (or +/-) faster and
// slower, N normal speed, A audio on/off, F full screen, Q or Escape quit.
class PlayerWindow : public QWidget {
  Q_OBJECT

 public:
  explicit PlayerWindow(QWidget* parent = nullptr);
  ~PlayerWindow() override;  // closes the file before the video widget goes

  // Opens the file (native path or drive form) at start_s seconds; false
  // when the library cannot read or recognise it.
  bool Open(const QString& path, int32_t start_s);
  void Close();

  quorpane::QrVideoWidget* video() const { return video_; }
  uint32_t handle() const { return handle_; }
  // Text of the status line.
  QString StatusText() const;

  // The actions behind the keys.
  void TogglePause();
  void Step();
  void SeekBy(int32_t seconds);
  void Faster();
  void Slower();
  void ToggleAudio();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void UpdateStatus();

  quorpane::QrVideoWidget* video_;  // child
  QLabel* status_;                  // child
  QTimer status_timer_;
  uint32_t handle_ = 0;
  bool paused_ = false;
  bool stepping_ = false;
  bool audio_ = false;
};

}  // namespace qrplay
