// The record file searches over a drive map of temporary directories filled
// with hand-made files: the control's day search text byte for byte, and the
// replay dialog's tree scan with its filters, order and name rules.
#include "quorpane/record_search.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "qrplat/drives.h"
#include "qt_test_util.h"

namespace quorpane {
namespace {

class RecordSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::App();
    ASSERT_TRUE(dir_.isValid());
    for (const char* d : {"c", "d", "e", "f"}) QDir(dir_.path()).mkpath(QLatin1String(d));
    const QString map =
        QStringLiteral("C=%1/c:fixed;D=%1/d:network;E=%1/e:removable;F=%1/f").arg(dir_.path());
    setenv("QRPLAT_DRIVES", map.toUtf8().constData(), 1);
    qrplat::ReloadDriveMap();
  }
  void TearDown() override {
    unsetenv("QRPLAT_DRIVES");
    qrplat::ReloadDriveMap();
  }

  // Creates "X:\a\b" (a folder when the name ends in '\'), last written at
  // `written` when given.
  void Make(const QString& drive_path, const QDateTime& written = {}) {
    QString rel = drive_path.mid(3);
    rel.replace(u'\\', u'/');
    const QString native = dir_.path() + u'/' + drive_path.at(0).toLower() + u'/' + rel;
    if (native.endsWith(u'/')) {
      ASSERT_TRUE(QDir().mkpath(native));
      return;
    }
    ASSERT_TRUE(QDir().mkpath(QFileInfo(native).path()));
    QFile f(native);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("x");
    ASSERT_TRUE(f.flush());  // a write on close would move the time again
    if (written.isValid()) {
      ASSERT_TRUE(f.setFileTime(written, QFileDevice::FileModificationTime));
    }
  }

  QTemporaryDir dir_;
};

QDateTime At(int y, int m, int d, int h = 12, int min = 0) {
  return QDateTime(QDate(y, m, d), QTime(h, min));
}

// The request text names a day and a kind; the answer lists the .h264 files
// of that day's folders (and the previous day's, for recordings that ran past
// midnight) in one text.
TEST_F(RecordSearchTest, DaySearchTextByteForByte) {
  const QDateTime mar7 = At(2024, 3, 7, 9, 5);
  Make(QStringLiteral("C:\\Record\\Normal\\2024-03-07\\c1.h264"), mar7);
  Make(QStringLiteral("D:\\Record\\Normal\\2024-03-07\\(cam_554)_1_2024_03_07_09_05_02.h264"),
       mar7);
  Make(QStringLiteral("D:\\Record\\Normal\\2024-03-07\\(cam_554)_1_2024_03_07_09_05_02.avi"), mar7);
  Make(QStringLiteral("D:\\Record\\Normal\\2024-03-07\\UPPER.H264"), mar7);
  Make(QStringLiteral("D:\\Record\\Normal\\2024-03-07\\folder.h264\\"));
  // Previous day's folder: only what was written on the 7th or later.
  Make(QStringLiteral("D:\\Record\\Normal\\2024-03-06\\late.h264"), At(2024, 3, 7, 0, 10));
  Make(QStringLiteral("D:\\Record\\Normal\\2024-03-06\\early.h264"), At(2024, 3, 6, 23, 0));
  Make(QStringLiteral("D:\\Record\\Normal\\2024-03-05\\older.h264"), mar7);
  // Numbers, not texts: 2024-3-7 is the same day.
  Make(QStringLiteral("D:\\Record\\Normal\\2024-3-7\\short.h264"), mar7);
  // Names off the day scheme.
  Make(QStringLiteral("D:\\Record\\Normal\\2024-03-07-old\\old.h264"), mar7);
  Make(QStringLiteral("D:\\Record\\Normal\\backup\\b.h264"), mar7);
  Make(QStringLiteral("D:\\Record\\Normal\\2024-02-30\\nodate.h264"), mar7);
  Make(QStringLiteral("D:\\Record\\Normal\\notes.h264"), mar7);
  Make(QStringLiteral("D:\\Record\\Alarm\\2024-03-07\\(cam_554)_1_al.h264"), mar7);
  // Not searched: a removable drive, the recorder's own tree.
  Make(QStringLiteral("E:\\Record\\Normal\\2024-03-07\\e.h264"), mar7);
  Make(QStringLiteral("D:\\QR_Record\\Normal\\2024-03-07\\q.h264"), mar7);

  const std::string normal =
      ";C:\\Record\\Normal\\2024-03-07\\c1.h264;"
      "D:\\Record\\Normal\\2024-03-06\\late.h264;"
      "D:\\Record\\Normal\\2024-03-07\\(cam_554)_1_2024_03_07_09_05_02.h264;"
      "D:\\Record\\Normal\\2024-03-07\\UPPER.H264;"
      "D:\\Record\\Normal\\2024-3-7\\short.h264;";
  const std::string alarm = "D:\\Record\\Alarm\\2024-03-07\\(cam_554)_1_al.h264;";
  EXPECT_EQ(SearchRecordFile(QStringLiteral("2024-03-07-1")), normal);
  EXPECT_EQ(SearchRecordFile(QStringLiteral("2024-3-7-1")), normal);
  EXPECT_EQ(SearchRecordFile(QStringLiteral("2024-03-07-2")), ";" + alarm);
  // Both kinds: drive by drive, normal before alarm.
  EXPECT_EQ(SearchRecordFile(QStringLiteral("2024-03-07-3")), normal + alarm);
  EXPECT_EQ(SearchRecordFile(QStringLiteral("2024-03-07-0")), normal + alarm);

  // Nothing found still answers; a day that does not exist finds nothing.
  EXPECT_EQ(SearchRecordFile(QStringLiteral("2025-01-01-3")), ";");
  EXPECT_EQ(SearchRecordFile(QStringLiteral("2024-02-30-1")), ";");
  // Malformed requests get no answer at all.
  EXPECT_EQ(SearchRecordFile(QStringLiteral("2024-03-07")), std::nullopt);
  EXPECT_EQ(SearchRecordFile(QStringLiteral("")), std::nullopt);
  EXPECT_EQ(SearchRecordFile(QStringLiteral("2024/03/07/1")), std::nullopt);
  // 29 characters are read, 30 are not.
  EXPECT_EQ(SearchRecordFile(QStringLiteral("2024-03-07-1").leftJustified(29)), normal);
  EXPECT_EQ(SearchRecordFile(QStringLiteral("2024-03-07-1").leftJustified(30)), std::nullopt);
}

TEST_F(RecordSearchTest, DaySearchOnTheFirstOfAMonthSkipsTheMonthBefore) {
  Make(QStringLiteral("C:\\Record\\Normal\\2024-02-29\\feb.h264"), At(2024, 3, 1));
  Make(QStringLiteral("C:\\Record\\Normal\\2024-03-01\\mar.h264"), At(2024, 3, 1));
  EXPECT_EQ(SearchRecordFile(QStringLiteral("2024-03-01-1")),
            ";C:\\Record\\Normal\\2024-03-01\\mar.h264;");
}

TEST(RecordNameTest, DayFoldersChannelsAndTags) {
  int y = 0, m = 0, d = 0;
  EXPECT_TRUE(ParseDayFolderName("2024-03-07", &y, &m, &d));
  EXPECT_EQ(y * 10000 + m * 100 + d, 20240307);
  EXPECT_TRUE(ParseDayFolderName("2024-3-7", &y, &m, &d));
  EXPECT_EQ(y * 10000 + m * 100 + d, 20240307);
  for (const char* bad : {"2024-03-07-old", "backup", "2024-03", "2024--07", "2024-03-x7",
                          "2024-13-01", "2024-02-30", "12345-01-01", "2024-003-07", "-03-07"}) {
    EXPECT_FALSE(ParseDayFolderName(bad, &y, &m, &d)) << bad;
  }

  EXPECT_EQ(RecordFileChannel("(10.0.0.5_554)_1_2024_03_07_09_05_02.avi"), 1);
  EXPECT_EQ(RecordFileChannel("(cam1_554)_12_x.h264"), 12);
  // The last ')' counts, so a tag holding one does not shift the fields.
  EXPECT_EQ(RecordFileChannel("(a)b)_3_x.avi"), 3);
  for (const char* bad : {"10.0.0.5_554_1_2024.avi", "(10.0.0.5_554).avi", "(x)_1.avi",
                          "(x)__1.avi", "(x)_a1_2.avi", "(x)_-1_2.avi", "(x)_9999999999_2.avi"}) {
    EXPECT_EQ(RecordFileChannel(bad), std::nullopt) << bad;
  }

  EXPECT_EQ(RecordFileDeviceTag("(10.0.0.5_554)_1_2024.avi"), "10.0.0.5");
  EXPECT_EQ(RecordFileDeviceTag("(10.0.0.51_554)_1_2024.avi"), "10.0.0.51");
  EXPECT_EQ(RecordFileDeviceTag("(cam1_554)_1_x.avi"), "cam1");
  EXPECT_EQ(RecordFileDeviceTag("no_tag_1.avi"), std::nullopt);
  EXPECT_EQ(RecordFileDeviceTag("(ab"), std::nullopt);
}

// The dialog's scan: both trees, both kinds, the filters and the order.
TEST_F(RecordSearchTest, TreeScanFiltersAndOrder) {
  const QDate today = QDate::currentDate();
  const QString day = today.toString(QStringLiteral("yyyy-MM-dd"));
  const QString yesterday = today.addDays(-1).toString(QStringLiteral("yyyy-MM-dd"));
  const QStringList made = {
      QStringLiteral("D:\\Record\\Normal\\%1\\(10.0.0.5_554)_1_b.avi").arg(day),
      QStringLiteral("D:\\Record\\Normal\\%1\\(10.0.0.5_554)_2_a.avi").arg(day),
      QStringLiteral("D:\\Record\\Normal\\%1\\(10.0.0.5_554)_1_z.h264").arg(day),
      QStringLiteral("D:\\Record\\Normal\\%1\\(10.0.0.51_554)_1_c.avi").arg(day),
      QStringLiteral("D:\\Record\\Alarm\\%1\\(10.0.0.5_554)_1_al.h264").arg(day),
      QStringLiteral("C:\\QR_Record\\Normal\\%1\\(10.0.0.5_554)_1_q.h264").arg(yesterday),
      QStringLiteral("C:\\QR_Record\\Alarm\\%1\\(10.0.0.5_554)_3_qa.h264").arg(day),
      QStringLiteral("C:\\QR_Record\\Normal\\%1\\(10.0.0.5_554)_1_never.avi").arg(day),
      QStringLiteral("C:\\Record\\Normal\\%1\\(10.0.0.5_554)_1_c.avi").arg(day),
      QStringLiteral("D:\\Record\\Normal\\%1\\no_paren_1_x.avi").arg(day),
      QStringLiteral("D:\\Record\\Normal\\%1\\(10.0.0.5_554)_x_1.avi").arg(day),
      QStringLiteral("D:\\Record\\Normal\\%1-old\\(10.0.0.5_554)_1_o.avi").arg(day),
      QStringLiteral("D:\\Record\\Normal\\%1\\notes.txt").arg(day),
  };
  for (const QString& p : made) Make(p);

  RecordSearchQuery q;
  q.drives = {'C', 'D'};
  q.start = QDateTime(today.addDays(-1), QTime(0, 0));
  q.end = QDateTime(today, QTime(23, 59, 59));
  auto paths = [](const std::vector<RecordFileEntry>& found) {
    QStringList out;
    for (const auto& e : found) out << e.path;
    return out;
  };
  const std::vector<RecordFileEntry> all = ScanRecordFiles(q);
  EXPECT_EQ(paths(all),
            (QStringList{made[5], made[6], made[8], made[2], made[3], made[0], made[1], made[4]}));
  ASSERT_EQ(all.size(), 8u);
  EXPECT_EQ(all[1].kind, RecordKind::kAlarm);
  EXPECT_EQ(all[1].channel, 3);
  EXPECT_EQ(all[2].kind, RecordKind::kNormal);
  EXPECT_LE(std::abs(all[0].created.secsTo(QDateTime::currentDateTime())), 60);

  q.channel = 2;
  EXPECT_EQ(paths(ScanRecordFiles(q)), QStringList{made[1]});
  q.channel = 0;
  q.address = QStringLiteral("10.0.0.51");
  EXPECT_EQ(paths(ScanRecordFiles(q)), QStringList{made[3]});
  q.address.clear();
  q.normal = false;
  EXPECT_EQ(paths(ScanRecordFiles(q)), (QStringList{made[6], made[4]}));
  q.normal = true;
  q.alarm = false;
  q.drives = {'D'};
  EXPECT_EQ(paths(ScanRecordFiles(q)), (QStringList{made[2], made[3], made[0], made[1]}));
  // Only today's folders.
  q.drives = {'C'};
  q.start = QDateTime(today, QTime(0, 0));
  EXPECT_EQ(paths(ScanRecordFiles(q)), QStringList{made[8]});
  // Creation times outside the range.
  q.end = QDateTime::currentDateTime().addSecs(-3600);
  if (q.end.date() == today) {
    EXPECT_TRUE(ScanRecordFiles(q).empty());
  }
  // A cancelled scan stops.
  std::atomic<bool> cancel{true};
  q.end = QDateTime(today, QTime(23, 59, 59));
  EXPECT_TRUE(ScanRecordFiles(q, &cancel).empty());
}

}  // namespace
}  // namespace quorpane
