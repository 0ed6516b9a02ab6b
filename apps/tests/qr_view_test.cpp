// qr-view against the simulated camera with real decoding: the run-to-count
// mode in-process and as the program, the pictures it saves, the link-state
// text through a device outage, and the command line.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QImage>
#include <QMouseEvent>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include "devicesim/device.h"
#include "devicesim/frame_code.h"
#include "live_view.h"
#include "options.h"
#include "qt_test_util.h"
#include "quornet.h"
#include "quorpane/video_widget.h"
#include "viewer_app.h"
#include "viewer_window.h"

namespace qrview {
namespace {

using quorpane::testing::App;
using quorpane::testing::PumpUntil;

class LibraryEnvironment : public ::testing::Environment {
 public:
  // Windows come and go between tests; only the counting runs end the loop.
  void SetUp() override { App().setQuitOnLastWindowClosed(false); }
  void TearDown() override { QRNET_Cleanup(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new LibraryEnvironment);

ParseResult Parse(QStringList args, ViewerOptions* o, QString* message = nullptr) {
  QString unused;
  args.prepend(QStringLiteral("qr-view"));
  return ParseViewerOptions(args, o, message != nullptr ? message : &unused);
}

// The frame number coded into the top band of a saved picture.
std::optional<uint32_t> FrameNumber(const QImage& image) {
  const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
  return devicesim::frame_code::DecodeBgrx(rgb.constBits(), int(rgb.bytesPerLine()), rgb.width(),
                                           rgb.height());
}

// Checks the eight colour bars (75 % white, yellow, cyan, green, magenta,
// red, blue, black) a quarter down the picture, each channel high or low.
void ExpectColourBars(const QImage& image) {
  static const int kOn[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
  const int y = image.height() / 4;
  for (int k = 0; k < 8; ++k) {
    const int x = (2 * k + 1) * image.width() / 16;
    const QRgb p = image.pixel(x, y);
    const int channels[3] = {qRed(p), qGreen(p), qBlue(p)};
    for (int c = 0; c < 3; ++c) {
      if (kOn[k][c]) {
        EXPECT_GT(channels[c], 150) << "bar " << k << " channel " << c;
      } else {
        EXPECT_LT(channels[c], 50) << "bar " << k << " channel " << c;
      }
    }
  }
}

// A loopback port with nothing listening.
uint16_t ClosedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(fd);
  return ntohs(a.sin_port);
}

devicesim::Config SmallCamera() {
  devicesim::Config config;
  config.width = 640;
  config.height = 360;
  return config;
}

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
  QRNET_ClientParam param;
  FillClientParam(o, 77, -1, &param);
  EXPECT_EQ(std::string(param.user), std::string(31, 'u'));
  EXPECT_EQ(std::string(param.password), std::string(63, 'p'));
  EXPECT_EQ(param.video_window, 77u);
  EXPECT_EQ(param.notify_window, 77u);
  EXPECT_EQ(param.notify_message, 1124u);
  EXPECT_EQ(param.view_flag, 1);
  EXPECT_EQ(param.stream_option, 1);
  EXPECT_EQ(param.live_view_performance, -1);
  QString message;
  EXPECT_EQ(Parse({"--user", QString(16, QChar(0x00E9))}, &o, &message), ParseResult::kError);
  EXPECT_TRUE(message.contains("--user"));
  EXPECT_EQ(Parse({"--pass", QString(64, 'p')}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--address", QString(127, 'a')}, &o), ParseResult::kError);

  EXPECT_EQ(Parse({"--transport", "http"}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--frames", "0"}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--channel", "-1"}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--size", "big"}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--sim-size", "100x100"}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--bogus"}, &o), ParseResult::kError);
  EXPECT_EQ(Parse({"--help"}, &o, &message), ParseResult::kExitOk);
  for (const char* name : {"--address", "--channel", "--transport", "--user", "--pass", "--frames",
                           "--save-png", "--timeout", "--screenshot"}) {
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
  devicesim::Device device;
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
  EXPECT_EQ(FrameNumber(window), frame);  // connected: no text over the picture
}

INSTANTIATE_TEST_SUITE_P(Transports, CountingRunTest,
                         ::testing::Values(uint16_t{QRNET_TRANSPORT_RTSP_TCP},
                                           uint16_t{QRNET_TRANSPORT_RTSP_UDP}),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                           return info.param == QRNET_TRANSPORT_RTSP_TCP ? "Tcp" : "Udp";
                         });

// The program itself with its built-in camera, as scripts/run.sh runs it
// without a display: both transports, both codecs.
TEST(QrViewProgram, HeadlessRunWithTheBuiltInCamera) {
  QTemporaryDir dir;
  struct Case {
    const char* transport;
    const char* codec;
  };
  for (const Case c : {Case{"tcp", "h264"}, Case{"udp", "mjpeg"}}) {
    SCOPED_TRACE(c.transport);
    const QString png = dir.filePath(QStringLiteral("%1.png").arg(c.transport));
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(QStringLiteral(QR_VIEW_PATH),
            {"--frames", "30", "--save-png", png, "--transport", c.transport, "--sim-size",
             "640x360", "--sim-codec", c.codec, "--timeout", "60"});
    ASSERT_TRUE(p.waitForFinished(120000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    ASSERT_EQ(p.exitStatus(), QProcess::NormalExit);
    ASSERT_EQ(p.exitCode(), 0) << out.toStdString() << p.readAllStandardError().toStdString();
    EXPECT_TRUE(out.contains("simulated camera: rtsp://127.0.0.1:")) << out.toStdString();
    EXPECT_TRUE(out.contains("saved picture: ")) << out.toStdString();

    const QImage picture(png);
    ASSERT_EQ(picture.size(), QSize(640, 360));
    const auto frame = FrameNumber(picture);
    ASSERT_TRUE(frame.has_value());
    EXPECT_GE(*frame, 1u);
    EXPECT_LT(*frame, 100000u);
    ExpectColourBars(picture);
  }
}

TEST(QrViewProgram, TimesOutWithoutPictures) {
  QTemporaryDir dir;
  const QString png = dir.filePath("none.png");
  QProcess p;
  p.start(QStringLiteral(QR_VIEW_PATH),
          {"--address", QStringLiteral("127.0.0.1:%1").arg(ClosedPort()), "--frames", "5",
           "--timeout", "2", "--save-png", png});
  ASSERT_TRUE(p.waitForFinished(60000));
  const QString out = QString::fromUtf8(p.readAllStandardOutput());
  EXPECT_EQ(p.exitCode(), 1) << out.toStdString();
  EXPECT_TRUE(out.contains("frames shown: 0")) << out.toStdString();
  EXPECT_TRUE(out.contains("time to first picture: none")) << out.toStdString();
  EXPECT_TRUE(QString::fromUtf8(p.readAllStandardError()).contains("timed out after 2 s"));
  EXPECT_FALSE(QFile::exists(png));

  // Usage errors are told apart from a run without pictures.
  QProcess bad;
  bad.start(QStringLiteral(QR_VIEW_PATH), {"--transport", "carrier-pigeon"});
  ASSERT_TRUE(bad.waitForFinished(60000));
  EXPECT_EQ(bad.exitCode(), 2);
}

// The window through a device outage: the link-state text appears over the
// video while the device is away, the library reconnects on its own when the
// device is back, and the text goes again.
TEST(QrViewWindow, ShowsTheLinkStateThroughAnOutageAndRecovers) {
  App();
  devicesim::Device device;
  ASSERT_TRUE(device.Start(SmallCamera(), 0)) << device.Error();
  const uint16_t port = device.Port();

  ViewerWindow window;
  window.resize(640, 360);
  window.show();
  // Each report with the text the window shows after it (the window's own
  // handler was connected first, so it has run).
  std::vector<std::pair<int, QString>> reports;
  QObject::connect(&window.live(), &LiveView::linkStateReported, &window,
                   [&](int s) { reports.emplace_back(s, window.video()->overlayText()); });
  auto seen = [&](int state) {
    for (const auto& r : reports) {
      if (r.first == state) return true;
    }
    return false;
  };
  EXPECT_EQ(window.video()->overlayText(), "Connecting...");

  ViewerOptions o;
  o.address = QStringLiteral("127.0.0.1:%1").arg(port);
  ASSERT_TRUE(window.live().Start(o, 0));
  auto* video = window.video();
  ASSERT_TRUE(PumpUntil([&] { return video->presentCount() >= 10; }, 60000));
  EXPECT_EQ(video->overlayText(), "");
  EXPECT_EQ(window.live().linkState(), 0);

  // A short reconnect pause keeps the test quick; the library reads it on
  // each use.
  QRNET_SetWaitTime(5, -1, 1);
  device.Stop();
  ASSERT_TRUE(PumpUntil([&] { return seen(3) && seen(4); }, 60000));
  for (const auto& [state, text] : reports) {
    EXPECT_EQ(text, LinkStateText(state)) << "state " << state;
  }
  EXPECT_FALSE(video->overlayText().isEmpty());

  ASSERT_TRUE(device.Start(SmallCamera(), port)) << device.Error();
  const uint64_t before = video->presentCount();
  ASSERT_TRUE(PumpUntil([&] { return video->presentCount() >= before + 10; }, 60000));
  EXPECT_EQ(window.live().linkState(), 0);
  EXPECT_EQ(video->overlayText(), "");
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

}  // namespace
}  // namespace qrview
