// The qr-play window in-process: its keys drive the replay controls of the
// file it plays (an alarm record file from the test-side writer).
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTemporaryDir>

#include "player_window.h"
#include "qt_test_util.h"
#include "quornet.h"
#include "quorpane/video_widget.h"
#include "record_file_writer.h"

namespace {

template <class P>
bool Pump(P pred, int timeout_ms = 10000) {
  QElapsedTimer t;
  t.start();
  while (!pred()) {
    if (t.elapsed() > timeout_ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

void Key(QWidget* w, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(w, &press);
}

TEST(QrPlayWindow, KeysDriveTheReplayControls) {
  quorpane::testing::App();
  av_log_set_level(AV_LOG_ERROR);
  QTemporaryDir dir;
  const std::string path = dir.filePath("keys.alarm").toStdString();
  const auto frames = quornet::test::EncodeFrames(true, 320, 240, 100, 25);
  ASSERT_TRUE(quornet::test::WriteBytes(
      path, quornet::test::AlarmFile(true, 320, 240, 25, 1,
                                     quornet::test::MakeRecords(frames, true, 25, 0, false),
                                     quornet::test::IndexMode::kWritten)));
  qrplay::PlayerWindow w;
  w.resize(320, 280);
  w.show();
  ASSERT_TRUE(w.Open(QString::fromStdString(path), 0));
  const uint32_t h = w.handle();
  EXPECT_EQ(QRNET_ReplayTotalTime(h), 3);
  ASSERT_TRUE(Pump([&] { return w.video()->presentCount() >= 3; }));

  Key(&w, Qt::Key_Space);
  EXPECT_TRUE(w.StatusText().contains("paused")) << w.StatusText().toStdString();
  Key(&w, Qt::Key_Up);
  Key(&w, Qt::Key_Plus);
  EXPECT_EQ(QRNET_GetSpeed(h), 2);
  for (int i = 0; i < 8; ++i) Key(&w, Qt::Key_Down);
  EXPECT_EQ(QRNET_GetSpeed(h), -4);  // and no further
  EXPECT_TRUE(w.StatusText().contains("1/16x")) << w.StatusText().toStdString();
  Key(&w, Qt::Key_N);
  EXPECT_EQ(QRNET_GetSpeed(h), 0);

  Key(&w, Qt::Key_S);
  EXPECT_TRUE(w.StatusText().contains("single step"));
  Key(&w, Qt::Key_Space);  // leaves single step for the pause it came from
  EXPECT_TRUE(w.StatusText().contains("paused"));
  Key(&w, Qt::Key_Right);
  EXPECT_EQ(QRNET_ReplayCurTime(h), 3);  // 5 s on, capped to the end
  Key(&w, Qt::Key_Left);
  EXPECT_EQ(QRNET_ReplayCurTime(h), 0);
  Key(&w, Qt::Key_A);
  EXPECT_TRUE(w.StatusText().contains("audio on"));
  Key(&w, Qt::Key_Space);
  EXPECT_TRUE(w.StatusText().contains("playing"));

  Key(&w, Qt::Key_Q);
  EXPECT_EQ(w.handle(), 0u);
  EXPECT_EQ(QRNET_ReplayTotalTime(h), 0);  // closed
}

}  // namespace
