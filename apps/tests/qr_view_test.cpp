// qr-view against the simulated camera with real decoding, in-process: the
// run-to-count mode and the pictures it saves, the link-state text through a
// device outage, and the command line.
#include <gtest/gtest.h>

#include <QAction>
#include <QDir>
#include <QDirIterator>
#include <QImage>
#include <QMouseEvent>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QToolBar>
#include <algorithm>

#include "devicesim/control.h"
#include "devicesim/device.h"
#include "devicesim/frame_code.h"
#include "live_view.h"
#include "options.h"
#include "picture_checks.h"
#include "qt_test_util.h"
#include "quornet.h"
#include "quorpane/video_widget.h"
#include "quorvex/quorvex_ctrl.h"
#include "viewer_app.h"
#include "viewer_window.h"

namespace qrview {
namespace {

using testing::ExpectColourBars;
using testing::FrameNumber;

using quorpane::testing::App;
using quorpane::testing::PumpUntil;

class LibraryEnvironment : public ::testing::Environment {
 public:
  // Windows come and go between tests; only the counting runs end the loop.
  // Settings and drive C of their own, where recordings and snapshots go.
  void SetUp() override {
    qputenv("QUORVEX_SETTINGS", home_.filePath("quorvex.conf").toUtf8());
    qputenv("QRPLAT_DRIVES", ("C=" + home_.filePath("c") + ":fixed").toUtf8());
    App().setQuitOnLastWindowClosed(false);
  }
  void TearDown() override { QRNET_Cleanup(); }

  QTemporaryDir home_;
};

// Files under `dir`, all levels.
QStringList FilesUnder(const QString& dir) {
  QStringList out;
  QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
  while (it.hasNext()) out << it.next();
  return out;
}
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

ParseResult Parse(QStringList args, ViewerOptions* o, QString* message = nullptr) {
  QString unused;
  args.prepend(QStringLiteral("qr-view"));
  return ParseViewerOptions(args, o, message != nullptr ? message : &unused);
}

devicesim::Config SmallCamera() {
  devicesim::Config config;
  config.width = 640;
  config.height = 360;
  return config;
}

// A camera with its control service, which answers the client's event
// subscription at stream start.
struct Camera {
  devicesim::Device device;
  devicesim::ControlService control;
  Camera() { control.Attach(device); }
};

TEST(QrViewOptions, ParsesAndRefusesWhatTheRecordCannotHold) {
  ViewerOptions o;
  ASSERT_EQ(Parse({}, &o), ParseResult::kRun);
  EXPECT_TRUE(o.address.isEmpty());
  EXPECT_EQ(o.channel, 1);
  EXPECT_EQ(o.transport, QRNET_TRANSPORT_RTSP_TCP);
  EXPECT_FALSE(o.counting());

  ASSERT_EQ(Parse({"--address", "rtsp://10.1.2.3:8554/live", "--channel", "5", "--transport", "udp",
                   "--user", "admin", "--pass", "pw", "--save-png", "x.png"},
                  &o),
            ParseResult::kRun);
  EXPECT_EQ(o.address, "10.1.2.3:8554/live");
  EXPECT_EQ(o.channel, 5);
  EXPECT_EQ(o.transport, QRNET_TRANSPORT_RTSP_UDP);
  EXPECT_EQ(o.frames, 50);  // saving implies a counting run

  // Texts at their limits pass; one byte more is refused, counted in UTF-8.
  ASSERT_EQ(Parse({"--user", QString(31, 'u'), "--pass", QString(63, 'p')}, &o), ParseResult::kRun);
  EXPECT_EQ(o.user, QString(31, 'u'));
  EXPECT_EQ(o.password, QString(63, 'p'));
  QString message;
  EXPECT_EQ(Parse({"--user", QString(16, QChar(0x00E9))}, &o, &message), ParseResult::kError);
  EXPECT_TRUE(message.contains("--user"));
  EXPECT_EQ(Parse({"--pass", QString(64, 'p')}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--address", QString(127, 'a')}, &o), ParseResult::kError);

  // --url keeps the whole address: its "rtsp://" selects the standard mode.
  ASSERT_EQ(Parse({"--url", "rtsp://u:p@cam:8554/live/main"}, &o), ParseResult::kRun);
  EXPECT_EQ(o.address, "rtsp://u:p@cam:8554/live/main");
  const QString longest = "rtsp://h/" + QString(117, 'a');
  ASSERT_EQ(Parse({"--url", longest}, &o), ParseResult::kRun);
  EXPECT_EQ(o.address, longest);
  EXPECT_EQ(Parse({"--url", longest + "a"}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--url", "cam:554/live"}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--url", "rtsp://h/x", "--address", "h"}, &o), ParseResult::kError);

  EXPECT_EQ(Parse({"--transport", "http"}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--frames", "0"}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--channel", "-1"}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--size", "big"}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--sim-size", "100x100"}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--bogus"}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--help"}, &o, &message), ParseResult::kExitOk);
  for (const char* name : {"--address", "--url", "--channel", "--transport", "--user", "--pass",
                           "--frames", "--save-png", "--timeout", "--screenshot"}) {
    EXPECT_TRUE(message.contains(name)) << name;
  }
}

TEST(QrViewOptions, LinkStateTexts) {
  EXPECT_EQ(LinkStateText(0), "");
  EXPECT_EQ(LinkStateText(1), "Connecting...");
  EXPECT_EQ(LinkStateText(2), "Connecting..");
  EXPECT_EQ(LinkStateText(3), "Disconnected");
  EXPECT_EQ(LinkStateText(4), "Reconnect");
  // A source that gave up does not try again.
  EXPECT_EQ(LinkStateText(5), "Disconnected");
  EXPECT_EQ(LinkStateText(6), "");
}

// The counting run in-process against a device the test owns, so the frame
// number read from the saved picture can be checked against what the device
// generated.
class CountingRunTest : public ::testing::TestWithParam<uint16_t> {};

TEST_P(CountingRunTest, ShowsTheCameraPictureAndSavesIt) {
  App();
  Camera camera;
  devicesim::Device& device = camera.device;
  ASSERT_TRUE(device.Start(SmallCamera(), 0)) << device.Error();
  QTemporaryDir dir;
  ViewerOptions o;
  o.address = QStringLiteral("127.0.0.1:%1").arg(device.Port());
  o.transport = GetParam();
  o.frames = 40;
  o.timeout_s = 60;
  o.save_png = dir.filePath("last.png");
  o.screenshot = dir.filePath("window.png");

  QString out_text, err_text;
  QTextStream out(&out_text), err(&err_text);
  ASSERT_EQ(RunViewer(o, out, err), 0) << out_text.toStdString() << err_text.toStdString();
  EXPECT_TRUE(out_text.contains("frames shown: ")) << out_text.toStdString();
  EXPECT_TRUE(out_text.contains("link state 1 (Connecting...) at ")) << out_text.toStdString();
  EXPECT_TRUE(out_text.contains("link state 0 at ")) << out_text.toStdString();
  EXPECT_FALSE(out_text.contains("time to first picture: none"));

  // The picture was presented at its own size, the window having taken it.
  QImage picture(o.save_png);
  ASSERT_FALSE(picture.isNull());
  EXPECT_EQ(picture.size(), QSize(640, 360));
  const auto frame = FrameNumber(picture);
  ASSERT_TRUE(frame.has_value());
  EXPECT_TRUE(device.CaptureTimeMs(*frame).has_value()) << "frame " << *frame;
  ExpectColourBars(picture);

  const QImage window(o.screenshot);
  ASSERT_FALSE(window.isNull());
  EXPECT_EQ(window.size(), QSize(640, 360));
  // Connected: no text over the picture. The window was grabbed just after
  // the picture was taken, so a newer picture may have arrived in between.
  const auto shown = FrameNumber(window);
  ASSERT_TRUE(shown.has_value());
  EXPECT_GE(*shown, *frame);
  EXPECT_LE(*shown, *frame + 3);
}

INSTANTIATE_TEST_SUITE_P(Transports, CountingRunTest,
                         ::testing::Values(uint16_t{QRNET_TRANSPORT_RTSP_TCP},
                                           uint16_t{QRNET_TRANSPORT_RTSP_UDP}),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return info.param == QRNET_TRANSPORT_RTSP_TCP ? "Tcp" : "Udp";
                         });

// The window through a device outage: the link-state text appears over the
// video while the device is away, the library reconnects on its own when the
// device is back, and the text goes again.
TEST(QrViewWindow, ShowsTheLinkStateThroughAnOutageAndRecovers) {
  App();
  Camera camera;
  devicesim::Device& device = camera.device;
  ASSERT_TRUE(device.Start(SmallCamera(), 0)) << device.Error();
  const uint16_t port = device.Port();

  ViewerWindow window;
  window.resize(640, 360);
  window.show();
  std::vector<int> reports;
  QObject::connect(&window.live(), &LiveView::linkStateReported, &window,
                   [&](int s) { reports.push_back(s); });
  auto seen = [&](int state) {
    return std::find(reports.begin(), reports.end(), state) != reports.end();
  };
  // The control draws the link state over the picture; what it drew last.
  quorvex::CQuorvexCtrl* control = window.control();
  auto painted = [&] {
    control->repaint();
    return control->paintedLinkText();
  };

  ViewerOptions o;
  o.address = QStringLiteral("127.0.0.1:%1").arg(port);
  o.user = QStringLiteral("admin");
  ASSERT_TRUE(window.live().Start(o));
  // The options went to the control's properties.
  EXPECT_EQ(control->getUrl(), o.address);
  EXPECT_EQ(control->getChannel(), 1u);
  EXPECT_EQ(control->getUser(), "admin");
  auto* video = window.video();
  ASSERT_TRUE(PumpUntil([&] { return video->presentCount() >= 10; }, 60000));
  EXPECT_EQ(window.live().linkState(), 0);
  EXPECT_TRUE(PumpUntil([&] { return painted().isEmpty(); }, 10000));

  // A short reconnect pause keeps the test quick; the library reads it on
  // each use.
  QRNET_SetWaitTime(5, -1, 1);
  device.Stop();
  ASSERT_TRUE(PumpUntil([&] { return seen(3) && seen(4); }, 60000));
  EXPECT_TRUE(PumpUntil([&] { return !painted().isEmpty(); }, 10000));

  ASSERT_TRUE(device.Start(SmallCamera(), port)) << device.Error();
  const uint64_t before = video->presentCount();
  ASSERT_TRUE(PumpUntil([&] { return video->presentCount() >= before + 10; }, 60000));
  EXPECT_EQ(window.live().linkState(), 0);
  EXPECT_TRUE(PumpUntil([&] { return painted().isEmpty(); }, 10000));
  const auto frame = FrameNumber(video->lastFrame());
  ASSERT_TRUE(frame.has_value());
  EXPECT_TRUE(device.CaptureTimeMs(*frame).has_value());  // a picture of the new session

  // Double click toggles full screen.
  QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(10, 10), QPointF(10, 10), Qt::LeftButton,
                    Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&window, &click);
  EXPECT_TRUE(window.windowState() & Qt::WindowFullScreen);
  QCoreApplication::sendEvent(&window, &click);
  EXPECT_FALSE(window.windowState() & Qt::WindowFullScreen);

  QRNET_SetWaitTime(5, -1, 10);
  // Closing stops the client while it streams; the device goes after it.
  window.close();
  EXPECT_EQ(window.live().handle(), 0u);
}

// The toolbar's record and snapshot go through the control into the
// folders of the settings (drive C by default): a snapshot of the picture and
// a recording ffprobe reads.
TEST(QrViewWindow, ToolbarRecordsAndTakesSnapshots) {
  App();
  Camera camera;
  devicesim::Device& device = camera.device;
  ASSERT_TRUE(device.Start(SmallCamera(), 0)) << device.Error();
  const QString drive = qEnvironmentVariable("QRPLAT_DRIVES").mid(2).chopped(6);
  QDir(drive).removeRecursively();

  ViewerWindow window;
  window.resize(640, 400);
  window.show();
  ASSERT_TRUE(window.toolBar()->isVisible());
  auto action = [&](const QString& text) -> QAction* {
    for (QAction* a : window.toolBar()->actions())
      if (a->text() == text) return a;
    return nullptr;
  };
  for (const char* text : {"Record", "Snapshot", "Settings...", "Replay..."})
    ASSERT_NE(action(text), nullptr) << text;

  ViewerOptions o;
  o.address = QStringLiteral("127.0.0.1:%1").arg(device.Port());
  ASSERT_TRUE(window.live().Start(o));
  auto* video = window.video();
  ASSERT_TRUE(PumpUntil([&] { return video->presentCount() >= 5; }, 60000));

  action("Snapshot")->trigger();
  // The library's encoder thread writes the next decoded picture; the file
  // appears before its last byte is written.
  PumpUntil([&] { return !FilesUnder(drive).isEmpty(); }, 20000);
  ASSERT_EQ(FilesUnder(drive).size(), 1) << FilesUnder(drive).join(' ').toStdString();
  const QString snapshot = FilesUnder(drive)[0];
  QImage picture;
  PumpUntil([&] { return picture.load(snapshot) && !picture.isNull(); }, 20000);
  ASSERT_EQ(picture.size(), QSize(640, 360)) << snapshot.toStdString();
  ExpectColourBars(picture);

  action("Record")->trigger();
  EXPECT_TRUE(action("Record")->isChecked());
  const uint64_t before = video->presentCount();
  ASSERT_TRUE(PumpUntil([&] { return video->presentCount() >= before + 50; }, 60000));
  action("Record")->trigger();
  EXPECT_FALSE(action("Record")->isChecked());
  QStringList files = FilesUnder(drive);
  files.removeAll(snapshot);
  ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();

  QProcess probe;
  probe.start("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries",
                          "stream=codec_name,width,height", "-of", "csv=p=0", files[0]});
  ASSERT_TRUE(probe.waitForFinished(60000));
  EXPECT_EQ(QString::fromUtf8(probe.readAllStandardOutput()).trimmed(), "h264,640,360")
      << files[0].toStdString();
  window.live().Stop();
}

}  // namespace
}  // namespace qrview
