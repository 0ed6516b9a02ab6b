// The qr-play program headless: record files written here (an AVI record
// through the library's writer, an alarm record from the test-side writer)
// played until a number of pictures or the end of the file, the saved
// picture, the exit codes.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include "picture_checks.h"
#include "qt_test_util.h"
#include "record_file_writer.h"

namespace {

using qrview::testing::FrameNumber;

constexpr int kW = 320, kH = 240, kFps = 25;

struct PlayRun {
  int code = -1;
  QString out;
  QString err;
};

PlayRun Play(const QStringList& args) {
  QProcess p;
  p.start(QStringLiteral(QR_PLAY_PATH), args);
  PlayRun r;
  if (!p.waitForFinished(120000)) return r;
  r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
  r.out = QString::fromUtf8(p.readAllStandardOutput());
  r.err = QString::fromUtf8(p.readAllStandardError());
  return r;
}

const std::vector<quornet::test::EncodedFrame>& Frames() {
  static const auto frames = [] {
    av_log_set_level(AV_LOG_ERROR);
    return quornet::test::EncodeFrames(true, kW, kH, 2 * kFps, kFps);
  }();
  return frames;
}

TEST(QrPlayProgram, PlaysRecordFilesHeadlessAndSavesThePicture) {
  quorpane::testing::App();
  QTemporaryDir dir;
  const std::string avi = dir.filePath("rec.avi").toStdString();
  ASSERT_TRUE(quornet::test::WriteAvi(avi, Frames(), true, kW, kH, kFps, true));
  const std::string alarm = dir.filePath("rec.alarm").toStdString();
  ASSERT_TRUE(quornet::test::WriteBytes(
      alarm, quornet::test::AlarmFile(true, kW, kH, kFps, 1,
                                      quornet::test::MakeRecords(Frames(), true, kFps, 0, true),
                                      quornet::test::IndexMode::kWritten)));
  for (const std::string& file : {avi, alarm}) {
    SCOPED_TRACE(file);
    const QString png = dir.filePath("last.png");
    QFile::remove(png);
    const PlayRun r = Play({QString::fromStdString(file), "--frames", "20", "--save-png", png});
    ASSERT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("frames shown: ")) << r.out.toStdString();
    const QImage picture(png);
    ASSERT_EQ(picture.size(), QSize(kW, kH));
    const auto frame = FrameNumber(picture);
    ASSERT_TRUE(frame.has_value());
    EXPECT_GE(*frame, 19u);
  }

  // Asked for more pictures than the file has, from one second in and at
  // double speed: ends with the file.
  const PlayRun r = Play({QString::fromStdString(avi), "--frames", "1000", "--start", "1",
                          "--speed", "1", "--timeout", "30"});
  ASSERT_EQ(r.code, 0) << r.out.toStdString() << r.err.toStdString();
  EXPECT_TRUE(r.out.contains("(end of file)")) << r.out.toStdString();
}

TEST(QrPlayProgram, UnplayableFilesAndUsageErrorsExitWithTwo) {
  quorpane::testing::App();
  QTemporaryDir dir;
  const QString junk = dir.filePath("junk.bin");
  QFile f(junk);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(QByteArray(4096, 'x'));
  f.close();
  EXPECT_EQ(Play({junk, "--frames", "5"}).code, 2);
  EXPECT_EQ(Play({dir.filePath("missing.avi")}).code, 2);
  EXPECT_EQ(Play({}).code, 2);
  EXPECT_EQ(Play({junk, "--speed", "5"}).code, 2);
  const PlayRun help = Play({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_TRUE(help.out.contains("Space pause")) << help.out.toStdString();
}

}  // namespace
