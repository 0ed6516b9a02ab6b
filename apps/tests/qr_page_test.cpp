// qr-page as a child process on the offscreen platform: test pages against
// the built-in simulated cameras, script errors, the quit-after limit and the
// order and arguments of control events.
#include <gtest/gtest.h>

#include <QDate>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "picture_checks.h"

namespace qrpage {
namespace {

struct Result {
  int code = -1;
  QString out;
  QString err;
};

QString Page(const char* name) {
  return QStringLiteral(QR_PAGES_DIR "/%1").arg(QLatin1String(name));
}

// Runs qr-page with `arguments` in an environment of its own (settings and
// drive C in `dir`, null sound card, offscreen platform).
Result RunPage(const QTemporaryDir& dir, const QStringList& arguments, int wait_ms = 120000) {
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  env.insert(QStringLiteral("QRPLAT_AUDIO"), QStringLiteral("null"));
  env.insert(QStringLiteral("QUORVEX_SETTINGS"), dir.filePath(QStringLiteral("quorvex.conf")));
  env.insert(QStringLiteral("QRPLAT_DRIVES"),
             QStringLiteral("C=%1:fixed").arg(dir.filePath(QStringLiteral("c"))));
  env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
  env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
  // Run by hand, the child still gets the suppressions of the toolkit's
  // own allocations.
  if (!env.contains(QStringLiteral("LSAN_OPTIONS")))
    env.insert(QStringLiteral("LSAN_OPTIONS"), QStringLiteral("suppressions=" QR_LSAN_SUPP));
  p.setProcessEnvironment(env);
  p.start(QStringLiteral(QR_PAGE_PATH), arguments);
  Result r;
  if (!p.waitForFinished(wait_ms)) {
    p.kill();
    p.waitForFinished();
    r.err = QStringLiteral("qr-page did not finish");
    return r;
  }
  r.out = QString::fromUtf8(p.readAllStandardOutput());
  r.err = QString::fromUtf8(p.readAllStandardError());
  r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
  return r;
}

std::string Describe(const Result& r) {
  return ("exit " + QString::number(r.code) + "\nstdout:\n" + r.out + "\nstderr:\n" + r.err)
      .toStdString();
}

TEST(QrPage, ViewWaitsForTheLinkAndTakesASnapshot) {
  QTemporaryDir dir;
  const Result r = RunPage(dir, {"--sim", "1", "--sim-size", "640x360", "--size", "640x360",
                                 "--quit-after", "60", Page("view_snapshot.js"), dir.path()});
  ASSERT_EQ(r.code, 0) << Describe(r);
  EXPECT_TRUE(r.out.contains("StartView 1\n")) << Describe(r);
  EXPECT_TRUE(r.out.contains("LinkState 5 0\n")) << Describe(r);
  EXPECT_TRUE(r.out.contains("screenshot true\n")) << Describe(r);

  // The window shows the camera's picture, unscaled.
  const QImage window(dir.filePath("window.png"));
  ASSERT_EQ(window.size(), QSize(640, 360));
  qrview::testing::ExpectColourBars(window);
  const auto frame = qrview::testing::FrameNumber(window);
  ASSERT_TRUE(frame.has_value());
  EXPECT_GE(*frame, 1u);

  // The control's own snapshot of the decoded picture.
  EXPECT_TRUE(r.out.contains("CaptureBMP 1\n")) << Describe(r);
  const QImage snapshot(dir.filePath("snapshot.bmp"));
  ASSERT_EQ(snapshot.size(), QSize(640, 360));
  qrview::testing::ExpectColourBars(snapshot);
}

// Recording through the page: the file is one ffprobe reads as H.264 of the
// camera's picture size.
TEST(QrPage, RecordsTheViewIntoAFileOthersCanRead) {
  QTemporaryDir dir;
  const QString path = dir.filePath("clip.h264");
  const Result r = RunPage(dir, {"--sim", "1", "--sim-size", "640x360", "--quit-after", "60",
                                 Page("record_replay.js"), path, "record-only"});
  ASSERT_EQ(r.code, 0) << Describe(r);
  EXPECT_TRUE(r.out.contains("StartRecord 1\n")) << Describe(r);
  QProcess probe;
  probe.start("ffprobe", {"-v", "error", "-select_streams", "v:0", "-count_frames", "-show_entries",
                          "stream=codec_name,width,height,nb_read_frames", "-of", "csv=p=0", path});
  ASSERT_TRUE(probe.waitForFinished(60000));
  const QStringList fields =
      QString::fromUtf8(probe.readAllStandardOutput()).trimmed().split(QLatin1Char(','));
  ASSERT_EQ(fields.size(), 4) << fields.join(',').toStdString();
  EXPECT_EQ(fields[0], "h264");
  EXPECT_EQ(fields[1], "640");
  EXPECT_EQ(fields[2], "360");
  EXPECT_GE(fields[3].toInt(), 25);  // three seconds at 25 pictures a second, with margin
}

// The recording played back in the control: opened, its length, a seek, the
// position after it, the replayed picture.
TEST(QrPage, RecordsStopsOpensTheRecordingAndSeeks) {
  QTemporaryDir dir;
  const QString path = dir.filePath("clip.h264");
  const QString shot = dir.filePath("replay.png");
  const Result r = RunPage(dir, {"--sim", "1", "--sim-size", "640x360", "--size", "640x360",
                                 "--quit-after", "60", Page("record_replay.js"), path, shot});
  ASSERT_EQ(r.code, 0) << Describe(r);
  EXPECT_TRUE(r.out.contains("OpenFile true\nGetFileTime ")) << Describe(r);
  EXPECT_TRUE(r.out.contains("SetReplayTime true\nGetReplayTime ")) << Describe(r);
  EXPECT_TRUE(r.out.contains("CloseFile true\n")) << Describe(r);
  const QImage picture(shot);
  ASSERT_EQ(picture.size(), QSize(640, 360));
  qrview::testing::ExpectColourBars(picture);
}

TEST(QrPage, EventsArriveInOrderWithTheirArguments) {
  QTemporaryDir dir;
  const Result r = RunPage(dir, {"--sim", "1", "--quit-after", "60", Page("events.js")});
  ASSERT_EQ(r.code, 0) << Describe(r);
  QStringList lines = r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);

  // The conversions before the view starts.
  const QStringList before = {
      "url string:127.0.0.1:",  // the address follows
      "channel number:1",
      "ShowMDRegion number:2",
      "CloseFile boolean:false",
      "GetMDRegionSensitive number:-1",
      "SetVertBlank number:-1",
      "unknown undefined:undefined",
      "has StartView true",
      "channel -1 number:4294967295",
      "Language \"2\" number:2",
      "User 42 string:42",
      "User null string:",
      "same true",
      "PTZCtrl(1) threw TypeError",
      "put unknown threw TypeError",
      "call StartView",
      "returned StartView number:1",
  };
  ASSERT_GE(lines.size(), before.size()) << Describe(r);
  for (int i = 0; i < before.size(); ++i) {
    EXPECT_TRUE(lines[i].startsWith(before[i]))
        << lines[i].toStdString() << " vs " << before[i].toStdString();
  }
  lines = lines.mid(before.size());

  // Link states while connecting, then 0; every one for ocxid 42.
  int i = 0;
  while (i < lines.size() && lines[i].startsWith("event LinkState number:42 number:") &&
         !lines[i].endsWith(" number:0")) {
    ++i;
  }
  ASSERT_LT(i, lines.size()) << Describe(r);
  EXPECT_EQ(lines[i++], "event LinkState number:42 number:0") << Describe(r);

  // Events fired by a call arrive during the call, before it returns.
  const QStringList after = {
      "call VideoParamGet",
      "event VPNotify number:42 number:128 number:128 number:128",
      "returned VideoParamGet number:1",
      "call AddCoverPosity",
      "event AddCoveryNotify number:42 string:0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0",
      "returned AddCoverPosity undefined:undefined",
      "call SearchRecordFile",
      "event SearchRecordFileNotify number:42 string:;",
      "returned SearchRecordFile undefined:undefined",
      "call SearchRecordFile malformed",  // no event for a malformed request
      "returned SearchRecordFile malformed",
      "StopView done",
  };
  ASSERT_EQ(lines.mid(i), after) << Describe(r);
}

TEST(QrPage, ScriptErrorsExit3WithFileAndLine) {
  QTemporaryDir dir;
  struct Case {
    const char* page;
    const char* where;
    const char* ran;  // output before the error
  };
  for (const Case c : {Case{"script_error.js", "script_error.js:3:", "before\n"},
                       Case{"timer_error.js", "timer_error.js:4:", "in timer\n"},
                       Case{"syntax_error.js", "syntax_error.js:3:", ""}}) {
    SCOPED_TRACE(c.page);
    const Result r = RunPage(dir, {"--quit-after", "30", Page(c.page)});
    EXPECT_EQ(r.code, 3) << Describe(r);
    EXPECT_TRUE(r.err.contains(QLatin1String(c.where))) << Describe(r);
    EXPECT_EQ(r.out, QLatin1String(c.ran)) << Describe(r);
  }
}

TEST(QrPage, APageThatNeverQuitsExits4) {
  QTemporaryDir dir;
  const Result r = RunPage(dir, {"--grid", "2x1", "--quit-after", "2", Page("never_quits.js")});
  EXPECT_EQ(r.code, 4) << Describe(r);
  EXPECT_EQ(r.out, "waiting\n");
  EXPECT_TRUE(r.err.contains("did not quit within 2 s")) << Describe(r);

  // Also while a modal dialog of the control runs its own loop; nothing of
  // the page runs after the limit.
  const Result modal = RunPage(dir, {"--quit-after", "2", Page("modal_dialog.js")});
  EXPECT_EQ(modal.code, 4) << Describe(modal);
  EXPECT_EQ(modal.out, "opening\n");
}

// The pages in examples/ as the README runs them.
TEST(QrPage, ExamplesRunAgainstTheSimulatedCameras) {
  QTemporaryDir dir;
  const QString shot = dir.filePath("grid.png");
  const Result grid = RunPage(dir, {"--grid", "2x2", "--sim", "4", "--quit-after", "90",
                                    QStringLiteral(QR_EXAMPLES_DIR "/grid.js"), "--shot", shot});
  ASSERT_EQ(grid.code, 0) << Describe(grid);
  for (int i = 0; i < 4; ++i)
    EXPECT_TRUE(grid.out.contains(QStringLiteral("camera %1: connected\n").arg(i)))
        << Describe(grid);
  // The stopped camera's control left the connected state.
  const qsizetype lost = grid.out.lastIndexOf("camera 3: connected\n");
  EXPECT_TRUE(grid.out.indexOf(
                  QRegularExpression("camera 3: (disconnected|reconnecting|connecting)\n"), lost) >
              lost)
      << Describe(grid);
  const QImage picture(shot);
  EXPECT_GE(picture.width(), 2 * 352);
  EXPECT_GE(picture.height(), 2 * 288);

  // No recordings on the day asked for: the page says so and quits.
  const Result replay = RunPage(
      dir, {"--quit-after", "30", QStringLiteral(QR_EXAMPLES_DIR "/replay.js"), "2001-02-03"});
  EXPECT_EQ(replay.code, 0) << Describe(replay);
  EXPECT_EQ(replay.out, "0 recordings of 2001-02-03\nnothing to play\n") << Describe(replay);

  // A sample recorded into yesterday's folder is found and played to its end.
  const Result sample =
      RunPage(dir, {"--sim", "1", "--quit-after", "60",
                    QStringLiteral(QR_EXAMPLES_DIR "/replay.js"), "--record-sample"});
  EXPECT_EQ(sample.code, 0) << Describe(sample);
  const QString yesterday = QDate::currentDate().addDays(-1).toString(Qt::ISODate);
  const QString file = QStringLiteral("C:\\Record\\Normal\\%1\\sample.h264").arg(yesterday);
  EXPECT_TRUE(sample.out.startsWith(QStringLiteral("recording %1: 1\n").arg(file)))
      << Describe(sample);
  EXPECT_TRUE(sample.out.contains(
      QStringLiteral("1 recordings of %1\n  %2\nplaying %2 (").arg(yesterday, file)))
      << Describe(sample);
  EXPECT_TRUE(sample.out.endsWith("played all\n")) << Describe(sample);
}

// The complete page of docs/control.md, as printed there.
TEST(QrPage, ThePageInTheDocsRuns) {
  QFile doc(QStringLiteral(QR_DOCS_DIR "/control.md"));
  ASSERT_TRUE(doc.open(QIODevice::ReadOnly));
  const QString text = QString::fromUtf8(doc.readAll());
  const qsizetype begin = text.indexOf("```js\n");
  ASSERT_GE(begin, 0);
  const qsizetype end = text.indexOf("\n```", begin + 6);
  ASSERT_GT(end, begin);
  QTemporaryDir dir;
  QFile page(dir.filePath("camera.js"));
  ASSERT_TRUE(page.open(QIODevice::WriteOnly));
  page.write(text.mid(begin + 6, end - begin - 6).toUtf8());
  page.close();

  const Result r = RunPage(dir, {"--sim", "1", "--quit-after", "60", page.fileName()});
  ASSERT_EQ(r.code, 0) << Describe(r);
  EXPECT_TRUE(r.out.contains("camera 1 link state 0\nsnapshot: 1\nrecording: 1\n")) << Describe(r);
}

TEST(QrPage, UsageErrorsExit2) {
  QTemporaryDir dir;
  for (const QStringList& args :
       {QStringList{}, QStringList{"--grid", "0x1", Page("never_quits.js")},
        QStringList{"--size", "big", Page("never_quits.js")}, QStringList{"--bogus", "x.js"},
        QStringList{dir.filePath("missing.js")}}) {
    SCOPED_TRACE(args.join(' ').toStdString());
    EXPECT_EQ(RunPage(dir, args).code, 2);
  }
}

}  // namespace
}  // namespace qrpage
