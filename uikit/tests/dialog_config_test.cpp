// The configuration dialog against a real settings file, a drive map of our
// own and, for Default, a live client of the device simulator on loopback.
#include "quorpane/dialog_config.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRawFont>
#include <QTemporaryDir>
#include <QTest>
#include <QTextLayout>
#include <QTimer>
#include <cstring>

#include "devicesim/device.h"
#include "qrplat/drives.h"
#include "qrplat/thread.h"
#include "qt_test_util.h"
#include "quornet.h"
#include "quorpane/rule_ctrl.h"
#include "quorpane/settings_store.h"

namespace quorpane {
namespace {

using testing::App;
using testing::PumpUntil;

class DialogConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    App();
    ASSERT_TRUE(dir_.isValid());
    for (const char* d : {"c", "d", "e", "f"}) QDir(dir_.path()).mkpath(QLatin1String(d));
    const QString map =
        QStringLiteral("C=%1/c:fixed;D=%1/d:network;E=%1/e:removable;F=%1/f").arg(dir_.path());
    setenv("QRPLAT_DRIVES", map.toUtf8().constData(), 1);
    qrplat::ReloadDriveMap();
    settings_ = dir_.path() + QStringLiteral("/Quorvex.conf");
    setenv("QUORVEX_SETTINGS", settings_.toUtf8().constData(), 1);
  }
  void TearDown() override {
    unsetenv("QUORVEX_SETTINGS");
    unsetenv("QRPLAT_DRIVES");
    qrplat::ReloadDriveMap();
  }

  template <class W>
  static W* Control(CDialogConfig& dialog, int id) {
    W* w = dialog.findChild<W*>(QStringLiteral("ctl%1").arg(id));
    EXPECT_NE(w, nullptr) << id;
    return w;
  }
  static QStringList Drives(CDialogConfig& dialog) {
    QStringList out;
    auto* list = Control<QComboBox>(dialog, 201);
    for (int i = 0; i < list->count(); ++i) out << list->itemText(i);
    return out;
  }
  static QString SelectedDrive(CDialogConfig& dialog) {
    return Control<QComboBox>(dialog, 201)->currentText();
  }
  QByteArray SettingsBytes() const {
    QFile f(settings_);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<none>");
  }

  QTemporaryDir dir_;
  QString settings_;
};

TEST_F(DialogConfigTest, OpeningWithoutSettingsShowsDefaults) {
  CDialogConfig dialog(1);
  dialog.SetParam(0, 300);
  dialog.show();
  EXPECT_EQ(Drives(dialog), (QStringList{"C:\\", "D:\\", "F:\\"}));
  EXPECT_EQ(SelectedDrive(dialog), QStringLiteral("C:\\"));
  EXPECT_EQ(Control<QLineEdit>(dialog, 202)->text(), QStringLiteral("C:\\"));
  EXPECT_FALSE(Control<QLineEdit>(dialog, 202)->isEnabled());
  auto* scale = Control<CRuleCtrl>(dialog, 226);
  EXPECT_EQ(scale->minimum(), 0);
  EXPECT_EQ(scale->maximum(), 40);
  EXPECT_EQ(scale->position(), 6);
  EXPECT_EQ(QFile::exists(settings_), false);  // opening writes nothing
}

TEST_F(DialogConfigTest, OpeningPreselectsTheStoredDriveByExactText) {
  struct Case {
    const char* stored;
    const char* selected;
  };
  for (const Case& c :
       {Case{"D:\\", "D:\\"}, Case{"F:\\", "F:\\"}, Case{"E:\\", "C:\\"},  // removable: not listed
        Case{"d:\\", "C:\\"},                                              // case-sensitive
        Case{"Q:\\", "C:\\"}}) {                                           // no longer present
    WriteSettings(QString::fromLatin1(c.stored), QStringLiteral("D:\\pics"), 100);
    CDialogConfig dialog(1);
    dialog.show();
    EXPECT_EQ(SelectedDrive(dialog), QString::fromLatin1(c.selected)) << c.stored;
    EXPECT_EQ(Control<QLineEdit>(dialog, 202)->text(), QStringLiteral("D:\\pics"));
  }
}

TEST_F(DialogConfigTest, OkStoresTheChosenValuesAndHandsThePerformanceBack) {
  WriteSettings(QStringLiteral("C:\\"), QStringLiteral("C:\\old"), 300);
  CDialogConfig dialog(1);
  dialog.SetParam(0, 300);
  QTimer::singleShot(0, &dialog, [&] {
    Control<QComboBox>(dialog, 201)->setCurrentIndex(1);
    // A click on tick 13 of the scale; the dialog moves the marker on the
    // posted message.
    auto* scale = Control<CRuleCtrl>(dialog, 226);
    QTest::mouseClick(scale, Qt::LeftButton, {}, QPoint(scale->tickX(13), scale->height() - 4));
    ASSERT_TRUE(PumpUntil([&] { return scale->position() == 13; }));
    QTest::mouseClick(Control<QPushButton>(dialog, 204), Qt::LeftButton);
  });
  EXPECT_EQ(dialog.DoModal(), CDialogConfig::kResultOk);
  int32_t value = 0;
  dialog.GetParam(value);
  EXPECT_EQ(value, 650);
  // Exactly the chosen values, read back by every reader.
  EXPECT_EQ(ReadRecordDiskForRecording(), QStringLiteral("D:\\"));
  EXPECT_EQ(ReadCapturePathForSnapshot(), QStringLiteral("C:\\old"));
  EXPECT_EQ(ReadLiveViewPerformance(-5), 650);
  EXPECT_EQ(ReadReplayCaptureFolder(), QStringLiteral("C:\\old\\Capture"));
  const DialogSettings d = ReadDialogSettings();
  EXPECT_EQ(d.record_disk, QStringLiteral("D:\\"));

  // Reopened, the dialog shows what it stored.
  CDialogConfig again(1);
  again.SetParam(0, value);
  again.show();
  EXPECT_EQ(SelectedDrive(again), QStringLiteral("D:\\"));
  EXPECT_EQ(Control<CRuleCtrl>(again, 226)->position(), 13);
}

TEST_F(DialogConfigTest, CancelAndEscapeStoreNothing) {
  WriteSettings(QStringLiteral("C:\\"), QStringLiteral("C:\\keep"), 300);
  const QByteArray before = SettingsBytes();
  for (int how = 0; how < 2; ++how) {
    CDialogConfig dialog(2);
    dialog.SetParam(0, 300);
    QTimer::singleShot(0, &dialog, [&] {
      Control<QComboBox>(dialog, 201)->setCurrentIndex(2);
      Control<CRuleCtrl>(dialog, 226)->setPosition(30);
      if (how == 0) {
        QTest::mouseClick(Control<QPushButton>(dialog, 205), Qt::LeftButton);
      } else {
        QTest::keyClick(&dialog, Qt::Key_Escape);
      }
    });
    EXPECT_EQ(dialog.DoModal(), CDialogConfig::kResultCancel);
    EXPECT_EQ(SettingsBytes(), before);
  }
}

TEST_F(DialogConfigTest, FolderBrowserPutsTheDriveFormIntoTheField) {
  CDialogConfig dialog(1);
  QString title;
  QString start;
  QString answer = dir_.path() + QStringLiteral("/d/snaps");
  dialog.setFolderChooser([&](QWidget* owner, const QString& t, const QString& s) {
    EXPECT_EQ(owner, &dialog);
    title = t;
    start = s;
    return answer;
  });
  dialog.show();
  auto* browse = Control<QPushButton>(dialog, 206);
  auto* field = Control<QLineEdit>(dialog, 202);
  QTest::mouseClick(browse, Qt::LeftButton);
  EXPECT_EQ(title, QStringLiteral("Select path"));
  EXPECT_EQ(start, dir_.path() + QStringLiteral("/c"));  // "C:\" resolved
  EXPECT_EQ(field->text(), QStringLiteral("D:\\snaps"));
  // Nothing chosen, or a folder outside every drive: the field stays.
  answer.clear();
  QTest::mouseClick(browse, Qt::LeftButton);
  answer = QStringLiteral("/proc");
  QTest::mouseClick(browse, Qt::LeftButton);
  EXPECT_EQ(field->text(), QStringLiteral("D:\\snaps"));
}

TEST_F(DialogConfigTest, DefaultWithoutAClientChangesNothing) {
  CDialogConfig dialog(1);
  dialog.SetParam(0, 1000);
  dialog.show();
  QTest::mouseClick(Control<QPushButton>(dialog, 225), Qt::LeftButton);
  EXPECT_EQ(Control<CRuleCtrl>(dialog, 226)->position(), 20);
  // A handle the library does not know answers -1: nothing moves either.
  CDialogConfig stale(1);
  stale.SetParam(0x7FFF0001u, 1000);
  stale.show();
  QTest::mouseClick(Control<QPushButton>(stale, 225), Qt::LeftButton);
  EXPECT_EQ(Control<CRuleCtrl>(stale, 226)->position(), 20);
}

TEST_F(DialogConfigTest, DefaultAsksTheLibraryForTheAutomaticValue) {
  devicesim::Config config;
  config.width = 176;
  config.height = 144;
  config.audio = devicesim::AudioCodec::kNone;
  devicesim::Device device;
  ASSERT_TRUE(device.Start(config)) << device.Error();
  ASSERT_EQ(QRNET_Startup(0, 0, nullptr, 0), 1);
  QRNET_ClientParam param;
  std::memset(&param, 0, sizeof param);
  param.transport = QRNET_TRANSPORT_RTSP_TCP;
  param.channel = 1;
  param.stream_option = 1;
  const std::string address = "127.0.0.1:" + std::to_string(device.Port());
  std::strncpy(param.address, address.c_str(), sizeof param.address - 1);
  const uint32_t handle = QRNET_ClientStart(&param);
  ASSERT_NE(handle, 0u);
  // The automatic value exists once the stream's frame rate is known.
  int32_t automatic = -1;
  for (int i = 0; i < 1000 && automatic == -1; ++i) {
    automatic = QRNET_GetLiveViewPerformance(handle, 1);
    if (automatic == -1) qrplat::SleepMs(10);
  }
  ASSERT_NE(automatic, -1);
  QRNET_SetLiveViewPerformance(handle, 2000);
  ASSERT_EQ(QRNET_GetLiveViewPerformance(handle, 0), 2000);

  CDialogConfig dialog(1);
  dialog.SetParam(handle, 2000);
  dialog.show();
  EXPECT_EQ(Control<CRuleCtrl>(dialog, 226)->position(), 40);
  QTest::mouseClick(Control<QPushButton>(dialog, 225), Qt::LeftButton);
  EXPECT_EQ(Control<CRuleCtrl>(dialog, 226)->position(), automatic / 50);
  // The library went back to its own (automatic) value.
  EXPECT_EQ(QRNET_GetLiveViewPerformance(handle, 0), automatic);
  EXPECT_FALSE(QFile::exists(settings_));  // Default writes nothing

  QRNET_ClientStop(handle);
  QRNET_Cleanup();
  device.Stop();
}

// Pairwise different pictures of the characters of `text` drawn with `font`:
// missing glyphs would all come out as the same empty box.
bool GlyphsAreDistinct(const QString& text, const QFont& font) {
  std::vector<QImage> pictures;
  for (const QChar ch : text) {
    if (ch.isSpace() || ch.isPunct()) continue;
    QImage img(40, 40, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setFont(font);
    p.setPen(Qt::black);
    p.drawText(img.rect(), Qt::AlignCenter, QString(ch));
    p.end();
    for (const QImage& other : pictures) {
      if (other == img) return false;
    }
    pictures.push_back(img);
  }
  return pictures.size() >= 2;
}

// Every glyph of `text` laid out with `font` (fallback fonts included) is a
// real glyph, not the font's "missing" glyph 0.
bool AllGlyphsFound(const QString& text, const QFont& font) {
  QTextLayout layout(text, font);
  layout.beginLayout();
  layout.createLine();
  layout.endLayout();
  for (const QGlyphRun& run : layout.glyphRuns()) {
    for (quint32 index : run.glyphIndexes()) {
      if (index == 0) return false;
    }
  }
  return true;
}

TEST_F(DialogConfigTest, ChineseModeShowsTheChineseTextsAndRendersThem) {
  CDialogConfig dialog(2);
  dialog.show();
  EXPECT_TRUE(dialog.chinese());
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("设置"));
  const std::pair<int, const char*> expected[] = {{207, "录象磁盘: "},
                                                  {208, "抓拍路径:"},
                                                  {213, "播放性能:"},
                                                  {223, "实时性"},
                                                  {224, "流畅性"}};
  for (const auto& [id, text] : expected) {
    EXPECT_EQ(Control<QLabel>(dialog, id)->text(), QString::fromUtf8(text)) << id;
  }
  EXPECT_EQ(Control<QPushButton>(dialog, 225)->text(), QStringLiteral("默认"));
  EXPECT_EQ(Control<QPushButton>(dialog, 204)->text(), QStringLiteral("确定"));
  EXPECT_EQ(Control<QPushButton>(dialog, 205)->text(), QStringLiteral("取消"));

  auto* label = Control<QLabel>(dialog, 207);
  EXPECT_TRUE(AllGlyphsFound(label->text(), label->font()));
  EXPECT_TRUE(GlyphsAreDistinct(QStringLiteral("录象磁盘抓拍路径"), label->font()));
  // The label as drawn in the dialog carries ink.
  const QImage shot = label->grab().toImage();
  int dark = 0;
  for (int y = 0; y < shot.height(); ++y) {
    for (int x = 0; x < shot.width(); ++x) dark += qGray(shot.pixel(x, y)) < 128 ? 1 : 0;
  }
  EXPECT_GT(dark, 20);
}

TEST_F(DialogConfigTest, EnglishTextsForEveryOtherLanguage) {
  for (int32_t language : {0, 1, 3}) {
    CDialogConfig dialog(language);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Configure "));
    EXPECT_EQ(Control<QLabel>(dialog, 207)->text(), QStringLiteral("Record Disk:"));
    EXPECT_EQ(Control<QLabel>(dialog, 208)->text(), QStringLiteral("Capture Path:"));
    EXPECT_EQ(Control<QLabel>(dialog, 213)->text(), QStringLiteral("Live View Performance:"));
    EXPECT_EQ(Control<QLabel>(dialog, 223)->text(), QStringLiteral("Least Delay"));
    EXPECT_EQ(Control<QLabel>(dialog, 224)->text(), QStringLiteral("Best Fluency"));
    EXPECT_EQ(Control<QPushButton>(dialog, 225)->text(), QStringLiteral("Default"));
    EXPECT_EQ(Control<QPushButton>(dialog, 206)->text(), QStringLiteral("..."));
  }
}

}  // namespace
}  // namespace quorpane
