// The custom controls driven with synthesized mouse input: the ruler's tick
// messages and marker, the play pane's seek message and progress, sorting of
// the list, the hover button's states and tooltip, and dropped files.
#include <gtest/gtest.h>

#include <QDropEvent>
#include <QHelpEvent>
#include <QLocale>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <QToolTip>
#include <QUrl>
#include <vector>

#include "qt_test_util.h"
#include "quorpane/hover_button.h"
#include "quorpane/my_static.h"
#include "quorpane/play_pane.h"
#include "quorpane/rule_ctrl.h"
#include "quorpane/sort_list_ctrl.h"
#include "quorpane/video_widget.h"
#include "quorpane/window_message.h"

namespace quorpane {
namespace {

using testing::App;
using testing::PumpUntil;

struct Message {
  uint32_t msg, wparam;
  int32_t lparam;
  bool operator==(const Message&) const = default;
};

// A parent that records the window messages posted to it and, for the
// ruler, answers 2025 by moving the marker as the dialogs do.
class Owner : public QWidget {
 public:
  std::vector<Message> received;
  CRuleCtrl* ruler = nullptr;

 protected:
  bool event(QEvent* e) override {
    if (e->type() != WindowMessageEvent::kType) return QWidget::event(e);
    auto* m = static_cast<WindowMessageEvent*>(e);
    received.push_back({m->msg(), m->wparam(), m->lparam()});
    if (ruler && m->msg() == kMsgRulerTick) ruler->setPosition(int(m->wparam()));
    return true;
  }
};

int Count(const QImage& img, QRect area, QColor colour) {
  int n = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      if (img.pixelColor(x, y) == colour) ++n;
    }
  }
  return n;
}

TEST(RuleCtrl, LabelsOnEvenTicksAndSpeedLabels) {
  App();
  CRuleCtrl ruler;
  ruler.setRange(0, 40);
  for (int i = 0; i <= 40; ++i) {
    EXPECT_EQ(ruler.labelText(i), i % 2 == 0 ? QString::number(i / 2) : QString()) << i;
  }
  ruler.setRange(0, 8);
  ruler.setHalfTickLabels(false);
  ruler.setLabelStyle(1);
  QStringList labels;
  for (int i = 0; i <= 8; ++i) labels << ruler.labelText(i);
  EXPECT_EQ(labels.join(u' '), QStringLiteral("1/16 1/8 1/4 1/2 1 2 4 8 16"));
}

TEST(RuleCtrl, GeometryFollowsTheWidgetWidth) {
  App();
  CRuleCtrl ruler;
  ruler.setRange(0, 40);
  ruler.resize(500, 40);
  EXPECT_EQ(ruler.tickStep(), (500 - 16) / 40);
  EXPECT_EQ(ruler.tickOrigin(), (500 - 12 * 40) / 2);
  EXPECT_EQ(ruler.tickX(40) - ruler.tickX(0), 480);
  ruler.setPosition(13);
  const QRect m = ruler.markerRect();
  EXPECT_EQ(m.left() + m.width() / 2, ruler.tickX(13));
  EXPECT_EQ(m.width(), 16);
  EXPECT_EQ(m.height(), 8);
  EXPECT_EQ(m.top(), 40 / 2 + 2);
  // No span, or narrower than the marker: every tick at the origin.
  ruler.setRange(5, 5);
  EXPECT_EQ(ruler.tickStep(), 0);
  ruler.setRange(0, 40);
  ruler.resize(10, 40);
  EXPECT_EQ(ruler.tickStep(), 0);
  ruler.grab();  // paints without dividing by zero
}

TEST(RuleCtrl, ClickPostsTheTickAndTheMarkerFollows) {
  App();
  Owner owner;
  auto* ruler = new CRuleCtrl(&owner);
  owner.ruler = ruler;
  ruler->setRange(0, 40);
  ruler->setGeometry(0, 0, 500, 40);
  owner.resize(500, 40);
  owner.show();
  QSignalSpy spy(ruler, &CRuleCtrl::windowMessage);

  // A click a little right of tick 13 (within half a step) names tick 13.
  QTest::mouseClick(ruler, Qt::LeftButton, {}, QPoint(ruler->tickX(13) + 3, 30));
  ASSERT_EQ(spy.size(), 1);
  EXPECT_EQ(spy[0][0].toUInt(), kMsgRulerTick);
  EXPECT_EQ(spy[0][1].toUInt(), 13u);
  EXPECT_EQ(spy[0][2].toInt(), 0);
  EXPECT_EQ(ruler->position(), 0);  // the ruler waits for its owner
  ASSERT_TRUE(PumpUntil([&] { return !owner.received.empty(); }));
  EXPECT_EQ(owner.received, (std::vector<Message>{{2025, 13, 0}}));
  EXPECT_EQ(ruler->position(), 13);

  // The marker is drawn at tick 13 now: its bottom line is dark there.
  const QImage img = ruler->grab().toImage();
  const QRect m = ruler->markerRect();
  const QColor ink = ruler->palette().color(QPalette::WindowText);
  EXPECT_GT(Count(img, m, ink), 8 * 4);
  EXPECT_EQ(Count(img, QRect(ruler->tickX(2) - 8, m.top(), 16, m.height()), ink), 0);

  // Clicking the marker's own tick posts nothing.
  QTest::mouseClick(ruler, Qt::LeftButton, {}, QPoint(ruler->tickX(13), 30));
  EXPECT_EQ(spy.size(), 1);
}

TEST(RuleCtrl, DragWalksTheTicksUntilRelease) {
  App();
  QWidget owner;
  auto* ruler = new CRuleCtrl(&owner);
  ruler->setRange(0, 40);
  ruler->setGeometry(0, 0, 500, 40);
  owner.show();
  std::vector<uint> ticks;
  QObject::connect(ruler, &CRuleCtrl::windowMessage, ruler, [&](uint, uint tick, int) {
    ticks.push_back(tick);
    ruler->setPosition(int(tick));
  });
  ruler->setPosition(2);
  QTest::mousePress(ruler, Qt::LeftButton, {}, QPoint(ruler->tickX(2), 30));
  for (int x = ruler->tickX(2); x <= ruler->tickX(5); ++x) {
    QMouseEvent move(QEvent::MouseMove, QPointF(x, 30), ruler->mapToGlobal(QPointF(x, 30)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(ruler, &move);
  }
  QTest::mouseRelease(ruler, Qt::LeftButton, {}, QPoint(ruler->tickX(5), 30));
  EXPECT_EQ(ticks, (std::vector<uint>{3, 4, 5}));
  EXPECT_EQ(ruler->position(), 5);
  // Moves after the release are not tracked.
  QMouseEvent move(QEvent::MouseMove, QPointF(ruler->tickX(9), 30),
                   ruler->mapToGlobal(QPointF(ruler->tickX(9), 30)), Qt::NoButton, Qt::NoButton,
                   Qt::NoModifier);
  QCoreApplication::sendEvent(ruler, &move);
  EXPECT_EQ(ticks.size(), 3u);
}

TEST(PlayPane, ClickPostsTheSecondAndProgressIsDrawn) {
  App();
  Owner owner;
  auto* pane = new CPlayPane(&owner);
  pane->setGeometry(0, 0, 300, 10);
  owner.show();
  pane->setTotal(600);
  QSignalSpy spy(pane, &CPlayPane::windowMessage);
  QTest::mouseClick(pane, Qt::LeftButton, {}, QPoint(150, 5));
  QTest::mouseClick(pane, Qt::LeftButton, {}, QPoint(299, 5));
  ASSERT_EQ(spy.size(), 2);
  EXPECT_EQ(spy[0][1].toUInt(), 300u);
  EXPECT_EQ(spy[1][1].toUInt(), 598u);  // 600 x 299 / 300, truncated
  ASSERT_TRUE(PumpUntil([&] { return owner.received.size() == 2; }));
  EXPECT_EQ(owner.received[0], (Message{1424, 300, 0}));

  pane->setPosition(150);
  QImage img = pane->grab().toImage();
  EXPECT_EQ(img.pixelColor(1, 1), QColor(122, 122, 122));  // background
  EXPECT_EQ(img.pixelColor(10, 5), QColor(13, 121, 210));  // progress
  EXPECT_EQ(img.pixelColor(100, 5), QColor(22, 22, 22));   // track
  EXPECT_EQ(pane->progressWidth(), 75);

  // A pane without a length shows no progress, and a click names second 0.
  pane->setTotal(0);
  img = pane->grab().toImage();
  EXPECT_EQ(Count(img, img.rect(), QColor(13, 121, 210)), 0);
  QTest::mouseClick(pane, Qt::LeftButton, {}, QPoint(200, 5));
  EXPECT_EQ(spy.back()[1].toUInt(), 0u);
  // Long files: no overflow of width x position.
  pane->setTotal(4000000000u);
  pane->setPosition(3000000000u);
  EXPECT_EQ(pane->progressWidth(), 225);
}

TEST(PlayPane, HandCursorWhileHovering) {
  App();
  CPlayPane pane;
  pane.resize(300, 10);
  pane.show();
  QTest::mouseMove(&pane, QPoint(20, 5));
  QMouseEvent move(QEvent::MouseMove, QPointF(20, 5), pane.mapToGlobal(QPointF(20, 5)),
                   Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&pane, &move);
  EXPECT_TRUE(pane.hovering());
  EXPECT_EQ(pane.cursor().shape(), Qt::PointingHandCursor);
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(&pane, &leave);
  EXPECT_FALSE(pane.hovering());
  EXPECT_EQ(pane.cursor().shape(), Qt::ArrowCursor);
}

class SortListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    list_.setColumns({"Index", "File Name", "Channel", "Start Time"}, {50, 200, 60, 140},
                     {Qt::AlignLeft, Qt::AlignLeft, Qt::AlignRight, Qt::AlignCenter});
    list_.resize(480, 200);
    list_.addRow({"1", "cherry", "10", "20240307 09:05:02"});
    list_.addRow({"2", "apple", "9", "20231231 23:59:59"});
    list_.addRow({"3", "Banana", "2", "20240307 10:00:00"});
    list_.show();
  }
  void TearDown() override { QLocale::setDefault(QLocale::system()); }

  QStringList Column(int c) const {
    QStringList out;
    for (int r = 0; r < list_.rowCount(); ++r) out << list_.item(r, c)->text();
    return out;
  }
  void ClickHeader(int column) {
    CSortHeaderCtrl* h = list_.sortHeader();
    const int x = h->sectionViewportPosition(column) + h->sectionSize(column) / 2;
    QTest::mouseClick(h->viewport(), Qt::LeftButton, {}, QPoint(x, h->height() / 2));
  }

  CSortListCtrl list_;
};

TEST_F(SortListTest, IndexColumnDoesNotSort) {
  ClickHeader(0);
  EXPECT_EQ(list_.sortColumn(), -1);
  EXPECT_EQ(list_.sortHeader()->markedColumn(), -1);
  EXPECT_EQ(Column(1), (QStringList{"cherry", "apple", "Banana"}));
}

TEST_F(SortListTest, NumbersSortAsNumbersAndASecondClickReverses) {
  ClickHeader(2);
  EXPECT_EQ(list_.sortColumn(), 2);
  EXPECT_TRUE(list_.ascending());
  EXPECT_EQ(Column(2), (QStringList{"2", "9", "10"}));
  EXPECT_EQ(Column(1), (QStringList{"Banana", "apple", "cherry"}));
  EXPECT_EQ(list_.sortHeader()->markedColumn(), 2);
  EXPECT_TRUE(list_.sortHeader()->markAscending());
  ClickHeader(2);
  EXPECT_FALSE(list_.ascending());
  EXPECT_EQ(Column(2), (QStringList{"10", "9", "2"}));
  EXPECT_FALSE(list_.sortHeader()->markAscending());
  // The running index is renumbered from the top, in the list and in the
  // stored copies; the stored copies moved with their rows.
  EXPECT_EQ(Column(0), (QStringList{"1", "2", "3"}));
  EXPECT_EQ(list_.rowTexts(0), (QStringList{"1", "cherry", "10", "20240307 09:05:02"}));
  EXPECT_EQ(list_.rowTexts(2), (QStringList{"3", "Banana", "2", "20240307 10:00:00"}));
  // Another column starts ascending again.
  ClickHeader(3);
  EXPECT_TRUE(list_.ascending());
  EXPECT_EQ(Column(3),
            (QStringList{"20231231 23:59:59", "20240307 09:05:02", "20240307 10:00:00"}));
  list_.sortHeader()->grab();  // paints the mark
}

TEST_F(SortListTest, TextsSortLocaleAwareAndCaseSensitive) {
  ClickHeader(1);
  // Locale order puts "apple" before "Banana" (plain byte order would not).
  EXPECT_EQ(Column(1), (QStringList{"apple", "Banana", "cherry"}));
  EXPECT_NE(CSortListCtrl::CompareTexts("a", "A"), 0);
  EXPECT_LT(CSortListCtrl::CompareTexts("9", "10"), 0);
  EXPECT_GT(CSortListCtrl::CompareTexts("9x", "10x"), 0);  // not a number: text
}

TEST_F(SortListTest, RowsCopyTheirTextsAndDeleteAll) {
  QStringList texts{"4", "late"};
  const int row = list_.addRow(texts);
  texts[1] = "changed";
  EXPECT_EQ(row, 3);
  EXPECT_EQ(list_.rowTexts(3), (QStringList{"4", "late", "", ""}));
  list_.deleteAllRows();
  EXPECT_EQ(list_.rowCount(), 0);
  ClickHeader(1);  // sorting an empty list is fine
  EXPECT_EQ(list_.rowCount(), 0);
}

std::array<QPixmap, 4> Images() {
  std::array<QPixmap, 4> images;
  const QColor colours[4] = {Qt::white, Qt::yellow, Qt::blue, Qt::gray};
  for (size_t i = 0; i < 4; ++i) {
    images[i] = QPixmap(16, 16);
    images[i].fill(colours[i]);
  }
  return images;
}

TEST(HoverButton, ImagesFollowHoverPressAndDisable) {
  App();
  QWidget parent;
  parent.setAutoFillBackground(true);
  QPalette pal = parent.palette();
  pal.setColor(QPalette::Window, QColor(200, 0, 0));
  parent.setPalette(pal);
  parent.resize(100, 100);
  auto* button = new CHoverButton(&parent);
  button->setImageList(Images());
  button->setGeometry(10, 10, 32, 32);
  parent.show();
  QSignalSpy clicked(button, &QAbstractButton::clicked);

  EXPECT_EQ(button->currentImageIndex(), 0);
  QImage img = button->grab().toImage();
  EXPECT_EQ(img.pixelColor(16, 16), QColor(Qt::white));
  // Transparent: the parent's background around the image.
  EXPECT_EQ(img.pixelColor(1, 1), QColor(200, 0, 0));

  QMouseEvent move(QEvent::MouseMove, QPointF(16, 16), button->mapToGlobal(QPointF(16, 16)),
                   Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(button, &move);
  EXPECT_TRUE(button->isHovering());
  EXPECT_EQ(button->currentImageIndex(), 1);
  EXPECT_EQ(button->grab().toImage().pixelColor(16, 16), QColor(Qt::yellow));

  QTest::mousePress(button, Qt::LeftButton, {}, QPoint(16, 16));
  EXPECT_EQ(button->currentImageIndex(), 2);
  QTest::mouseRelease(button, Qt::LeftButton, {}, QPoint(16, 16));
  EXPECT_EQ(clicked.size(), 1);

  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(button, &leave);
  EXPECT_FALSE(button->isHovering());
  EXPECT_EQ(button->currentImageIndex(), 0);
  button->setEnabled(false);
  EXPECT_EQ(button->currentImageIndex(), 3);
  EXPECT_EQ(button->grab().toImage().pixelColor(16, 16), QColor(Qt::gray));

  // Toggle mode: each press flips the state, which draws as pressed.
  button->setEnabled(true);
  button->setToggleMode(true);
  QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(16, 16));
  EXPECT_TRUE(button->isToggled());
  EXPECT_EQ(button->currentImageIndex(), 2);
  QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(16, 16));
  EXPECT_FALSE(button->isToggled());
}

TEST(HoverButton, TooltipShowsWhileActive) {
  App();
  QWidget parent;
  auto* button = new CHoverButton(&parent);
  button->setGeometry(0, 0, 32, 32);
  parent.show();
  EXPECT_FALSE(button->tooltip().hasTool());
  button->setTooltipText(QStringLiteral("Snapshot"));
  EXPECT_TRUE(button->tooltip().hasTool());
  EXPECT_TRUE(button->tooltip().isActive());
  EXPECT_EQ(button->tooltip().toolRect(), QRect(0, 0, 32, 32));

  QHelpEvent help(QEvent::ToolTip, QPoint(5, 5), button->mapToGlobal(QPoint(5, 5)));
  QCoreApplication::sendEvent(button, &help);
  EXPECT_EQ(QToolTip::text(), QStringLiteral("Snapshot"));
  EXPECT_TRUE(QToolTip::isVisible());
  QToolTip::hideText();
  ASSERT_TRUE(PumpUntil([] { return !QToolTip::isVisible(); }));

  // Leaving deactivates it; a request then shows nothing.
  QEvent leave(QEvent::Leave);
  QCoreApplication::sendEvent(button, &leave);
  EXPECT_FALSE(button->tooltip().isActive());
  QHelpEvent again(QEvent::ToolTip, QPoint(5, 5), button->mapToGlobal(QPoint(5, 5)));
  QCoreApplication::sendEvent(button, &again);
  EXPECT_FALSE(QToolTip::isVisible());
}

TEST(HoverButton, IconModeDrawsTheIconCentred) {
  App();
  QWidget parent;
  auto* button = new CHoverButton(&parent);
  QPixmap icon(32, 32);
  icon.fill(Qt::green);
  button->setButtonIcon(QIcon(icon));
  button->setGeometry(0, 0, 40, 40);
  parent.show();
  QImage img = button->grab().toImage();
  EXPECT_EQ(img.pixelColor(4, 4), QColor(Qt::green));
  EXPECT_NE(img.pixelColor(3, 3), QColor(Qt::green));
  button->setToggleMode(true);
  button->setToggled(true);
  img = button->grab().toImage();
  EXPECT_NE(img.pixelColor(4, 4), QColor(Qt::green));  // shifted right and down
  EXPECT_EQ(img.pixelColor(5, 5), QColor(Qt::green));
}

TEST(MyStatic, FirstDroppedFileReachesTheOwner) {
  App();
  CMyStatic area;
  area.resize(200, 150);
  area.show();
  QSignalSpy dropped(&area, &CMyStatic::fileDropped);

  QMimeData files;
  files.setUrls({QUrl::fromLocalFile("/srv/rec/a.avi"), QUrl::fromLocalFile("/srv/rec/b.avi")});
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&area, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&area, &drop);
  ASSERT_EQ(dropped.size(), 1);
  EXPECT_EQ(dropped[0][0].toString(), QStringLiteral("/srv/rec/a.avi"));

  // Text and remote addresses are refused.
  QMimeData text;
  text.setText(QStringLiteral("a.avi"));
  QDragEnterEvent enter_text(QPoint(10, 10), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
  enter_text.setAccepted(false);
  QCoreApplication::sendEvent(&area, &enter_text);
  EXPECT_FALSE(enter_text.isAccepted());
  QMimeData remote;
  remote.setUrls({QUrl(QStringLiteral("http://127.0.0.1/a.avi"))});
  QDropEvent drop_remote(QPointF(10, 10), Qt::CopyAction, &remote, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&area, &drop_remote);
  EXPECT_EQ(dropped.size(), 1);
  // It is still a window host the library can draw into.
  EXPECT_NE(area.hostId(), 0u);
}

}  // namespace
}  // namespace quorpane
