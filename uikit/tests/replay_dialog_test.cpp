// The replay dialog against real recordings: the simulated camera on
// loopback is recorded through the library under the automatic record names
// into a drive map of temporary directories, next to hand-made names that must
// not match; the dialog searches them, plays them into its video area (frame
// numbers read back from the pictures it shows) and drives every control.
#include "quorpane/replay_dialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeEdit>
#include <memory>

#include "devicesim/device.h"
#include "devicesim/frame_code.h"
#include "qrplat/drives.h"
#include "qrplat/memory_window.h"
#include "qrplat/thread.h"
#include "qrplat/window.h"
#include "qt_test_util.h"
#include "quornet.h"
#include "quorpane/hover_button.h"
#include "quorpane/my_static.h"
#include "quorpane/play_pane.h"
#include "quorpane/settings_store.h"
#include "quorpane/sort_list_ctrl.h"

namespace quorpane {
namespace {

using testing::App;
using testing::PumpUntil;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kFps = 25;

// The recordings, made once for the whole binary.
struct Recordings {
  QTemporaryDir dir;
  QString url;             // "127.0.0.1:PORT"
  QString a_avi, a_h264;   // channel shown 1: D: control tree, D: recorder tree
  QString b_avi, b_alarm;  // channel shown 2: C: control tree Normal and Alarm
  QString a_late;          // channel shown 1, recorded a few seconds later
  QString decoy_address;   // a copy under the device tag 127.0.0.12
  QDateTime late_created;  // creation time of a_late
  std::string error;       // empty when everything was recorded
};

Recordings* g_rec = nullptr;

QString Native(const QString& drive_path) {
  return NativePath(drive_path);
}

QString DayText() {
  return QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
}

// Records from a client of the simulator: an AVI record file and an alarm
// record file at once, for `ms` milliseconds.
bool Record(uint16_t port, int channel, const std::string& avi, const std::string& alarm, int ms,
            std::string* error) {
  auto host = std::make_shared<qrplat::MemoryWindowHost>(kWidth, kHeight);
  const uint32_t window = qrplat::RegisterWindow(host);
  QRNET_ClientParam p{};
  p.transport = QRNET_TRANSPORT_RTSP_TCP;
  p.view_flag = 1;
  p.channel = channel;
  p.video_window = window;
  p.stream_option = 1;
  std::snprintf(p.address, sizeof p.address, "127.0.0.1:%u", unsigned(port));
  const uint32_t handle = QRNET_ClientStart(&p);
  bool ok = handle != 0 && host->WaitPresents(5, 15000);
  if (ok && !avi.empty()) ok = QRNET_ClientStartRecord(handle, avi.c_str(), 0) == 1;
  if (ok && !alarm.empty()) ok = QRNET_ClientStartAlarmRecord(handle, alarm.c_str(), 0) == 1;
  if (ok) qrplat::SleepMs(uint32_t(ms));
  if (handle != 0) {
    QRNET_ClientStopRecord(handle);
    QRNET_ClientStopAlarmRecord(handle);
    QRNET_ClientStop(handle);
  }
  qrplat::UnregisterWindow(window);
  if (!ok) *error = "recording from the simulator failed";
  return ok;
}

QDateTime CreationTime(const QString& drive_path) {
  const int slash = int(drive_path.lastIndexOf(u'\\'));
  for (const qrplat::DirEntry& e :
       qrplat::ListDirectory(drive_path.left(slash + 1).toStdString() + "*.*")) {
    if (QString::fromStdString(e.name) == drive_path.mid(slash + 1)) {
      return QDateTime::fromSecsSinceEpoch(e.creation_time);
    }
  }
  return {};
}

void Copy(const QString& from, const QString& to) {
  const QString native = Native(to);
  QDir().mkpath(QFileInfo(native).path());
  QFile::copy(Native(from), native);
}

class RecordingEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    App();
    setenv("QRPLAT_AUDIO", "null", 1);
    g_rec = new Recordings;
    Recordings& r = *g_rec;
    const QString root = r.dir.path();
    for (const char* d : {"c", "d", "e"}) QDir(root).mkpath(QLatin1String(d));
    const QString map = QStringLiteral("C=%1/c:fixed;D=%1/d:network;E=%1/e:removable").arg(root);
    setenv("QRPLAT_DRIVES", map.toUtf8().constData(), 1);
    qrplat::ReloadDriveMap();
    // No settings file: the replay snapshots go to C:\Capture.
    setenv("QUORVEX_SETTINGS", (root + QStringLiteral("/Quorvex.conf")).toUtf8().constData(), 1);
    QRNET_Startup(0, 0, nullptr, 0);
    QRNET_SetWaitTime(5, 1, 1);

    devicesim::Config cfg;
    cfg.width = kWidth;
    cfg.height = kHeight;
    cfg.fps = kFps;
    cfg.gop = kFps;
    cfg.audio = devicesim::AudioCodec::kPcma;
    cfg.session_timeout = std::chrono::milliseconds(0);
    if (!device_.Start(cfg, 0)) {
      r.error = "simulator: " + device_.Error();
      return;
    }
    r.url = QStringLiteral("127.0.0.1:%1").arg(device_.Port());

    // Two cameras' channels at once, each into a record file and an alarm
    // record file, under the automatic record names.
    const qrplat::LocalTime now = qrplat::GetLocalTime();
    r.a_avi = QString::fromStdString(AutomaticRecordPath(QStringLiteral("D:\\"), r.url, 0, now));
    r.a_h264 =
        QString(r.a_avi).replace(QStringLiteral("D:\\Record\\"), QStringLiteral("D:\\QR_Record\\"));
    r.a_h264.replace(QStringLiteral(".avi"), QStringLiteral(".h264"));
    r.b_avi = QString::fromStdString(AutomaticRecordPath(QStringLiteral("C:\\"), r.url, 1, now));
    r.b_alarm = QString(r.b_avi).replace(QStringLiteral("\\Normal\\"), QStringLiteral("\\Alarm\\"));
    r.b_alarm.replace(QStringLiteral(".avi"), QStringLiteral(".h264"));
    std::string error_a, error_b;
    std::thread other([&] {
      Record(device_.Port(), 1, r.b_avi.toStdString(), r.b_alarm.toStdString(), 4000, &error_b);
    });
    Record(device_.Port(), 0, r.a_avi.toStdString(), r.a_h264.toStdString(), 4000, &error_a);
    other.join();
    if (!error_a.empty() || !error_b.empty()) {
      r.error = error_a + error_b;
      return;
    }
    qrplat::SleepMs(1100);
    r.a_late = QString::fromStdString(
        AutomaticRecordPath(QStringLiteral("D:\\"), r.url, 0, qrplat::GetLocalTime()));
    if (!Record(device_.Port(), 0, r.a_late.toStdString(), std::string(), 2500, &r.error)) return;
    r.late_created = CreationTime(r.a_late);
    device_.Stop();

    // Hand-made names next to them. One with another device tag (a valid
    // name), then names that must never match.
    const QString day_folder = QStringLiteral("D:\\Record\\Normal\\") + DayText() + u'\\';
    const QString tail = r.a_avi.mid(r.a_avi.lastIndexOf(u')') + 1);  // "_1_2024_..."
    r.decoy_address = day_folder + QStringLiteral("(127.0.0.12_554)") + tail;
    Copy(r.a_avi, r.decoy_address);
    for (const QString& bad :
         {day_folder + QStringLiteral("127.0.0.1_554_1_nothing.avi"),
          day_folder + QStringLiteral("(127.0.0.1_554)_x_2024.avi"),
          day_folder + QStringLiteral("(127.0.0.1_554).avi"),
          day_folder + QStringLiteral("readme.txt"),
          QStringLiteral("D:\\Record\\Normal\\") + DayText() + QStringLiteral("-old\\") +
              r.a_avi.mid(r.a_avi.lastIndexOf(u'\\') + 1),
          QStringLiteral("E:\\Record\\Normal\\") + DayText() + u'\\' +
              r.a_avi.mid(r.a_avi.lastIndexOf(u'\\') + 1),
          QStringLiteral("D:\\QR_Record\\Normal\\") + DayText() + QStringLiteral("\\") +
              r.a_avi.mid(r.a_avi.lastIndexOf(u'\\') + 1)}) {
      Copy(r.a_avi, bad);
    }
    for (const QString& p : {r.a_avi, r.a_h264, r.b_avi, r.b_alarm, r.a_late, r.decoy_address}) {
      if (!QFile::exists(Native(p))) r.error += "missing " + p.toStdString() + "; ";
    }
  }
  void TearDown() override {
    device_.Stop();
    QRNET_Cleanup();
    delete g_rec;
    g_rec = nullptr;
  }

 private:
  devicesim::Device device_;
};

::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new RecordingEnvironment);

// The frame number in the picture the video area shows.
std::optional<uint32_t> ShownFrame(CReplayDlg& dialog) {
  QImage image = dialog.videoArea()->lastFrame();
  if (image.isNull()) return std::nullopt;
  image = image.scaled(kWidth, kHeight, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
              .convertToFormat(QImage::Format_RGB32);
  return devicesim::frame_code::DecodeBgrx(image.constBits(), int(image.bytesPerLine()), kWidth,
                                           kHeight);
}

class ReplayDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(g_rec, nullptr);
    ASSERT_EQ(g_rec->error, "");
    dialog_ = std::make_unique<CReplayDlg>(1);
    dialog_->setMessageSink([this](QWidget*, const QString& text) { messages_ << text; });
    dialog_->setShellOpener([this](const QUrl& url) {
      opened_ << url;
      return true;
    });
    dialog_->resize(1000, 720);
    dialog_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
  }
  void TearDown() override {
    dialog_.reset();
    QFile::remove(SettingsFilePath());
  }

  template <class W>
  W* Control(int id) {
    W* w = dialog_->findChild<W*>(QStringLiteral("ctl%1").arg(id));
    EXPECT_NE(w, nullptr) << id;
    return w;
  }
  void Click(int id) {
    auto* b = Control<QAbstractButton>(id);
    QTest::mouseClick(b, Qt::LeftButton, Qt::NoModifier, b->rect().center());
  }
  // Runs a search and returns the File Name column.
  QStringList Search() {
    QSignalSpy done(dialog_.get(), &CReplayDlg::searchFinished);
    Click(1005);
    EXPECT_TRUE(PumpUntil([&] { return done.count() > 0; }));
    QStringList names;
    auto* list = Control<CSortListCtrl>(1002);
    for (int r = 0; r < list->rowCount(); ++r) names << list->rowTexts(r).value(1);
    return names;
  }
  // Plays row `row` by a double click on it.
  void PlayRow(int row) {
    auto* list = Control<CSortListCtrl>(1002);
    list->scrollTo(list->model()->index(row, 1));
    const QRect cell = list->visualRect(list->model()->index(row, 1));
    // A press on the row, then the double click as the window system
    // delivers it.
    QTest::mousePress(list->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(cell.center()),
                    list->viewport()->mapToGlobal(QPointF(cell.center())), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list->viewport(), &dbl);
    QTest::mouseRelease(list->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
  }
  // Waits until the shown frame number satisfies pred; returns it.
  template <class Pred>
  std::optional<uint32_t> WaitFrame(Pred pred, int timeout_ms = 10000) {
    std::optional<uint32_t> n;
    PumpUntil(
        [&] {
          n = ShownFrame(*dialog_);
          return n && pred(*n);
        },
        timeout_ms);
    return n && pred(*n) ? n : std::nullopt;
  }
  // The picture once it stands still (the same frame 300 ms apart); nothing
  // when it keeps changing for a few seconds.
  std::optional<uint32_t> StandingFrame() {
    for (int i = 0; i < 10; ++i) {
      const auto a = FrameAfter(0);
      const auto b = FrameAfter(300);
      if (a && a == b) return a;
    }
    return std::nullopt;
  }
  // The frame shown after `ms` more milliseconds.
  std::optional<uint32_t> FrameAfter(int ms) {
    QTest::qWait(ms);
    return ShownFrame(*dialog_);
  }

  std::unique_ptr<CReplayDlg> dialog_;
  QStringList messages_;
  QList<QUrl> opened_;
};

TEST_F(ReplayDialogTest, SearchListsTheRecordingsOfTheChosenDrivesInOrder) {
  const Recordings& r = *g_rec;
  // Drives offered: the fixed and the network drive, not the removable one.
  auto* first = Control<QComboBox>(1014);
  auto* last = Control<QComboBox>(1015);
  ASSERT_EQ(first->count(), 2);
  EXPECT_EQ(first->itemText(0), QStringLiteral("C:\\"));
  EXPECT_EQ(last->currentText(), QStringLiteral("D:\\"));

  // Recorder tree first, then the control tree's normal and alarm folders;
  // drive by drive; names in order.
  EXPECT_EQ(Search(),
            (QStringList{r.a_h264, r.b_avi, r.decoy_address, r.a_avi, r.a_late, r.b_alarm}));
  auto* list = Control<CSortListCtrl>(1002);
  const QStringList row = list->rowTexts(1);
  EXPECT_EQ(row.value(0), QStringLiteral("2"));
  EXPECT_EQ(row.value(2), QStringLiteral("2"));
  EXPECT_EQ(row.value(3), QStringLiteral("Normal"));
  EXPECT_EQ(list->rowTexts(5).value(3), QStringLiteral("Alarm"));
  const QDateTime created =
      QDateTime::fromString(row.value(4), QStringLiteral("yyyyMMdd HH:mm:ss"));
  const QDateTime written =
      QDateTime::fromString(row.value(5), QStringLiteral("yyyyMMdd HH:mm:ss"));
  ASSERT_TRUE(created.isValid());
  EXPECT_GE(created.secsTo(written), 3);  // four seconds of recording

  // One drive.
  last->setCurrentIndex(0);
  EXPECT_EQ(Search(), (QStringList{r.b_avi, r.b_alarm}));
  last->setCurrentIndex(1);
  first->setCurrentIndex(1);
  EXPECT_EQ(Search(), (QStringList{r.a_h264, r.decoy_address, r.a_avi, r.a_late}));
  first->setCurrentIndex(0);

  // Channel, address and kind.
  Control<QComboBox>(1009)->setCurrentIndex(2);
  EXPECT_EQ(Search(), (QStringList{r.b_avi, r.b_alarm}));
  Control<QComboBox>(1009)->setCurrentIndex(1);
  EXPECT_EQ(Search(), (QStringList{r.a_h264, r.decoy_address, r.a_avi, r.a_late}));
  Control<QComboBox>(1009)->setCurrentIndex(0);
  Control<QLineEdit>(1012)->setText(QStringLiteral("127.0.0.1"));
  EXPECT_EQ(Search(), (QStringList{r.a_h264, r.b_avi, r.a_avi, r.a_late, r.b_alarm}));
  Control<QLineEdit>(1012)->setText(QStringLiteral("127.0.0.12"));
  EXPECT_EQ(Search(), (QStringList{r.decoy_address}));
  Control<QLineEdit>(1012)->clear();
  Control<QComboBox>(1016)->setCurrentIndex(2);
  EXPECT_EQ(Search(), (QStringList{r.b_alarm}));
  Control<QComboBox>(1016)->setCurrentIndex(1);
  EXPECT_EQ(Search(), (QStringList{r.a_h264, r.b_avi, r.decoy_address, r.a_avi, r.a_late}));
  Control<QComboBox>(1016)->setCurrentIndex(0);

  // Time range, both ends inclusive: from the later recording's creation
  // second on; and up to the second before it.
  ASSERT_TRUE(r.late_created.isValid());
  Control<QTimeEdit>(1006)->setTime(r.late_created.time());
  EXPECT_EQ(Search(), (QStringList{r.decoy_address, r.a_late}));
  Control<QTimeEdit>(1006)->setTime(QTime(0, 0));
  Control<QTimeEdit>(1007)->setTime(r.late_created.time().addSecs(-1));
  EXPECT_EQ(Search(), (QStringList{r.a_h264, r.b_avi, r.a_avi, r.b_alarm}));
  // Days without recordings.
  Control<QTimeEdit>(1007)->setTime(QTime(23, 59, 59));
  Control<QDateEdit>(1003)->setDate(QDate::currentDate().addDays(-3));
  Control<QDateEdit>(1004)->setDate(QDate::currentDate().addDays(-1));
  EXPECT_EQ(Search(), QStringList{});
  EXPECT_TRUE(messages_.isEmpty()) << messages_.join(u'|').toStdString();
}

TEST_F(ReplayDialogTest, WrongDriveOrTimeOrderIsReportedAndKeepsTheList) {
  EXPECT_EQ(Search().size(), 6);
  Control<QComboBox>(1014)->setCurrentIndex(1);
  Control<QComboBox>(1015)->setCurrentIndex(0);
  Click(1005);
  Control<QComboBox>(1014)->setCurrentIndex(0);
  Control<QComboBox>(1015)->setCurrentIndex(1);
  Control<QTimeEdit>(1006)->setTime(QTime(23, 59, 59));
  Control<QTimeEdit>(1007)->setTime(QTime(0, 0, 0));
  Click(1005);
  EXPECT_EQ(messages_, (QStringList{QStringLiteral("End drive should be after start drive."),
                                    QStringLiteral("End time should be after start time.")}));
  EXPECT_FALSE(dialog_->searching());
  EXPECT_EQ(Control<CSortListCtrl>(1002)->rowCount(), 6);
}

TEST_F(ReplayDialogTest, ASecondSearchReplacesTheFirstAndClosingDuringOneIsClean) {
  QSignalSpy done(dialog_.get(), &CReplayDlg::searchFinished);
  // The click returns before the scan's rows are listed: the scan runs on
  // the dialog's worker and its rows arrive through the event loop.
  Control<QPushButton>(1005)->click();
  EXPECT_TRUE(dialog_->searching());
  EXPECT_EQ(Control<CSortListCtrl>(1002)->rowCount(), 0);
  EXPECT_EQ(done.count(), 0);
  Control<QComboBox>(1016)->setCurrentIndex(2);
  Click(1005);
  ASSERT_TRUE(PumpUntil([&] { return !dialog_->searching() && done.count() > 0; }));
  QTest::qWait(50);
  auto* list = Control<CSortListCtrl>(1002);
  ASSERT_EQ(list->rowCount(), 1);
  EXPECT_EQ(list->rowTexts(0).value(1), g_rec->b_alarm);
  Click(1005);
  dialog_.reset();  // joins the worker
}

TEST_F(ReplayDialogTest, PlayingAFoundFileShowsItsPicturesAndTheControlsDriveIt) {
  const QStringList names = Search();
  const int row = int(names.indexOf(g_rec->a_avi));
  ASSERT_GE(row, 0);
  PlayRow(row);
  const uint32_t handle = dialog_->fileHandle();
  ASSERT_NE(handle, 0u) << messages_.join(u'|').toStdString();
  EXPECT_EQ(Control<QLabel>(1028)->text(), g_rec->a_avi);
  const int total = dialog_->totalSeconds();
  EXPECT_GE(total, 3);
  EXPECT_EQ(Control<QSlider>(1017)->maximum(), total);
  EXPECT_EQ(dialog_->findChild<CPlayPane*>(QStringLiteral("play_pane"))->total(), uint32_t(total));
  EXPECT_EQ(Control<QLabel>(1025)->text(),
            QStringLiteral("00:00/00:%1").arg(total, 2, 10, QChar(u'0')));
  EXPECT_FALSE(dialog_->soundOn());

  // Pictures, in increasing order.
  const auto f1 = WaitFrame([](uint32_t) { return true; });
  ASSERT_TRUE(f1);
  const auto f2 = WaitFrame([&](uint32_t n) { return n > *f1; });
  ASSERT_TRUE(f2) << *f1;

  // Pause: the picture stays.
  Click(1022);
  EXPECT_TRUE(dialog_->paused());
  const auto p1 = StandingFrame();
  ASSERT_TRUE(p1);
  // Single step: one picture per press.
  Click(1024);
  EXPECT_EQ(WaitFrame([&](uint32_t n) { return n != *p1; }), *p1 + 1);
  Click(1024);
  EXPECT_EQ(WaitFrame([&](uint32_t n) { return n != *p1 + 1; }), *p1 + 2);
  EXPECT_EQ(FrameAfter(400), *p1 + 2);

  // Seek through the play pane while paused: one picture from the key frame
  // at or before the second clicked (a key frame every second).
  auto* pane = dialog_->findChild<CPlayPane*>(QStringLiteral("play_pane"));
  auto click_pane = [&](int second) {
    const int x = int((second + 0.5) * pane->width() / total);
    QTest::mouseClick(pane, Qt::LeftButton, Qt::NoModifier, QPoint(x, pane->height() / 2));
    // The pane posts its message to the dialog.
    return PumpUntil([&] { return pane->position() == uint32_t(second); });
  };
  Click(1022);
  EXPECT_TRUE(click_pane(0));
  const auto start = WaitFrame([&](uint32_t n) { return n < *p1; });
  ASSERT_TRUE(start) << "no picture from the start";
  EXPECT_TRUE(click_pane(2));
  EXPECT_EQ(QRNET_ReplayCurTime(handle), 2);
  const auto at2 = WaitFrame([&](uint32_t n) { return n != *start; });
  ASSERT_TRUE(at2);
  EXPECT_GE(*at2, *start + kFps);
  EXPECT_LE(*at2, *start + 2 * kFps);

  // Continue: pictures run again; the timer moves the position.
  Click(1021);
  EXPECT_FALSE(dialog_->paused());
  EXPECT_TRUE(WaitFrame([&](uint32_t n) { return n > *at2 + 5; }));
  EXPECT_TRUE(PumpUntil([&] { return Control<QSlider>(1017)->value() >= 2; }));

  // Speed: one step per press, within -4..4.
  Click(1018);
  EXPECT_EQ(QRNET_GetSpeed(handle), 1);
  Click(1019);
  Click(1019);
  EXPECT_EQ(QRNET_GetSpeed(handle), -1);
  Click(1018);
  EXPECT_EQ(QRNET_GetSpeed(handle), 0);

  // Sound on and off.
  Click(1023);
  EXPECT_TRUE(dialog_->soundOn());
  Click(1023);
  EXPECT_FALSE(dialog_->soundOn());

  // Stop.
  Click(1013);
  EXPECT_EQ(dialog_->fileHandle(), 0u);
  EXPECT_EQ(QRNET_ReplayTotalTime(handle), 0);  // closed
  EXPECT_EQ(Control<QLabel>(1025)->text(), QStringLiteral("00:00/00:00"));
  EXPECT_EQ(Control<QSlider>(1017)->value(), 0);
  EXPECT_EQ(pane->position(), 0u);
  EXPECT_TRUE(dialog_->videoArea()->lastFrame().isNull());
  // The buttons do nothing without a file.
  for (int id : {1018, 1019, 1020, 1021, 1022, 1024, 1023}) Click(id);
  EXPECT_TRUE(opened_.isEmpty());
  EXPECT_TRUE(messages_.isEmpty()) << messages_.join(u'|').toStdString();
}

TEST_F(ReplayDialogTest, DraggingTheSliderPausesAndReleasingResumesUnlessPaused) {
  ASSERT_TRUE(dialog_->OpenFile(g_rec->b_avi));
  const uint32_t handle = dialog_->fileHandle();
  ASSERT_TRUE(WaitFrame([](uint32_t) { return true; }));
  auto* slider = Control<QSlider>(1017);

  slider->setSliderDown(true);
  slider->setSliderPosition(1);
  EXPECT_TRUE(dialog_->dragging());
  EXPECT_EQ(QRNET_ReplayCurTime(handle), 1);
  EXPECT_EQ(Control<QLabel>(1025)->text().left(6), QStringLiteral("00:01/"));
  const auto held = StandingFrame();  // paused while held
  ASSERT_TRUE(held);
  slider->setSliderDown(false);
  EXPECT_FALSE(dialog_->dragging());
  EXPECT_TRUE(WaitFrame([&](uint32_t n) { return n > *held + 3; }));

  // After the pause button, releasing does not resume.
  Click(1022);
  slider->setSliderDown(true);
  slider->setSliderPosition(0);
  slider->setSliderDown(false);
  EXPECT_TRUE(StandingFrame());
}

TEST_F(ReplayDialogTest, SnapshotLandsAtTheReplayPathAndOpensTheDayFolderOncePerFolder) {
  ASSERT_TRUE(dialog_->OpenFile(g_rec->a_avi));
  ASSERT_TRUE(WaitFrame([](uint32_t) { return true; }));
  Click(1022);

  // Without a settings key: C:\Capture\<day>.
  const QString day_folder = Native(QStringLiteral("C:\\Capture\\") + DayText());
  Click(1020);
  QDir folder(day_folder);
  ASSERT_TRUE(PumpUntil([&] { return !folder.entryList({QStringLiteral("*.jpg")}).isEmpty(); }));
  const QStringList shots = folder.entryList({QStringLiteral("*.jpg")});
  ASSERT_EQ(shots.size(), 1);
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{4}(_\\d\\d){5}_-?\\d+\\.jpg$"))
                  .match(shots[0])
                  .hasMatch())
      << shots[0].toStdString();
  // The snapshot is a picture of the file.
  QImage shot;
  ASSERT_TRUE(PumpUntil([&] { return shot.load(folder.filePath(shots[0])); }));
  shot = shot.convertToFormat(QImage::Format_RGB32);
  EXPECT_TRUE(devicesim::frame_code::DecodeBgrx(shot.constBits(), int(shot.bytesPerLine()),
                                                shot.width(), shot.height()));
  EXPECT_EQ(opened_, QList<QUrl>{QUrl::fromLocalFile(day_folder)});

  // The same folder again: nothing more is opened.
  QTest::qWait(20);
  Click(1020);
  ASSERT_TRUE(PumpUntil([&] { return folder.entryList({QStringLiteral("*.jpg")}).size() == 2; }));
  EXPECT_EQ(opened_.size(), 1);

  // A capture folder from the settings: "<CapturePath>Capture\<day>".
  ASSERT_TRUE(WriteSettings(QStringLiteral("D:\\"), QStringLiteral("D:\\Pics\\"), 300));
  Click(1020);
  const QString other = Native(QStringLiteral("D:\\Pics\\Capture\\") + DayText());
  ASSERT_TRUE(
      PumpUntil([&] { return !QDir(other).entryList({QStringLiteral("*.jpg")}).isEmpty(); }));
  EXPECT_EQ(opened_.size(), 2);
  EXPECT_EQ(opened_.value(1), QUrl::fromLocalFile(other));
}

TEST_F(ReplayDialogTest, FilesThatCannotBePlayedFailCleanly) {
  // A file deleted between the search and the double click.
  const Recordings& r = *g_rec;
  const QString gone =
      QString(r.decoy_address).replace(QStringLiteral(".avi"), QStringLiteral("_gone.avi"));
  Copy(r.a_avi, gone);
  const QStringList names = Search();
  const int row = int(names.indexOf(gone));
  ASSERT_GE(row, 0);
  ASSERT_TRUE(QFile::remove(Native(gone)));
  PlayRow(row);
  EXPECT_EQ(dialog_->fileHandle(), 0u);
  EXPECT_EQ(messages_, QStringList{QStringLiteral("Play Failed")});

  // A file that is no recording, and a playing file replaced by a failure.
  const QString junk = Native(QStringLiteral("C:\\junk.avi"));
  QFile f(junk);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(QByteArray(4096, 'j'));
  f.close();
  ASSERT_TRUE(dialog_->OpenFile(r.b_avi));
  EXPECT_FALSE(dialog_->OpenFile(junk));
  EXPECT_EQ(dialog_->fileHandle(), 0u);
  EXPECT_EQ(messages_.size(), 2);
  QFile::remove(junk);
}

TEST_F(ReplayDialogTest, OpenButtonDroppedFilesAndTheEnlargedView) {
  // The file-open dialog gives a native path.
  dialog_->setFileChooser([](QWidget*) { return Native(g_rec->b_alarm); });
  Click(1000);
  ASSERT_NE(dialog_->fileHandle(), 0u);
  EXPECT_TRUE(WaitFrame([](uint32_t) { return true; }));

  // A dropped file replaces it.
  const uint32_t before = dialog_->fileHandle();
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(Native(g_rec->a_h264))});
  QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(dialog_->videoArea(), &enter);
  ASSERT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(dialog_->videoArea(), &drop);
  ASSERT_NE(dialog_->fileHandle(), 0u);
  EXPECT_NE(dialog_->fileHandle(), before);
  EXPECT_EQ(Control<QLabel>(1028)->text(), Native(g_rec->a_h264));
  const auto f1 = WaitFrame([](uint32_t) { return true; });
  ASSERT_TRUE(f1);

  // Double click: the video area moves into the maximised pane and goes on
  // showing pictures at its new size; closing the pane brings it back.
  CMyStatic* video = dialog_->videoArea();
  QWidget* home = video->parentWidget();
  const QSize small = video->size();
  QTest::mouseDClick(video, Qt::LeftButton);
  ASSERT_TRUE(dialog_->videoPaneVisible());
  EXPECT_NE(video->parentWidget(), home);
  EXPECT_TRUE(video->window()->isMaximized());
  ASSERT_TRUE(PumpUntil([&] {
    const QImage img = video->lastFrame();
    return video->size() != small && img.size() == video->size();
  }));
  EXPECT_TRUE(WaitFrame([&](uint32_t n) { return n > *f1; }));
  video->window()->close();
  EXPECT_FALSE(dialog_->videoPaneVisible());
  EXPECT_EQ(video->parentWidget(), home);
  EXPECT_TRUE(video->isVisible());
  EXPECT_TRUE(messages_.isEmpty()) << messages_.join(u'|').toStdString();
}

TEST_F(ReplayDialogTest, TextsInBothLanguages) {
  EXPECT_EQ(Control<QPushButton>(1005)->text(), QStringLiteral("Search"));
  EXPECT_EQ(Control<QLabel>(8005)->text(), QStringLiteral("Start Disk"));
  EXPECT_EQ(Control<QComboBox>(1009)->itemText(0), QStringLiteral("All"));
  EXPECT_EQ(Control<QComboBox>(1009)->count(), 9);
  EXPECT_EQ(Control<QComboBox>(1008)->itemText(0), QStringLiteral("IP Address"));
  EXPECT_EQ(Control<CHoverButton>(1024)->tooltip().text(), QStringLiteral("Step"));
  auto* header = Control<CSortListCtrl>(1002);
  EXPECT_EQ(header->horizontalHeaderItem(1)->text(), QStringLiteral("File Name"));

  CReplayDlg chinese(0);
  auto ctl = [&](int id) { return chinese.findChild<QWidget*>(QStringLiteral("ctl%1").arg(id)); };
  EXPECT_EQ(static_cast<QPushButton*>(ctl(1005))->text(), QString::fromUtf8("查询"));
  EXPECT_EQ(static_cast<QComboBox*>(ctl(1016))->itemText(1), QString::fromUtf8("正常"));
  EXPECT_EQ(static_cast<CHoverButton*>(ctl(1018))->tooltip().text(), QString::fromUtf8("快进"));
  EXPECT_EQ(static_cast<CSortListCtrl*>(ctl(1002))->horizontalHeaderItem(0)->text(),
            QString::fromUtf8("编号"));
  EXPECT_EQ(chinese.windowTitle(), QStringLiteral(" Playback"));
}

}  // namespace
}  // namespace quorpane
