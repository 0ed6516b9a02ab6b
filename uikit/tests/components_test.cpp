// The component wrappers: the cover window's click, move and resize rules,
// and the modal wrappers' runs.
#include "quorpane/components.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>
#include <memory>
#include <vector>

#include "qt_test_util.h"
#include "quorpane/dialog_config.h"
#include "quorpane/replay_dialog.h"
#include "quorpane/video_widget.h"
#include "quorpane/window_message.h"

namespace quorpane {
namespace {

using testing::App;
using testing::PumpUntil;

class CoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    parent_ = std::make_unique<QrVideoWidget>();
    cover_ = std::make_unique<CCoverCtrl>();
    parent_->resize(400, 300);
    parent_->show();
    QObject::connect(parent_.get(), &QrVideoWidget::windowMessage, [this](uint msg, uint w, int l) {
      if (msg == kMsgCoverSelected) selections_.push_back({int(w), l});
    });
    ASSERT_EQ(cover_->GetSafeHwnd(), nullptr);
    ASSERT_EQ(cover_->Create(parent_.get(), 0), 1);
    cover_->SetID(2);
    cover_->MoveWindow(100, 100, 80, 60, 1);
    cover_->ShowWindow(kSwShow);
    w_ = cover_->GetSafeHwnd();
    ASSERT_NE(w_, nullptr);
  }
  void Drag(QPoint from, QPoint to) {
    QTest::mousePress(w_, Qt::LeftButton, {}, from);
    QTest::mouseMove(w_, to);
    QTest::mouseRelease(w_, Qt::LeftButton, {}, to);
  }
  bool Selected(int count) {
    return PumpUntil([&] { return int(selections_.size()) >= count; }, 2000);
  }

  // Made in SetUp: widgets need the application object first.
  std::unique_ptr<QrVideoWidget> parent_;
  std::unique_ptr<CCoverCtrl> cover_;

  QWidget* w_ = nullptr;
  std::vector<std::pair<int, int>> selections_;
};

TEST_F(CoverTest, OneWrapperNeverOwnsTwoWindows) {
  EXPECT_EQ(cover_->Create(parent_.get(), 1), 0);
  EXPECT_EQ(cover_->GetSafeHwnd(), w_);
  CCoverCtrl orphan;
  EXPECT_EQ(orphan.Create(nullptr, 0), 0);
  EXPECT_EQ(orphan.GetSafeHwnd(), nullptr);
  orphan.ShowWindow(kSwShow);  // no window: nothing happens
  orphan.MoveWindow(1, 2, 3, 4, 1);
}

TEST_F(CoverTest, ReadOnlyCoverReportsClicksButDoesNotMove) {
  Drag(QPoint(40, 30), QPoint(80, 60));
  ASSERT_TRUE(Selected(1));
  EXPECT_EQ(selections_[0], (std::pair<int, int>{2, 0}));
  EXPECT_EQ(w_->geometry(), QRect(100, 100, 80, 60));
}

TEST_F(CoverTest, MovesOnlyBeyondOnePixel) {
  cover_->ReadOnly(0);
  Drag(QPoint(40, 30), QPoint(41, 31));
  EXPECT_EQ(w_->geometry(), QRect(100, 100, 80, 60));
  Drag(QPoint(40, 30), QPoint(42, 30));
  EXPECT_EQ(w_->geometry(), QRect(102, 100, 80, 60));
  Drag(QPoint(40, 30), QPoint(10, 50));
  EXPECT_EQ(w_->geometry(), QRect(72, 120, 80, 60));
  EXPECT_TRUE(Selected(3));
}

TEST_F(CoverTest, EdgesResize) {
  cover_->ReadOnly(0);
  // Two pixels inside the right edge: west-east resize of the right edge.
  QTest::mousePress(w_, Qt::LeftButton, {}, QPoint(78, 30));
  EXPECT_EQ(w_->cursor().shape(), Qt::SizeHorCursor);
  QTest::mouseMove(w_, QPoint(98, 30));
  QTest::mouseRelease(w_, Qt::LeftButton, {}, QPoint(98, 30));
  // The right edge moves by x - client width.
  EXPECT_EQ(w_->geometry(), QRect(100, 100, 98, 60));
  // Top-left corner: both edges follow.
  QTest::mousePress(w_, Qt::LeftButton, {}, QPoint(1, 1));
  EXPECT_EQ(w_->cursor().shape(), Qt::SizeFDiagCursor);
  QTest::mouseMove(w_, QPoint(-9, -19));
  QTest::mouseRelease(w_, Qt::LeftButton, {}, QPoint(0, 0));
  EXPECT_EQ(w_->geometry(), QRect(91, 81, 107, 79));
  // Bottom edge.
  QTest::mousePress(w_, Qt::LeftButton, {}, QPoint(50, 77));
  EXPECT_EQ(w_->cursor().shape(), Qt::SizeVerCursor);
  QTest::mouseMove(w_, QPoint(50, 39));
  QTest::mouseRelease(w_, Qt::LeftButton, {}, QPoint(50, 39));
  EXPECT_EQ(w_->geometry(), QRect(91, 81, 107, 39));
  // Dragging past the opposite edge leaves an empty rectangle, never a
  // negative one.
  QTest::mousePress(w_, Qt::LeftButton, {}, QPoint(50, 37));
  QTest::mouseMove(w_, QPoint(50, -100));
  QTest::mouseRelease(w_, Qt::LeftButton, {}, QPoint(50, 0));
  EXPECT_EQ(w_->height(), 0);
}

TEST(ComponentWrappers, ModalRunsEndAndReportTheirResults) {
  App();
  CReplayCtrl replay(nullptr, 1);
  ASSERT_NE(replay.dialog(), nullptr);
  QTimer::singleShot(50, replay.dialog(), [&] { replay.dialog()->reject(); });
  EXPECT_EQ(replay.DoModal(), 2);

  CConfigCtrl config(nullptr, 2);
  ASSERT_NE(config.dialog(), nullptr);
  EXPECT_TRUE(config.dialog()->chinese());
  config.SetParam(0, 300);
  QTimer::singleShot(50, config.dialog(), [&] { config.dialog()->reject(); });
  EXPECT_EQ(config.DoModal(), CDialogConfig::kResultCancel);

  // The full-screen window closes on a double click.
  CFullScreenCtrl full(nullptr, 0);
  QWidget* window = full.GetSafeHwnd();
  ASSERT_NE(window, nullptr);
  QTimer::singleShot(50, window, [&] {
    QWidget* video = window->findChild<QrVideoWidget*>();
    ASSERT_NE(video, nullptr);
    QTest::mouseDClick(video, Qt::LeftButton);
  });
  full.DoModal();
  EXPECT_FALSE(window->isVisible());
}

}  // namespace
}  // namespace quorpane
